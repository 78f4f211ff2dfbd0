// --seam through the whole tool: a fixed stitching distance changes the
// picture only within the two cross-fade bands, also under a turned view
// and in a flat view, and auto measures the run's frames and says what it found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "test_clips.h"

namespace {

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

// The lens fall-off the stitcher measures on the sample (none: its lenses
// are evenly lit), given so that each run leaves out that pass over the
// clip's frames; the colour gains are still measured by every run.
const char* kSampleFalloff = "--falloff falloff_0.00000_0.00000_0.00000_0.00000";

// Frame 1 of the sample at 480x240 (or `size`) with `seam` as RGB bytes; `err` gets standard error.
std::vector<uint8_t> picture(const std::string& seam, std::string* err = nullptr, const std::string& more = "",
                             const std::string& size = "240") {
    const std::string dir = testutil::makeTempDir("seam_run");
    int rc = -1;
    testutil::captureCommand(testutil::quote(kStitcher) + " --engine cpu --size " + size + " --frame 1 -v " + kSampleFalloff + " " + more + " --seam " + seam + " " +
                                 testutil::quote(kSample) + " " + dir + "/p.png 2>" + dir + "/err",
                             &rc);
    EXPECT_EQ(rc, 0) << testutil::readFile(dir + "/err");
    if (err) *err = testutil::readFile(dir + "/err");
    const std::string raw =
        testutil::captureCommand("ffmpeg -v error -nostdin -i " + dir + "/p.png -f rawvideo -pix_fmt rgb24 -", &rc);
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

TEST(StitcherSeam, FixedDistanceWarpsTheBandsOnlyAndTurnsWithTheView) {
    const std::vector<uint8_t> far = picture("far"), near = picture("0.5m");
    ASSERT_EQ(far.size(), 480u * 240u * 3u);
    ASSERT_EQ(near.size(), far.size());
    // The columns where the pictures differ: two runs, each narrower than a
    // band (at most 30 degrees, 40 columns), and on most rows near the horizon.
    std::vector<int> changedRows(480, 0);
    for (size_t i = 0; i < far.size(); ++i)
        if (far[i] != near[i]) ++changedRows[i / 3 % 480];
    int runs = 0, longest = 0;
    for (int col = 0, run = 0; col < 480; ++col) {
        run = changedRows[col] ? run + 1 : 0;
        runs += run == 1;
        longest = std::max(longest, run);
    }
    EXPECT_EQ(runs, 2);
    EXPECT_LE(longest, 40);
    EXPECT_GT(*std::max_element(changedRows.begin(), changedRows.end()), 100);
    std::string said;
    picture("auto", &said);
    // Measured on the run's frames: the share of the seams that kept the far field.
    EXPECT_NE(said.find("% of the seams"), std::string::npos) << said;

    // A turned view lines up its seams too: the panorama turned a quarter
    // turn about the vertical is the unturned one moved by a quarter of its
    // width, its seams lined up as the unturned run lines them up.
    const std::vector<uint8_t> turned = picture("0.5m", &said, "--yaw 90");
    ASSERT_EQ(turned.size(), near.size());
    EXPECT_EQ(said.find("cannot line up"), std::string::npos) << said;
    // Squared error against a picture moved by `by` columns.
    auto error = [&](const std::vector<uint8_t>& a, int by) {
        double sum = 0;
        for (int row = 0; row < 240; ++row)
            for (int col = 0; col < 480; ++col)
                for (int c = 0; c < 3; ++c) {
                    const double d = turned[(row * 480 + col) * 3 + c] - a[(row * 480 + (col + by + 480) % 480) * 3 + c];
                    sum += d * d;
                }
        return sum / turned.size();
    };
    const int by = error(near, 120) < error(near, -120) ? 120 : -120;
    const double toNear = error(near, by), toFar = error(far, by);
    std::printf("turned against the unturned, moved %d columns: mean squared error %.2f (0.5m), %.2f (far)\n", by, toNear,
                toFar);
    EXPECT_LT(toNear, 2.0);
    EXPECT_LT(toNear, 0.5 * toFar);

    // A flat view looking at a seam lines it up as well.
    const std::string flat = "--projection flat --yaw 90";
    const std::vector<uint8_t> flatFar = picture("far", nullptr, flat, "320x180"), flatNear = picture("0.5m", &said, flat, "320x180");
    ASSERT_EQ(flatFar.size(), 320u * 180u * 3u);
    ASSERT_EQ(flatNear.size(), flatFar.size());
    EXPECT_EQ(said.find("cannot line up"), std::string::npos) << said;
    size_t differ = 0;
    for (size_t i = 0; i < flatFar.size(); ++i) differ += flatFar[i] != flatNear[i];
    EXPECT_GT(differ, flatFar.size() / 20) << "the flat view's seam was not warped";
}

}  // namespace
