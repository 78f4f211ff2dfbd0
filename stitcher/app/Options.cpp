#include "Options.h"

#include <climits>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "Output.h"
#include "PanoramaTags.h"
#include "SettingRules.h"

namespace stitcher {

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

Status usageError(std::string message) { return Status(kExitUsage, std::move(message)); }

// --size: a panorama height N, or a picture's WxH for a flat or planet output.
Status readSize(Options& o, const std::string& text) {
    const size_t x = text.find_first_of("xX");
    long long n = 0;
    if (x == std::string::npos) {
        if (!parseInt(text, LLONG_MIN, LLONG_MAX, n) || n < rules::kSizeMin || n > rules::kSizeMax)
            return usageError("option --size: give a whole number from " + std::to_string(rules::kSizeMin) + " to " +
                              std::to_string(rules::kSizeMax) + ", or WxH for a flat or planet picture");
        const std::string problem = rules::sizeProblem(n);
        if (!problem.empty()) return usageError("option --size: " + problem);
        o.size = static_cast<int>(n);
        o.viewWidth = o.viewHeight = 0;
        return Status();
    }
    long long w = 0, h = 0;
    if (!parseInt(text.substr(0, x), rules::kViewSideMin, rules::kViewSideMax, w) ||
        !parseInt(text.substr(x + 1), rules::kViewSideMin, rules::kViewSideMax, h) || w % 2 || h % 2)
        return usageError("option --size: a picture's WxH takes two even whole numbers from 16 to 8192, such as 1920x1080");
    o.viewWidth = static_cast<int>(w);
    o.viewHeight = static_cast<int>(h);
    o.size = 0;
    return Status();
}

const std::vector<OptionSpec> kOptions = {
    {"--info", "-i", ValueKind::None, nullptr,
     "print the clip's media record, calibration, comment and engine; write nothing", 0, 0, {},
     [](Options& o, const OptionValue&) { o.info = true; return Status(); }},
    {"--size", nullptr, ValueKind::Text, "N|WxH",
     "panorama height in pixels, even (width 2N); default: as sharp as the lenses allow. With\n"
     "--projection flat or planet: the picture's width and height, even (default 1920x1080 flat,\n"
     "1080x1080 planet)", 0, 0, {},
     [](Options& o, const OptionValue& v) { return readSize(o, v.text); }},
    {"--projection", nullptr, ValueKind::Word, "P",
     "equirect (the 360 panorama, default), flat (a pinhole view where --yaw, --pitch, --roll look)\n"
     "or planet (a little planet: the sphere seen from the nadir)", 0, 0, {"equirect", "flat", "planet"},
     [](Options& o, const OptionValue& v) {
         o.projection = v.word == 1 ? Projection::Flat : v.word == 2 ? Projection::Planet : Projection::Equirect;
         return Status();
     }},
    {"--fov", nullptr, ValueKind::Angle, "DEG",
     "with --projection flat: the horizontal field of view (default 100); planet: its zoom (the\n"
     "picture's sides reach 90 + DEG/2 degrees from the nadir); above 0, below 180", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (!(v.angle > 0.0 && v.angle < rules::kFovMax)) return usageError("option --fov: give more than 0 and less than 180 degrees");
         o.fov = v.angle;
         return Status();
     }},
    {"--layout", nullptr, ValueKind::Word, "L",
     "stitch (one 2:1 panorama, default) or stereo (one panorama per lens, stacked)", 0, 0, rules::layouts(),
     [](Options& o, const OptionValue& v) { o.stereo = v.word == 1; return Status(); }},
    {"--start", nullptr, ValueKind::Whole, "N", "first frame, counted from 1 (default 1)", 1, rules::kFrameMax, {},
     [](Options& o, const OptionValue& v) { o.start = v.whole; return Status(); }},
    {"--frames", nullptr, ValueKind::Whole, "N", "number of frames (default: to the end of the clip)", 1,
     rules::kFrameMax, {}, [](Options& o, const OptionValue& v) { o.count = v.whole; return Status(); }},
    {"--frame", nullptr, ValueKind::Whole, "N", "one picture of frame N", 1, rules::kFrameMax, {},
     [](Options& o, const OptionValue& v) { o.frame = v.whole; return Status(); }},
    {"--yaw", nullptr, ValueKind::Angle, "DEG",
     "turn the view right (positive) or left about the vertical axis", 0, 0, {},
     [](Options& o, const OptionValue& v) { o.yaw = v.angle; return Status(); }},
    {"--pitch", nullptr, ValueKind::Angle, "DEG", "tilt the view up (positive) or down", 0, 0, {},
     [](Options& o, const OptionValue& v) { o.pitch = v.angle; return Status(); }},
    {"--roll", nullptr, ValueKind::Angle, "DEG",
     "turn the picture about the viewing direction (levels the horizon)", 0, 0, {},
     [](Options& o, const OptionValue& v) { o.roll = v.angle; return Status(); }},
    {"--camera", nullptr, ValueKind::Text, "FILE.csv",
     "a keyframed virtual camera: lines of time,yaw,pitch,roll,fov,ease (seconds from the first\n"
     "frame, degrees; ease linear or smooth toward the next key), # comments; in the world's frame", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.empty()) return usageError("option --camera: no file named");
         o.camera = v.text;
         return Status();
     }},
    {"--stabilize", nullptr, ValueKind::Word, "MODE",
     "remove the camera's shake, measured from the pictures: smooth (keep slow, intended turns) or\n"
     "lock (the view stays fixed in the world as at the first frame)", 0, 0, {"smooth", "lock"},
     [](Options& o, const OptionValue& v) {
         o.stabilize = v.word == 0 ? StabilizeMode::Smooth : StabilizeMode::Lock;
         return Status();
     }},
    {"--level", nullptr, ValueKind::None, nullptr,
     "level the horizon: world-up found from the footage's vertical lines or horizon is kept up (with or\n"
     "without --stabilize)", 0, 0, {},
     [](Options& o, const OptionValue&) { o.level = true; return Status(); }},
    {"--smooth", nullptr, ValueKind::Angle, "SECONDS",
     "with --stabilize smooth: how long a turn must last to be kept (default 1: hand shake and\n"
     "walking sway are faster, a turn the camera is meant to make is slower); 0.1 to 30", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (!(v.angle >= rules::kSmoothMin && v.angle <= rules::kSmoothMax))
             return usageError("option --smooth: give 0.1 to 30 seconds");
         o.smoothSeconds = v.angle;
         return Status();
     }},
    {"--motion", nullptr, ValueKind::Text, "FILE",
     "apply the view corrections of a motion file (from --motion-out, perhaps edited) instead of\n"
     "measuring the motion", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.empty()) return usageError("option --motion: no file named");
         o.motionIn = v.text;
         return Status();
     }},
    {"--motion-out", nullptr, ValueKind::Text, "FILE",
     "write per frame the measured rotation, the smoothed path and the applied correction (yaw,\n"
     "pitch, roll in degrees, CSV)", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.empty()) return usageError("option --motion-out: no file named");
         o.motionOut = v.text;
         return Status();
     }},
    {"--motion-plot", nullptr, ValueKind::Text, "FILE.png",
     "draw the measured and smoothed yaw, pitch and roll over the frames as a PNG picture", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.size() < 5 || !endsWithNoCase(v.text, ".png"))
             return usageError("option --motion-plot: give a .png name");
         o.motionPlot = v.text;
         return Status();
     }},
    {"--offset", nullptr, ValueKind::Text, "TEXT", "lens calibration (offset string) instead of the clip's own", 0,
     0, {},
     [](Options& o, const OptionValue& v) {
         o.offset = v.text;
         o.haveOffset = true;
         return Status();
     }},
    {"--codec", nullptr, ValueKind::Word, "C",
     "video codec: h264 (default; the default panorama at most 4096x2048, which most players decode), hevc"
     "\n(x265; larger masters, up to 8192x4096) or prores (ProRes 422 HQ, 10-bit, a master for\neditors, in .mov "
     "or .mkv)", 0, 0, {"h264", "hevc", "prores"},
     [](Options& o, const OptionValue& v) {
         o.hevc = v.word == 1;
         o.prores = v.word == 2;
         return Status();
     }},
    // Masters and stills: their own block, so that the rows above stay as they were.
    {"--bit-depth", nullptr, ValueKind::Word, "B",
     "8 (default) or 10: with --codec hevc, a 10-bit (Main10) master; ProRes is always 10-bit", 0, 0, {"8", "10"},
     [](Options& o, const OptionValue& v) { o.bitDepth = v.word == 1 ? 10 : 8; return Status(); }},
    {"--quality", nullptr, ValueKind::Whole, "N", "quality of .jpg pictures, 1-100, higher is better (default 90)", 1,
     100, {}, [](Options& o, const OptionValue& v) { o.quality = static_cast<int>(v.whole); return Status(); }},
    {"--crf", nullptr, ValueKind::Whole, "N", "encoder quality, 0-51, lower is better (default 20)", rules::kCrfMin,
     rules::kCrfMax, {},
     [](Options& o, const OptionValue& v) { o.crf = static_cast<int>(v.whole); return Status(); }},
    {"--preset", nullptr, ValueKind::Word, "NAME", "encoder speed preset, ultrafast ... placebo (default medium)", 0,
     0, rules::presets(), [](Options& o, const OptionValue& v) { o.preset = v.text; return Status(); }},
    {"--no-audio", nullptr, ValueKind::None, nullptr, "leave the audio out of the video", 0, 0, {},
     [](Options& o, const OptionValue&) { o.audio = false; return Status(); }},
    {"--engine", nullptr, ValueKind::Word, "E",
     "stitching engine: auto (default: GL on a hardware GPU, else CPU), gl or cpu", 0, 0, rules::engines(),
     [](Options& o, const OptionValue& v) {
         const EngineKind kinds[] = {EngineKind::Auto, EngineKind::Gl, EngineKind::Cpu};
         o.engine = kinds[v.word];
         return Status();
     }},
    {"--threads", nullptr, ValueKind::Whole, "N", "worker threads of the CPU engine (default: all cores)", 1, rules::kThreadsMax,
     {}, [](Options& o, const OptionValue& v) { o.threads = static_cast<int>(v.whole); return Status(); }},
    {"--color-match", nullptr, ValueKind::Word, "M",
     "on (default) or off: match exposure and colour of the two lenses at the seams, and undo\neach lens's "
     "fall-off toward its rim (measured from the clip)", 0, 0, {"on", "off"},
     [](Options& o, const OptionValue& v) { o.colorMatch = v.word == 0; return Status(); }},
    {"--falloff", nullptr, ValueKind::Text, "TEXT",
     "each lens's fall-off toward its rim, as --calibrate prints it (falloff_A0_B0_A1_B1 or\nfalloff_curve_...), "
     "instead of measuring it from the clip", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         Status st = parseFalloff(v.text, o.falloff);
         if (!st.ok()) return usageError("option --falloff: " + st.message());
         o.haveFalloff = true;
         return Status();
     }},
    {"--seam", nullptr, ValueKind::Text, "MODE",
     "far (default): the seams as the lenses' far field lines them up; auto: near things lined\nup across them, "
     "measured per frame; <dist>m (e.g. 1.5m): lined up for that distance, fixed", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         o.seamAuto = v.text == "auto";
         o.seamDistanceM = 0;
         if (o.seamAuto || v.text == "far") return Status();
         double d = 0;
         if (v.text.size() < 2 || v.text.back() != 'm' || !parseDouble(v.text.substr(0, v.text.size() - 1), d) ||
             !(d >= rules::kSeamDistanceMin && d <= rules::kSeamDistanceMax))
             return usageError("option --seam: '" + v.text + "' is not auto, far or a distance from 0.1m to 1000m");
         o.seamDistanceM = d;
         return Status();
     }},
    {"--baseline", nullptr, ValueKind::Text, "MM",
     "distance between the two lenses' optical centres in millimetres, for --seam and the calibration's refinement (default 30)", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         double mm = 0;
         if (!parseDouble(v.text, mm) || !(mm >= rules::kBaselineMin && mm <= rules::kBaselineMax))
             return usageError("option --baseline: '" + v.text + "' is not a number of millimetres from 1 to 200");
         o.baselineMm = mm;
         return Status();
     }},
    {"--calibrate", nullptr, ValueKind::None, nullptr,
     "refine the calibration from the clip's pictures, print it (for --offset) and each lens's\nfall-off (for "
     "--falloff); write nothing", 0, 0, {},
     [](Options& o, const OptionValue&) { o.calibrate = true; return Status(); }},
    {"--refine-calibration", nullptr, ValueKind::None, nullptr,
     "refine the calibration from the clip's pictures, then stitch with it", 0, 0, {},
     [](Options& o, const OptionValue&) { o.refineCalibration = true; return Status(); }},
    {"--plan-out", nullptr, ValueKind::Text, "FILE",
     "decide everything over the whole clip once (calibration, colour gains,\nsettings, segment borders) and write it as a plan; nothing is stitched", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.empty()) return usageError("option --plan-out: no file name");
         o.planOut = v.text;
         return Status();
     }},
    {"--segments", nullptr, ValueKind::Whole, "N", "with --plan-out: the number of segments (default 1)", 1, rules::kSegmentsMax, {},
     [](Options& o, const OptionValue& v) { o.segments = static_cast<int>(v.whole); return Status(); }},
    {"--plan", nullptr, ValueKind::Text, "FILE", "the plan to render a segment from (--segment) or to join by (--join)", 0,
     0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.empty()) return usageError("option --plan: no file name");
         o.plan = v.text;
         return Status();
     }},
    {"--segment", nullptr, ValueKind::Text, "K/N",
     "with --plan: render segment K of the plan's N (from 1) into the output, without sound", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         long long k = 0, n = 0;
         const size_t slash = v.text.find('/');
         if (slash == std::string::npos || !parseInt(v.text.substr(0, slash), 1, rules::kSegmentsMax, k) ||
             !parseInt(v.text.substr(slash + 1), 1, rules::kSegmentsMax, n) || k > n)
             return usageError("option --segment: '" + v.text + "' is not K/N with 1 <= K <= N");
         o.segment = static_cast<int>(k);
         o.segmentOf = static_cast<int>(n);
         return Status();
     }},
    {"--join", nullptr, ValueKind::Text, "OUT",
     "with --plan: join the segments named after the options into the video OUT,\nwith the clip's sound", 0, 0, {},
     [](Options& o, const OptionValue& v) {
         o.join = true;
         o.output = v.text;
         return Status();
     }},
    {"--clip", nullptr, ValueKind::Text, "PATH", "with --join: the clip, where it is not at the path the plan names", 0,
     0, {},
     [](Options& o, const OptionValue& v) {
         if (v.text.empty()) return usageError("option --clip: no file name");
         o.clip = v.text;
         return Status();
     }},
    {"-y", nullptr, ValueKind::None, nullptr, "overwrite existing output", 0, 0, {},
     [](Options& o, const OptionValue&) { o.overwrite = true; return Status(); }},
    {"-v, --verbose", nullptr, ValueKind::None, nullptr,
     "say which engine runs and why, and show the libraries' own messages", 0, 0, {},
     [](Options& o, const OptionValue&) { o.verbose = true; return Status(); }},
    {"-h, --help", nullptr, ValueKind::None, nullptr, "this text", 0, 0, {},
     [](Options& o, const OptionValue&) { o.help = true; return Status(); }},
    {"--", nullptr, ValueKind::End, nullptr,
     "the end of the options: what follows is the clip and the output, even\nwhere a name begins with -", 0, 0,
     {}, nullptr},
};

// True when `arg` is one of the option's spellings.
bool spelt(const OptionSpec& o, const std::string& arg) {
    if (o.alias && arg == o.alias) return true;
    for (const char* at = o.names;;) {
        const char* end = std::strchr(at, ',');
        const size_t n = end ? static_cast<size_t>(end - at) : std::strlen(at);
        if (arg.size() == n && arg.compare(0, n, at, n) == 0) return true;
        if (!end) return false;
        at = end + 2;
    }
}

const OptionSpec* findOption(const std::string& arg) {
    for (const OptionSpec& o : kOptions)
        if (o.kind != ValueKind::End && spelt(o, arg)) return &o;
    return nullptr;
}

// Reads `text` as the value of option `o`, given as `arg`.
Status readValue(const OptionSpec& o, const std::string& arg, const std::string& text, OptionValue& v) {
    v.text = text;
    const std::string given = "option " + arg + ": '" + text + "' ";
    switch (o.kind) {
        case ValueKind::Whole:
            if (!parseInt(text, o.lo, o.hi, v.whole))
                return usageError(given + "is not a whole number from " + std::to_string(o.lo) + " to " +
                                  std::to_string(o.hi));
            break;
        case ValueKind::Angle:
            if (!parseDouble(text, v.angle)) return usageError(given + "is not a number of degrees");
            break;
        case ValueKind::Word:
            v.word = rules::wordIndex(o.words, text);
            if (v.word < 0) return usageError(given + "is " + rules::otherThan(o.words));
            break;
        default: break;
    }
    return Status();
}

// The options among argv; the other arguments go to `positional`.
Status readArguments(int argc, char** argv, Options& opt, std::vector<std::string>& positional) {
    bool optionsEnded = false;  // after "--" every argument is a name
    std::map<const OptionSpec*, std::string> values;
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
        std::string inlineValue;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        const OptionSpec* o = findOption(arg);
        if (!o) {
            if (arg.size() > 1 && arg[0] == '-') return usageError("unknown option " + arg);
            positional.push_back(arg);
            continue;
        }
        opt.given.push_back(arg);
        OptionValue value;
        if (o->kind != ValueKind::None) {
            if (!hasInline && i + 1 >= argc) return usageError("option " + arg + " needs a value");
            Status st = readValue(*o, arg, hasInline ? inlineValue : std::string(argv[++i]), value);
            if (!st.ok()) return st;
            // The last one wins (a wrapper's defaults stay overridable), and the run says so.
            auto was = values.emplace(o, value.text);
            if (!was.second && was.first->second != value.text) {
                opt.warnings.push_back("option " + arg + " is given twice: '" + value.text + "' is used, not '" +
                                       was.first->second + "'");
                was.first->second = value.text;
            }
        }
        Status st = o->set(opt, value);
        if (!st.ok()) return st;
        if (opt.help) return Status();  // nothing else need be looked at
    }
    return Status();
}

// The options a farm run takes; the plan decides the rest.
Status checkFarmOptions(const Options& opt, const char* mode, const std::vector<std::string>& allowed) {
    for (const std::string& g : opt.given) {
        bool ok = false;
        for (const std::string& a : allowed) ok = ok || g == a;
        if (!ok) return usageError(std::string(mode) + " takes no " + g + ": the plan decides it");
    }
    return Status();
}

// The names of the farm's runs: a plan, a segment, a join.
Status readFarmNames(const std::vector<std::string>& positional, Options& opt) {
    const int modes = !opt.planOut.empty() + (opt.segment > 0) + opt.join;
    if (modes > 1) return usageError("--plan-out, --segment and --join are different runs");
    if (opt.info || opt.calibrate) return usageError("--info and --calibrate take no plan");
    if (opt.segments && opt.planOut.empty()) return usageError("--segments goes with --plan-out");
    if (!opt.clip.empty() && !opt.join) return usageError("--clip goes with --join");
    if (!opt.plan.empty() && !opt.segment && !opt.join) return usageError("--plan goes with --segment or --join");
    if ((opt.segment || opt.join) && opt.plan.empty())
        return usageError(std::string(opt.join ? "--join" : "--segment") + " needs --plan");
    opt.kind = OutputKind::Video;
    if (!opt.planOut.empty()) {
        if (positional.size() != 1) return usageError(positional.empty() ? "no clip given" : "--plan-out takes only the clip");
        if (!opt.segments) opt.segments = 1;
        opt.input = positional[0];
        if (opt.prores || opt.bitDepth != 8)
            return usageError("a plan's segments are 8-bit H.264 or HEVC MP4 videos: --codec prores and --bit-depth "
                              "10 are for a single run");
        return checkFarmOptions(opt, "--plan-out",
                                {"--plan-out", "--segments", "--size", "--layout", "--start", "--frames", "--yaw", "--pitch",
                                 "--roll", "--offset", "--codec", "--bit-depth", "--crf", "--preset", "--no-audio", "--engine",
                                 "--threads", "--color-match", "--falloff", "--refine-calibration", "--stabilize", "--level",
                                 "--smooth", "--motion", "--seam", "--baseline", "--projection", "--fov", "--camera", "-y",
                                 "-v", "--verbose"});
    }
    if (opt.join) {
        if (!endsWithNoCase(opt.output, ".mp4")) return usageError("--join writes a video: give a .mp4 name");
        if (positional.empty()) return usageError("no segments given to join");
        opt.parts = positional;
        opt.input = opt.clip;
        // --engine and --threads are taken, as a script may pass them to every task; the join stitches nothing.
        return checkFarmOptions(opt, "--join", {"--join", "--plan", "--clip", "--engine", "--threads", "-y", "-v", "--verbose"});
    }
    if (positional.size() != 2) return usageError(positional.size() < 2 ? "no segment output given" : "too many arguments");
    opt.input = positional[0];
    opt.output = literalName(positional[1]);
    if (!endsWithNoCase(opt.output, ".mp4")) return usageError("a segment is a video: give a .mp4 name");
    return checkFarmOptions(opt, "--segment", {"--plan", "--segment", "--engine", "--threads", "-y", "-v", "--verbose"});
}

// The clip and the output; the output's kind follows from its name.
Status readNames(const std::vector<std::string>& positional, Options& opt) {
    if (!opt.planOut.empty() || opt.segment || opt.join || !opt.plan.empty() || opt.segments || !opt.clip.empty())
        return readFarmNames(positional, opt);
    if (positional.empty()) return usageError("no clip given");
    opt.input = positional[0];
    if (opt.info || opt.calibrate) {
        if (opt.info && opt.calibrate) return usageError("--info and --calibrate are two different runs");
        if (positional.size() > 1)
            return usageError(std::string(opt.info ? "--info" : "--calibrate") + " takes only the clip");
        return Status();
    }
    if (positional.size() != 2) return usageError(positional.size() < 2 ? "no output given" : "too many arguments");
    opt.output = positional[1];
    const int conversions = frameConversions(opt.output);
    opt.jpeg = endsWithNoCase(opt.output, ".jpg") || endsWithNoCase(opt.output, ".jpeg");
    if (containerOf(opt.output) != Container::None) {
        if (conversions != 0)
            return usageError("a video name cannot hold a % pattern (write a % that is part of the name as %%)");
        opt.kind = OutputKind::Video;
    } else if (endsWithNoCase(opt.output, ".png") || opt.jpeg) {
        if (conversions < 0 || conversions > 1)
            return usageError("a picture sequence name needs exactly one frame number pattern such as %05d (write a "
                              "% that is part of the name as %%)");
        opt.kind = conversions == 1 ? OutputKind::Sequence : OutputKind::Picture;
    } else {
        return usageError("cannot tell the output kind of '" + opt.output +
                          "': use a .mp4, .mov or .mkv video, a .png or .jpg picture or a %05d.png sequence");
    }
    // A sequence's names are made from the pattern, which reads "%%" alike.
    if (opt.kind != OutputKind::Sequence) opt.output = literalName(opt.output);
    return Status();
}

// The frame range, which a single picture narrows to its one frame.
Status checkFrames(Options& opt) {
    if (opt.frame && opt.kind != OutputKind::Picture)
        return usageError("--frame writes one picture: give a .png or .jpg output without a % pattern");
    if (opt.kind == OutputKind::Picture && opt.count > 1)
        return usageError("one picture holds one frame: use a %05d.png or %05d.jpg pattern for several");
    if (opt.kind == OutputKind::Picture) {
        if (!opt.frame) opt.frame = opt.start;
        opt.start = opt.frame;
        opt.count = 1;
    }
    return Status();
}

bool isGiven(const Options& opt, const char* name) {
    for (const std::string& g : opt.given)
        if (g == name) return true;
    return false;
}

// The codec, its bit depth and the container the video's name picks: a
// codec goes only where the container has a place for it, refused before
// anything is written.
Status checkVideoCodec(const Options& opt) {
    if (opt.bitDepth == 10 && !opt.hevc && !opt.prores)
        return usageError("--bit-depth 10 goes with --codec hevc (x264 writes 8 bits here; ProRes is always 10-bit)");
    if (opt.prores && isGiven(opt, "--bit-depth") && opt.bitDepth != 10)
        return usageError("ProRes is 10-bit: --codec prores takes no --bit-depth 8");
    if (opt.prores && containerOf(opt.output) == Container::Mp4)
        return usageError("ProRes does not go into an MP4 file: name the video .mov (or .mkv)");
    return Status();
}

// Options that the run's kind or another option would leave without effect:
// a combination that asks for two different things is refused; an option
// that only does nothing for this run (a wrapper may pass it to every run)
// is named in a warning.
Status checkCombinations(Options& opt) {
    auto unused = [&opt](const std::string& option, const std::string& why) {
        opt.warnings.push_back(option + " has no effect: " + why);
    };
    if (opt.info || opt.calibrate) {
        // These runs stitch and write nothing: only what they use is taken.
        const std::vector<std::string> takes = opt.info ? std::vector<std::string>{"--info", "-i", "--offset", "--engine", "-v", "--verbose"}
                                                        : std::vector<std::string>{"--calibrate", "--offset", "--baseline", "-v", "--verbose"};
        for (const std::string& g : opt.given) {
            bool taken = false;
            for (const std::string& t : takes) taken = taken || g == t;
            if (!taken) unused(g, std::string(opt.info ? "--info" : "--calibrate") + " stitches and writes nothing");
        }
        return Status();
    }
    if (opt.haveFalloff && !opt.colorMatch)
        return usageError("--falloff is undone with the colour matching that --color-match off turns off; give one or the other");
    if (!opt.motionIn.empty() && (opt.stabilize != StabilizeMode::Off || opt.level))
        return usageError("--motion applies the view corrections of its file instead of measuring them: it takes no "
                          "--stabilize or --level (turn the view on top with --yaw, --pitch, --roll)");
    if (isGiven(opt, "--smooth") && opt.stabilize != StabilizeMode::Smooth)
        return usageError("--smooth goes with --stabilize smooth");
    if (opt.stereo && (opt.stabilize != StabilizeMode::Off || opt.level || !opt.motionIn.empty()))
        return usageError("--stabilize, --level and --motion turn the stitch layout's view; --layout stereo has none");
    if (opt.stereo && (opt.seamAuto || opt.seamDistanceM > 0))
        return usageError("--seam lines up the seams where the lenses meet; --layout stereo shows each lens alone and has none");
    if (!opt.camera.empty()) {
        for (const char* view : {"--yaw", "--pitch", "--roll", "--fov"})
            if (isGiven(opt, view)) return usageError(std::string("--camera sets the view per frame: it takes no ") + view);
        if (opt.stereo) return usageError("--layout stereo has no view to turn: it takes no --camera");
    }
    if (opt.projection != Projection::Equirect) {
        if (opt.stereo) return usageError("--layout stereo is a pair of panoramas: it takes no --projection flat or planet");
        if (opt.size) return usageError("--projection " + std::string(projectionName(opt.projection)) + " takes its picture's size as --size WxH");
    } else {
        if (opt.viewWidth) return usageError("--size WxH is the size of a flat or planet picture; a panorama takes --size N (its height)");
        if (isGiven(opt, "--fov")) unused("--fov", "the equirect panorama shows the whole sphere");
    }
    if (isGiven(opt, "--frame") && (isGiven(opt, "--start") || isGiven(opt, "--frames")))
        return usageError("--frame N is the picture's one frame: it takes no --start or --frames");
    if (opt.kind == OutputKind::Picture || opt.kind == OutputKind::Sequence)
        for (const char* video : {"--codec", "--bit-depth", "--crf", "--preset", "--no-audio"})
            if (isGiven(opt, video))
                unused(video, std::string("it is a setting of a video, and a ") + (opt.jpeg ? ".jpg" : ".png") +
                                  " output has no encoder or sound");
    if (isGiven(opt, "--quality") && !opt.jpeg) unused("--quality", "it is the quality of .jpg pictures");
    if (opt.kind == OutputKind::Video) {
        Status st = checkVideoCodec(opt);
        if (!st.ok()) return st;
        if (opt.prores)
            for (const char* x26x : {"--crf", "--preset"})
                if (isGiven(opt, x26x)) unused(x26x, "it is a setting of x264 and x265, and ProRes has its own quality");
    }
    // The GL engine has no worker threads; a run that measures (a plan, a
    // stabilised stitch) still uses them.
    if (opt.engine == EngineKind::Gl && isGiven(opt, "--threads") && opt.planOut.empty() && !opt.segment &&
        !opt.join && opt.stabilize == StabilizeMode::Off && !opt.level && opt.motionIn.empty())
        unused("--threads", "it sets the CPU engine's threads, and --engine gl stitches on the GPU");
    return Status();
}

// Whether `name` is one of the names that the picture sequence `pattern`
// makes: the same folder (through links) and its last part with the frame
// number as any digits.
bool madeByPattern(const std::string& pattern, const std::string& name) {
    const size_t slash = pattern.find_last_of('/');
    const std::string patternBase = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (frameConversions(patternBase) != 1) return false;  // the number is in a folder's name: not followed
    const std::string a = canonicalName(pattern), b = canonicalName(name);
    const size_t as = a.find_last_of('/'), bs = b.find_last_of('/');
    if (a.compare(0, as, b, 0, bs) != 0 || as != bs) return false;
    const std::string base = b.substr(bs + 1);
    // The parts before and after the conversion, "%%" read as "%".
    size_t at = 0;
    while ((at = patternBase.find('%', at)) != std::string::npos && at + 1 < patternBase.size() && patternBase[at + 1] == '%')
        at += 2;
    const size_t d = patternBase.find('d', at);
    const std::string before = literalName(patternBase.substr(0, at)), after = literalName(patternBase.substr(d + 1));
    if (base.size() <= before.size() + after.size() || base.compare(0, before.size(), before) != 0 ||
        base.compare(base.size() - after.size(), after.size(), after) != 0)
        return false;
    const std::string number = base.substr(before.size(), base.size() - before.size() - after.size());
    return number.find_first_not_of("0123456789 ") == std::string::npos && number.find_first_of("0123456789") != std::string::npos;
}

// No two of the run's files may be one (one would be lost), nor one of them
// the clip or a segment it reads: checked before any work.
Status checkNames(const Options& opt) {
    if (opt.join) {
        Status st = checkDistinctNames({opt.output}, opt.parts, "one of the segments");
        if (st.ok() && !opt.clip.empty()) st = checkDistinctNames({opt.output}, {opt.clip});
        return st;
    }
    std::vector<std::string> outputs, shown;
    const bool sequence = opt.kind == OutputKind::Sequence;
    if (!opt.output.empty() && !sequence) {
        outputs.push_back(opt.output);
        shown.push_back("the output " + opt.output);
    }
    const std::pair<const char*, const std::string*> named[] = {
        {"--plan-out", &opt.planOut}, {"--motion-out", &opt.motionOut}, {"--motion-plot", &opt.motionPlot}};
    for (const auto& n : named)
        if (!n.second->empty()) {
            outputs.push_back(*n.second);
            shown.push_back(std::string(n.first) + " " + *n.second);
        }
    Status st = checkDistinctNames(outputs, {opt.input}, "the clip itself", shown);
    if (!st.ok() || !sequence) return st;
    char real[PATH_MAX];
    const std::string clip = ::realpath(opt.input.c_str(), real) ? std::string(real) : opt.input;
    for (const std::string& n : {opt.input, clip})
        if (madeByPattern(opt.output, n))
            return usageError(n + " is the clip itself and a name of the pictures " + opt.output + "; choose another output name");
    for (size_t i = 0; i < outputs.size(); ++i)
        if (madeByPattern(opt.output, outputs[i]))
            return usageError(shown[i] + " is one of the pictures " + opt.output + "; give each output a name of its own");
    return Status();
}

std::string makeUsage() {
    std::string s =
        "usage: stitcher [options] <clip.mp4> <output>\n"
        "       stitcher --info <clip.mp4>\n"
        "       stitcher --calibrate [--offset TEXT] <clip.mp4>\n"
        "       stitcher --plan-out plan.json --segments N [options] <clip.mp4>\n"
        "       stitcher --plan plan.json --segment K/N <clip.mp4> <segment.mp4>\n"
        "       stitcher --join <out.mp4> --plan plan.json [--clip PATH] <segment.mp4>...\n"
        "\n"
        "Stitches a dual-fisheye clip into a 360 panorama. The output kind follows its name:\n"
        "  out.mp4          H.264 (or HEVC) video with the clip's audio (AAC), tagged as 360 (equirectangular)\n"
        "  out.mov, out.mkv the same in a QuickTime or Matroska file; ProRes goes into these two only\n"
        "  frames/%05d.png  one PNG picture per frame (any printf-style %d pattern)\n"
        "  still.png        one PNG picture of frame --frame N (default: the first frame)\n"
        "  still.jpg        the same as a JPEG (--quality); 360 pictures carry photo-sphere XMP\n"
        "A % that is part of an output's name is written %%.\n"
        "\n"
        "options:\n";
    const size_t column = 20;  // where the help text starts, after the two-space indent
    for (const OptionSpec& o : kOptions) {
        std::string label = o.names;
        if (o.value) label += std::string(" ") + o.value;
        s += "  " + label + std::string(label.size() + 2 <= column ? column - label.size() : 2, ' ');
        for (const char* c = o.help; *c; ++c) s += *c == '\n' ? "\n" + std::string(2 + column, ' ') : std::string(1, *c);
        s += "\n";
    }
    s += "\n"
         "The GL engine needs OpenGL 3.3, through an X display or, without one, EGL; the CPU engine needs\n"
         "neither.\n"
         "\n"
         "exit codes: 0 done, 1 failed on the way, 2 bad command line, 3 clip missing, unreadable, without\n"
         "video or not lens images, 4 unusable calibration, 5 output exists or cannot be written, 6 no engine can\n"
         "run (no OpenGL 3.3 context), 7 unusable plan or segments (unreadable, for another clip, of\n"
         "another plan, missing, doubled or cut short), 130 interrupted (SIGINT); stopped by another\n"
         "signal: 128 + its number (129 SIGHUP, 131 SIGQUIT, 143 SIGTERM). For a scheduler: 2, 3, 4 and\n"
         "7 fail the same way again; 5 (with -y: disk full, output busy), 6 and 128 + a signal may\n"
         "succeed on a retry\n";
    return s;
}

}  // namespace

const std::vector<OptionSpec>& optionTable() { return kOptions; }

const char* usageText() {
    static const std::string text = makeUsage();
    return text.c_str();
}

Status parseOptions(int argc, char** argv, Options& opt) {
    std::vector<std::string> positional;
    Status st = readArguments(argc, argv, opt, positional);
    if (st.ok() && !opt.help) st = readNames(positional, opt);
    if (st.ok() && !opt.help) st = checkFrames(opt);
    if (st.ok() && !opt.help && (!opt.motionOut.empty() || !opt.motionPlot.empty()) &&
        opt.stabilize == StabilizeMode::Off && !opt.level && opt.motionIn.empty())
        st = usageError("--motion-out and --motion-plot go with --stabilize, --level or --motion");
    if (st.ok() && !opt.help) st = checkCombinations(opt);
    if (st.ok() && !opt.help && !opt.info && !opt.calibrate) st = checkNames(opt);
    return st;
}

}  // namespace stitcher
