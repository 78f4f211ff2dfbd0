#include "Options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace stitcher {

const char* usageText() {
    return "usage: stitcher [options] <clip.mp4> <output>\n"
           "       stitcher --info <clip.mp4>\n"
           "       stitcher --calibrate [--offset TEXT] <clip.mp4>\n"
           "\n"
           "Stitches a dual-fisheye clip into a 360 panorama. The output kind follows its name:\n"
           "  out.mp4          H.264 (or HEVC) video with the clip's audio (AAC), tagged as 360 (equirectangular)\n"
           "  frames/%05d.png  one PNG picture per frame (any printf-style %d pattern)\n"
           "  still.png        one PNG picture of frame --frame N (default: the first frame)\n"
           "A % that is part of an output's name is written %%.\n"
           "\n"
           "options:\n"
           "  --info              print the clip's media record, calibration, comment and engine; write nothing\n"
           "  --size N            panorama height in pixels, even (width 2N); default: as sharp as the lenses allow\n"
           "  --layout L          stitch (one 2:1 panorama, default) or stereo (one panorama per lens, stacked)\n"
           "  --start N           first frame, counted from 1 (default 1)\n"
           "  --frames N          number of frames (default: to the end of the clip)\n"
           "  --frame N           one picture of frame N\n"
           "  --yaw DEG           turn the view right (positive) or left about the vertical axis\n"
           "  --pitch DEG         tilt the view up (positive) or down\n"
           "  --roll DEG          turn the picture about the viewing direction (levels the horizon)\n"
           "  --offset TEXT       lens calibration (offset string) instead of the clip's own\n"
           "  --codec C           video codec: h264 (default; the default panorama at most 4096x2048, which\n"
           "                      most players decode) or hevc (x265; larger masters, up to 8192x4096)\n"
           "  --crf N             encoder quality, 0-51, lower is better (default 20)\n"
           "  --preset NAME       encoder preset, ultrafast ... veryslow (default medium)\n"
           "  --no-audio          leave the audio out of the video\n"
           "  --engine E          stitching engine: auto (default: GL on a hardware GPU, else CPU), gl or cpu\n"
           "  --threads N         worker threads of the CPU engine (default: all cores)\n"
           "  --color-match M     on (default) or off: match exposure and colour of the two lenses at the seams\n"
           "  --calibrate         refine the calibration from the clip's pictures, print it (for --offset); write nothing\n"
           "  --refine-calibration  refine the calibration from the clip's pictures, then stitch with it\n"
           "  -y                  overwrite existing output\n"
           "  -v, --verbose       say which engine runs and why, and show the libraries' own messages\n"
           "  -h, --help          this text\n"
           "  --                  the end of the options: what follows is the clip and the output, even\n"
           "                      where a name begins with -\n"
           "\n"
           "The GL engine needs OpenGL 3.3, through an X display or, without one, EGL; the CPU engine needs\n"
           "neither.\n"
           "\n"
           "exit codes: 0 done, 1 failed on the way, 2 bad command line, 3 clip missing, unreadable or\n"
           "without video, 4 unusable calibration, 5 output exists or cannot be written, 6 no engine can\n"
           "run (no OpenGL 3.3 context), 130 interrupted (SIGINT); stopped by another signal: 128 + its\n"
           "number (129 SIGHUP, 131 SIGQUIT, 143 SIGTERM)\n";
}

namespace {

bool endsWithNoCase(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
    return true;
}

// The integer conversions (%d, %05d, ...) in an output name, or -1 where it
// holds a % that is neither one of them nor "%%" (a literal %).
int frameConversions(const std::string& name) {
    int conversions = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') continue;
        if (i + 1 < name.size() && name[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
        if (j >= name.size() || name[j] != 'd' || j - i > 4) return -1;
        ++conversions;
        i = j;
    }
    return conversions;
}

// A single output's name as written: "%%" is a literal %.
std::string literalName(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        out += name[i];
        if (name[i] == '%' && i + 1 < name.size() && name[i + 1] == '%') ++i;
    }
    return out;
}

bool parseInt(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseDouble(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// The parser proper; `error` is set when it returns false.
bool parse(int argc, char** argv, Options& opt, std::string& error) {
    std::vector<std::string> positional;
    bool optionsEnded = false;  // after "--" every argument is a name
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto takeValue = [&](std::string& v) {
            if (hasInline) {
                v = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        // A value that is one of two words; the flag takes `ifA` for the first.
        auto needEither = [&](const char* a, const char* b, bool ifA, bool& flag) {
            std::string v;
            if (!takeValue(v)) return false;
            if (v != a && v != b) {
                error = "option " + arg + ": '" + v + "' is neither " + a + " nor " + b;
                return false;
            }
            flag = (v == a) == ifA;
            return true;
        };
        auto needInt = [&](long long lo, long long hi, long long& out) {
            std::string v;
            if (!takeValue(v)) return false;
            if (!parseInt(v, lo, hi, out)) {
                error = "option " + arg + ": '" + v + "' is not a whole number from " + std::to_string(lo) + " to " +
                        std::to_string(hi);
                return false;
            }
            return true;
        };
        auto needAngle = [&](double& out) {
            std::string v;
            if (!takeValue(v)) return false;
            if (!parseDouble(v, out)) {
                error = "option " + arg + ": '" + v + "' is not a number of degrees";
                return false;
            }
            return true;
        };
        long long n = 0;
        if (arg == "-h" || arg == "--help") {
            opt.help = true;
            return true;
        } else if (arg == "--info" || arg == "-i") {
            opt.info = true;
        } else if (arg == "-y") {
            opt.overwrite = true;
        } else if (arg == "-v" || arg == "--verbose") {
            opt.verbose = true;
        } else if (arg == "--no-audio") {
            opt.audio = false;
        } else if (arg == "--calibrate") {
            opt.calibrate = true;
        } else if (arg == "--refine-calibration") {
            opt.refineCalibration = true;
        } else if (arg == "--color-match") {
            if (!needEither("on", "off", true, opt.colorMatch)) return false;
        } else if (arg == "--size") {
            if (!needInt(16, 4096, n)) return false;
            if (n % 2) {
                error = "option --size: the panorama height must be even";
                return false;
            }
            opt.size = static_cast<int>(n);
        } else if (arg == "--codec") {
            if (!needEither("h264", "hevc", false, opt.hevc)) return false;
        } else if (arg == "--layout") {
            if (!needEither("stitch", "stereo", false, opt.stereo)) return false;
        } else if (arg == "--start") {
            if (!needInt(1, 0xffffffffLL, n)) return false;
            opt.start = n;
        } else if (arg == "--frames") {
            if (!needInt(1, 0xffffffffLL, n)) return false;
            opt.count = n;
        } else if (arg == "--frame") {
            if (!needInt(1, 0xffffffffLL, n)) return false;
            opt.frame = n;
        } else if (arg == "--yaw") {
            if (!needAngle(opt.yaw)) return false;
        } else if (arg == "--pitch") {
            if (!needAngle(opt.pitch)) return false;
        } else if (arg == "--roll") {
            if (!needAngle(opt.roll)) return false;
        } else if (arg == "--offset") {
            if (!takeValue(opt.offset)) return false;
            opt.haveOffset = true;
        } else if (arg == "--crf") {
            if (!needInt(0, 51, n)) return false;
            opt.crf = static_cast<int>(n);
        } else if (arg == "--engine") {
            std::string v;
            if (!takeValue(v)) return false;
            if (v == "auto") opt.engine = EngineKind::Auto;
            else if (v == "gl") opt.engine = EngineKind::Gl;
            else if (v == "cpu") opt.engine = EngineKind::Cpu;
            else {
                error = "option --engine: '" + v + "' is none of auto, gl and cpu";
                return false;
            }
        } else if (arg == "--threads") {
            if (!needInt(1, 1024, n)) return false;
            opt.threads = static_cast<int>(n);
        } else if (arg == "--preset") {
            if (!takeValue(opt.preset)) return false;
            static const char* presets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                            "medium",    "slow",      "slower",   "veryslow", "placebo"};
            bool known = false;
            for (const char* p : presets) known = known || opt.preset == p;
            if (!known) {
                error = "option --preset: unknown encoder preset '" + opt.preset + "'";
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty()) {
        error = "no clip given";
        return false;
    }
    opt.input = positional[0];
    if (opt.info || opt.calibrate) {
        if (opt.info && opt.calibrate) {
            error = "--info and --calibrate are two different runs";
            return false;
        }
        if (positional.size() > 1) {
            error = std::string(opt.info ? "--info" : "--calibrate") + " takes only the clip";
            return false;
        }
        return true;
    }
    if (positional.size() != 2) {
        error = positional.size() < 2 ? "no output given" : "too many arguments";
        return false;
    }
    opt.output = positional[1];
    const int conversions = frameConversions(opt.output);
    if (endsWithNoCase(opt.output, ".mp4")) {
        if (conversions != 0) {
            error = "a video name cannot hold a % pattern (write a % that is part of the name as %%)";
            return false;
        }
        opt.kind = OutputKind::Video;
    } else if (endsWithNoCase(opt.output, ".png")) {
        if (conversions < 0 || conversions > 1) {
            error = "a picture sequence name needs exactly one frame number pattern such as %05d (write a % that "
                    "is part of the name as %%)";
            return false;
        }
        opt.kind = conversions == 1 ? OutputKind::Sequence : OutputKind::Picture;
    } else {
        error = "cannot tell the output kind of '" + opt.output + "': use a .mp4 video, a .png picture or a %05d.png sequence";
        return false;
    }
    // A sequence's names are made from the pattern, which reads "%%" alike.
    if (opt.kind != OutputKind::Sequence) opt.output = literalName(opt.output);
    if (opt.frame && opt.kind != OutputKind::Picture) {
        error = "--frame writes one picture: give a .png output without a % pattern";
        return false;
    }
    if (opt.kind == OutputKind::Picture && (opt.count > 1)) {
        error = "one picture holds one frame: use a %05d.png pattern for several";
        return false;
    }
    if (opt.kind == OutputKind::Picture) {
        if (!opt.frame) opt.frame = opt.start;
        opt.start = opt.frame;
        opt.count = 1;
    }
    return true;
}

}  // namespace

Status parseOptions(int argc, char** argv, Options& opt) {
    std::string error;
    if (!parse(argc, argv, opt, error)) return Status(kExitUsage, error);
    return Status();
}

}  // namespace stitcher
