// A still's pose and initial view in the ranges their fields take, whatever
// angles the view was turned by.
#include <gtest/gtest.h>

#include <string>

#include "PanoramaTags.h"

using namespace stitcher;

namespace {

std::string field(const std::string& xmp, const std::string& name) {
    const std::string open = "<GPano:" + name + ">";
    const size_t at = xmp.find(open);
    if (at == std::string::npos) return "";
    const size_t from = at + open.size();
    return xmp.substr(from, xmp.find('<', from) - from);
}

}  // namespace

TEST(StillPanoramaXmp, PoseAndInitialViewInTheirRanges) {
    const struct {
        ViewTags view;
        const char *heading, *pitch, *roll, *initialHeading, *initialPitch;
    } cases[] = {
        {{0, 0, 0}, "0", "0", "0", "0", "0"},
        {{-30, 12.6, 5}, "330", "12.6", "5", "330", "13"},
        {{359.8, -90, 0}, "359.8", "-90", "0", "0", "-90"},
        // Past the pole: the opposite heading, the pitch back from the pole, half a turn of roll.
        {{10, 120, 0}, "190", "60", "-180", "190", "60"},
        {{725, -95, 200}, "185", "-85", "20", "185", "-85"},
        {{0, 370, -190}, "0", "10", "170", "0", "10"},
    };
    for (const auto& c : cases) {
        const std::string xmp = stillPanoramaXmp(64, 32, c.view);
        const std::string what = std::to_string(c.view.yaw) + " " + std::to_string(c.view.pitch) + " " +
                                 std::to_string(c.view.roll);
        EXPECT_EQ(field(xmp, "PoseHeadingDegrees"), c.heading) << what;
        EXPECT_EQ(field(xmp, "PosePitchDegrees"), c.pitch) << what;
        EXPECT_EQ(field(xmp, "PoseRollDegrees"), c.roll) << what;
        EXPECT_EQ(field(xmp, "InitialViewHeadingDegrees"), c.initialHeading) << what;
        EXPECT_EQ(field(xmp, "InitialViewPitchDegrees"), c.initialPitch) << what;
    }
}
