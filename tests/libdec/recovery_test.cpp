// Streams without an IDR picture, refreshed column by column (intra refresh)
// and marked with recovery points: decoding starts at a recovery point, the
// frames before the first refresh completes cannot be decoded, every later
// one matches the ffmpeg command's decode, in order and at random.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "decode_helpers.h"

using namespace dectest;

namespace {

struct RefreshClip {
    const char* name;
    const char* x264;  // encoder options besides the refresh
};

// 12 macroblock columns: a refresh period spans about a dozen frames. The
// first frames are cut off, the IDR picture among them.
std::string MakeRefreshClip(const RefreshClip& c) {
    std::string full = testutil::makeClip(std::string("rec_full_") + c.name + ".mp4",
                                          std::string("-f lavfi -i testsrc2=size=192x48:rate=30:duration=4 "
                                                      "-c:v libx264 -pix_fmt yuv420p ") +
                                              c.x264 + " -x264-params intra-refresh=1:keyint=30" +
                                              (c.name == std::string("headers") ? ":repeat-headers=1" : ""));
    if (full.empty()) return full;
    return testutil::makeClip(std::string("rec_cut_") + c.name + ".mp4",
                              "-i '" + full + "' -ss 0.1 -copyinkf -c copy");
}

class RecoveryTest : public ::testing::TestWithParam<RefreshClip> {};

TEST_P(RecoveryTest, MatchesFfmpegFromTheFirstRecoveryInAnyOrder) {
    const std::string path = MakeRefreshClip(GetParam());
    ASSERT_FALSE(path.empty());
    const std::string probe = testutil::captureCommand(
        "ffprobe -v error -show_entries frame=key_frame,pict_type -of csv '" + path + "'");
    ASSERT_EQ(std::string::npos, probe.find(",I")) << "an intra picture is left";
    const std::string ref = FfmpegBgr(path);
    Session s(path);
    ASSERT_NE(nullptr, s.handle());
    const size_t n = s.frameBytes();
    const unsigned int frames = s.info().frames;
    ASSERT_GT(ref.size(), 0u);
    ASSERT_EQ(0u, ref.size() % n);
    const unsigned int shown = static_cast<unsigned int>(ref.size() / n);
    ASSERT_LT(shown, frames - 20) << "ffmpeg shows the frames before the first recovery";
    const unsigned int first = frames - shown + 1;  // ffmpeg's first picture is this frame

    // In order: nothing before `first`, then ffmpeg's pictures.
    std::vector<uint64_t> sums(frames + 1, 0);
    for (unsigned int f = 1; f <= frames; ++f) {
        unsigned char* out = nullptr;
        int rc = PRDGetVideoFrame(s.handle(), f, out);
        if (f < first) {
            EXPECT_EQ(1, rc) << "frame " << f;
            continue;
        }
        ASSERT_EQ(0, rc) << "frame " << f;
        ASSERT_NE(nullptr, out);
        Diff d = Compare(out, reinterpret_cast<const unsigned char*>(ref.data()) + (f - first) * n, n);
        EXPECT_LE(d.maxAbs, 1) << "frame " << f;
        EXPECT_LE(d.meanAbs, 0.05) << "frame " << f;
        sums[f] = Fnv(out, n);
    }

    // At random, and around every recovery point (the frames of a refresh
    // still under way come from the one before).
    std::vector<long long> order;
    for (long long f = 1; f <= frames; ++f) order.push_back(f);
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    for (long long k = first; k <= frames; k += 30)
        for (long long f : {k - 12, k - 10, k - 9, k - 5, k - 1, k, k + 1, k - 9, k + 20, k - 3}) order.push_back(f);
    Session r(path);
    for (long long f : order) {
        if (f < 1 || f > frames) continue;
        unsigned char* out = nullptr;
        int rc = PRDGetVideoFrame(r.handle(), f, out);
        if (f < first) {
            EXPECT_EQ(1, rc) << "frame " << f;
        } else {
            ASSERT_EQ(0, rc) << "frame " << f;
            ASSERT_EQ(sums[f], Fnv(out, n)) << "frame " << f;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, RecoveryTest,
                         ::testing::Values(RefreshClip{"plain", "-bf 0"}, RefreshClip{"headers", "-bf 0"},
                                           RefreshClip{"bframes", "-bf 2"}),
                         [](const ::testing::TestParamInfo<RefreshClip>& i) { return std::string(i.param.name); });

}  // namespace
