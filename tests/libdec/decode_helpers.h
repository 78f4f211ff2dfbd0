// Shared by the decoding tests: test clips, picture checksums, reference
// decodes made with the ffmpeg command.
#pragma once

#define MYLOG_TEST_SEAM  // the log's file handle, to read what was written
#include "log/MyLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "libdec.h"
#include "test_clips.h"

namespace dectest {

struct ClipRecipe {
    const char* name;
    const char* args;  // ffmpeg arguments before the output name
};

// 64x48, 30 fps; GOP structure in the name.
inline const ClipRecipe kClipB30{"dec_b_gop30.mp4",
                               "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -c:v libx264 -g 30 "
                               "-keyint_min 30 -sc_threshold 0 -pix_fmt yuv420p"};
inline const ClipRecipe kClipNoB30{"dec_nob_gop30.mp4",
                                 "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -c:v libx264 -bf 0 -g 30 "
                                 "-keyint_min 30 -sc_threshold 0 -pix_fmt yuv420p"};
// Keys at 1 and 101.
inline const ClipRecipe kClipB100{"dec_b_gop100.mp4",
                                "-f lavfi -i testsrc2=size=64x48:rate=30:duration=4 -c:v libx264 -g 100 "
                                "-keyint_min 100 -sc_threshold 0 -pix_fmt yuv420p"};
inline const ClipRecipe kClipNoB100{"dec_nob_gop100.mp4",
                                  "-f lavfi -i testsrc2=size=64x48:rate=30:duration=4 -c:v libx264 -bf 0 -g 100 "
                                  "-keyint_min 100 -sc_threshold 0 -pix_fmt yuv420p"};
// One key sample only.
inline const ClipRecipe kClipBOneKey{"dec_b_onekey.mp4",
                                   "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -c:v libx264 -g 1000 "
                                   "-keyint_min 1000 -sc_threshold 0 -pix_fmt yuv420p"};
// Keys at 1, 11 and 71: the first GOP (10) is much shorter than the second (60).
inline const ClipRecipe kClipBIrregular{"dec_b_irregular.mp4",
                                      "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -c:v libx264 -g 1000 "
                                      "-keyint_min 1 -sc_threshold 0 -force_key_frames 0,0.3333,2.3333 "
                                      "-pix_fmt yuv420p"};
// Four slices per picture, parameter sets repeated in the stream before each
// key picture (as cameras write them), B-frames.
inline const ClipRecipe kClipSlices{"dec_slices_gop30.mp4",
                                  "-f lavfi -i testsrc2=size=64x64:rate=30:duration=3 -c:v libx264 -g 30 "
                                  "-keyint_min 30 -sc_threshold 0 -pix_fmt yuv420p "
                                  "-x264-params slices=4:repeat-headers=1"};
// Open groups: the I pictures after the first are not IDR, and the B
// pictures shown just before each refer across it to the group before.
inline const ClipRecipe kClipOpenGop{"dec_open_gop15.mp4",
                                  "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -c:v libx264 -g 15 "
                                  "-keyint_min 15 -sc_threshold 0 -bf 3 -pix_fmt yuv420p -x264-params open-gop=1"};
inline const ClipRecipe kClipTwoFrames{"dec_two_frames.mp4",
                                     "-f lavfi -i testsrc2=size=64x48:rate=30 -frames:v 2 -c:v libx264 "
                                     "-pix_fmt yuv420p"};
inline const ClipRecipe kClipOneFrame{"dec_one_frame.mp4",
                                    "-f lavfi -i testsrc2=size=64x48:rate=30 -frames:v 1 -c:v libx264 "
                                    "-pix_fmt yuv420p"};

// The log goes to a fresh home folder (before anything logs) so that the
// tests can read it and never write into the real one.
inline const bool kHomeReady = [] {
    std::string home = testutil::makeTempDir("dectest_home");
    testutil::runCommand("mkdir -p '" + home + "/.local/share'");
    return setenv("HOME", home.c_str(), 1) == 0;
}();

// What the log file receives from now on.
class LogWatch {
public:
    LogWatch() {
        EXPECT_NE(nullptr, CMyLog::GetInstance()->m_FpLog) << "no log file to watch";
        mark_ = Content().size();
    }
    std::string Since() { return Content().substr(mark_); }

private:
    static std::string Content() {
        FILE* fp = CMyLog::GetInstance()->m_FpLog;
        if (!fp) return std::string();
        std::fflush(fp);
        return testutil::readFile("/proc/self/fd/" + std::to_string(fileno(fp)));
    }
    size_t mark_;
};

inline size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Audio clips (with a small video track: a clip without video cannot be opened).
inline const ClipRecipe kStereo{"dec_audio_stereo.mp4",
                       "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -f lavfi -i "
                       "'aevalsrc=0.5*sin(2*PI*440*t)|0.3*sin(2*PI*1000*t):s=48000:d=3' -c:v libx264 -g 30 "
                       "-pix_fmt yuv420p -c:a aac -b:a 128k -shortest"};
inline const ClipRecipe kMono{"dec_audio_mono.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=30:duration=3 -f lavfi -i "
                     "'aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=3' -c:v libx264 -g 30 -pix_fmt yuv420p "
                     "-c:a aac -b:a 96k -shortest"};

inline std::string Make(const ClipRecipe& c) { return testutil::makeClip(c.name, c.args); }

inline uint64_t Fnv(const unsigned char* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

// How a player reads a stream's YUV: the matrix it is tagged with, else
// BT.709 from 720 lines up and BT.601 below; limited range unless tagged full
// (or of a full-range pixel format).
struct StreamColor {
    int width = 0, height = 0;
    std::string pixFmt;
    bool bt709 = false, full = false;
};

inline StreamColor ProbeColor(const std::string& clip) {
    std::string out = testutil::captureCommand(
        "ffprobe -v error -select_streams v:0 -show_entries stream=width,height,pix_fmt,color_space,color_range "
        "-of default=nw=1 '" + clip + "'");
    auto field = [&](const std::string& key) {
        size_t at = out.find(key + "=");
        if (at == std::string::npos) return std::string();
        at += key.size() + 1;
        return out.substr(at, out.find('\n', at) - at);
    };
    StreamColor c;
    c.width = std::atoi(field("width").c_str());
    c.height = std::atoi(field("height").c_str());
    c.pixFmt = field("pix_fmt");
    const std::string space = field("color_space");
    c.bt709 = space == "bt709" || (space != "bt470bg" && space != "smpte170m" && c.height >= 720);
    c.full = field("color_range") == "pc" || c.pixFmt.compare(0, 4, "yuvj") == 0;
    EXPECT_TRUE(space == "unknown" || space == "bt709" || space == "bt470bg" || space == "smpte170m")
        << clip << ": matrix " << space;
    return c;
}

// Every picture of the clip in its decoder's output order (no frame dropping
// or duplication) as BGR, the clip's YUV read as a player reads it. At the
// clip's own size: each pixel from its luma and the chroma sample covering it,
// rounded to the nearest level. At another size: as the ffmpeg command scales
// and converts it (bicubic), told the same matrix and range.
inline std::string FfmpegBgr(const std::string& clip, int width = 0, int height = 0) {
    const StreamColor c = ProbeColor(clip);
    std::string out = testutil::makeTempDir("decref") + "/ref.raw";
    std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + clip +
                      "' -map 0:v -fps_mode passthrough -f rawvideo ";
    const bool scaled = (width || height) && (width != c.width || height != c.height);
    // Chroma subsampling of the planar formats read here.
    const std::string sub = c.pixFmt.substr(c.pixFmt.compare(0, 4, "yuvj") == 0 ? 4 : 3);
    const int shiftX = sub == "444p" ? 0 : 1, shiftY = sub == "420p" ? 1 : 0;
    if (scaled) {
        cmd += "-sws_flags bicubic -vf scale=" + std::to_string(width) + ":" + std::to_string(height) +
               ":in_color_matrix=" + (c.bt709 ? "bt709" : "bt601") + ":in_range=" + (c.full ? "pc" : "tv") +
               " -pix_fmt bgr24 ";
    } else {
        EXPECT_TRUE(sub == "420p" || sub == "422p" || sub == "444p") << clip << ": " << c.pixFmt;
    }
    EXPECT_EQ(0, testutil::runCommand(cmd + "'" + out + "'")) << cmd;
    std::string raw = testutil::readFile(out);
    if (scaled) return raw;
    const size_t w = size_t(c.width), h = size_t(c.height), cw = (w + shiftX) >> shiftX, ch = (h + shiftY) >> shiftY;
    const size_t size = w * h + 2 * cw * ch;
    const double kr = c.bt709 ? 0.2126 : 0.299, kb = c.bt709 ? 0.0722 : 0.114;
    std::string bgr;
    for (size_t at = 0; size && at + size <= raw.size(); at += size) {
        const auto* y = reinterpret_cast<const uint8_t*>(raw.data() + at);
        const uint8_t *u = y + w * h, *v = u + cw * ch;
        for (size_t row = 0; row < h; ++row)
            for (size_t x = 0; x < w; ++x) {
                const size_t k = (row >> shiftY) * cw + (x >> shiftX);
                const double l = c.full ? y[row * w + x] / 255.0 : (y[row * w + x] - 16) / 219.0;
                const double cb = (u[k] - 128) / (c.full ? 255.0 : 224.0);
                const double cr = (v[k] - 128) / (c.full ? 255.0 : 224.0);
                const double r = l + 2 * (1 - kr) * cr, b = l + 2 * (1 - kb) * cb;
                const double g = (l - kr * r - kb * b) / (1 - kr - kb);
                for (double level : {b, g, r})
                    bgr += static_cast<char>(std::lround(std::min(255.0, std::max(0.0, 255 * level))));
            }
    }
    return bgr;
}

struct Diff {
    double meanAbs = 0;
    int maxAbs = 0;
};

inline Diff Compare(const unsigned char* a, const unsigned char* b, size_t n) {
    Diff d;
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        int e = std::abs(int(a[i]) - int(b[i]));
        sum += e;
        if (e > d.maxAbs) d.maxAbs = e;
    }
    d.meanAbs = n ? double(sum) / double(n) : 0.0;
    return d;
}

inline double Psnr(const unsigned char* a, const unsigned char* b, size_t n) {
    double se = 0;
    for (size_t i = 0; i < n; ++i) se += double(int(a[i]) - int(b[i])) * double(int(a[i]) - int(b[i]));
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(n) / se);
}

// Opens a clip through the exported interface; closes it on destruction.
class Session {
public:
    explicit Session(const std::string& path) : h_(PRDOpen(path.c_str())) {
        if (h_) PRDGetMediaInfo(h_, info_);
    }
    ~Session() { PRDClose(h_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void* handle() const { return h_; }
    const _MediaInfo& info() const { return info_; }
    size_t frameBytes() const { return size_t(3) * info_.width * info_.height; }

    // Checksum of frame f, or 0 with a test failure when it cannot be had.
    uint64_t FrameSum(long long f) {
        unsigned char* out = nullptr;
        int rc = PRDGetVideoFrame(h_, f, out);
        EXPECT_EQ(0, rc) << "frame " << f;
        EXPECT_NE(nullptr, out) << "frame " << f;
        if (rc != 0 || !out) return 0;
        return Fnv(out, frameBytes());
    }

private:
    void* h_;
    _MediaInfo info_{};
};

// Checksums of frames 1..frames decoded in order on a fresh session.
inline std::vector<uint64_t> SequentialSums(const std::string& path) {
    Session s(path);
    std::vector<uint64_t> sums;
    if (!s.handle()) {
        ADD_FAILURE() << "cannot open " << path;
        return sums;
    }
    for (unsigned int f = 1; f <= s.info().frames; ++f) sums.push_back(s.FrameSum(f));
    return sums;
}

}  // namespace dectest
