// Shared by the decoding tests: test clips, picture checksums, reference
// decodes made with the ffmpeg command.
#pragma once

#define MYLOG_TEST_SEAM  // the log's file handle, to read what was written
#include "log/MyLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

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

// Every picture of the clip in its decoder's output order, as the ffmpeg
// command converts it to bgr24 (bicubic, no frame dropping or duplication).
inline std::string FfmpegBgr(const std::string& clip, const std::string& extra = "") {
    std::string out = testutil::makeTempDir("decref") + "/ref.bgr";
    std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + clip +
                      "' -map 0:v -fps_mode passthrough -sws_flags bicubic " + extra +
                      " -pix_fmt bgr24 -f rawvideo '" + out + "'";
    EXPECT_EQ(0, testutil::runCommand(cmd)) << cmd;
    return testutil::readFile(out);
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
