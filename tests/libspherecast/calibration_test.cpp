// The calibration unit: what can be stitched, the two libraries' rules where
// they differ, and the lens figures the stitcher sizes its panorama by.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DefaultOffset.h"
#include "calibration/Calibration.h"

namespace {

using calibration::Reading;

// `text` (the default one unless given) with field k replaced.
std::string withField(int k, const std::string& value, const std::string& text = testutil::kDefaultOffset) {
    std::vector<std::string> fields;
    calibration::splitFields(text, "_", fields);
    fields[k] = value;
    std::string joined = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) joined += "_" + fields[i];
    return joined;
}

TEST(Calibration, UsableIsWhatTheRendererReadsAndCanShow) {
    const std::string body = testutil::defaultOffsetWithoutCode();
    struct Case {
        std::string text;
        std::string refusal;  // a part of the reason; empty: usable
    } cases[] = {
        {testutil::kDefaultOffset, ""},
        {body, ""},
        {body + "_2", ""},
        {withField(1, "7.13649e2"), ""},  // the renderer reads exponents
        {withField(14, "1440.9"), ""},    // sizes are truncated
        // What the renderer cannot read.
        {"3" + body.substr(1), "takes 2 lenses, the calibration has 3"},
        {"cal " + body, "does not begin with a lens count"},
        {body.substr(0, body.rfind('_')), "ends after field 13"},
        {withField(1, "1e43"), "field 1 (1e43) is out of range"},
        {withField(5, "x"), "field 5 (x) is not a number"},
        {withField(3, "708.05,1"), "field 3 is followed by ','"},
        {body + "_99999999999", "lens code (99999999999) is out of range"},
        {withField(13, "5e9"), "image size (5e9 x 1440) is out of range"},
        // What it reads but cannot make a picture of.
        {withField(14, "1", withField(13, "1")), "image size 1 x 1 is absurd"},
        {withField(14, "1"), "image size 2880 x 1 is absurd"},
        {withField(13, "65536"), "is absurd"},
        {withField(1, "0"), "lens 0's radius (0) is not positive"},
        {withField(7, "-712.403"), "lens 1's radius (-712.403) is not positive"},
        {withField(1, "20"), "lens 0's radius (20) is too small for the 2880 x 1440 image"},
        {withField(7, "1e30"), "lens 1's radius (1e+30) is far larger than the 2880 x 1440 image"},
        {withField(8, "5000"), "lens 1's centre (5000, 727.583) lies outside the image of 2880 x 1440"},
        {withField(3, "-20"), "lens 0's centre (713.933, -20) lies outside"},
        {withField(4, "1000"), "lens 0 has an angle of 1000 degrees"},
        {withField(12, "-400"), "lens 1 has an angle of -400 degrees"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Reading r = calibration::checkUsable(c.text.c_str());
        EXPECT_EQ(r.verdict.isOk(), c.refusal.empty()) << r.verdict.reason();
        if (!c.refusal.empty()) {
            EXPECT_NE(r.verdict.reason().find(c.refusal), std::string::npos) << r.verdict.reason();
        }
    }
    EXPECT_FALSE(calibration::checkUsable(nullptr).verdict);
}

// Each library keeps its own rule (see the unit's header); these are the
// texts on which they part.
TEST(Calibration, LibdecAcceptanceAndRendererReadingDifferAsDocumented) {
    const std::string body = testutil::defaultOffsetWithoutCode();
    struct Case {
        std::string text;
        bool libdecAccepts;
        bool rendererReads;
    } cases[] = {
        {testutil::kDefaultOffset, true, true},
        {body.substr(0, body.rfind('_')), true, false},            // 14 fields: 6N + 2
        {"3" + body.substr(1) + "_1_2_3_4_5", true, false},        // 3 lenses, 20 fields
        {"calibration: " + body + "\r\n", true, false},           // judged from its first digit
        {withField(1, "7.13649e2"), false, true},                  // exponent
        {withField(2, "+713.933"), false, true},                   // plus sign
        {body + "_516_junk", true, true},                          // after the 15th number
        {withField(4, ".5"), false, true},                         // leading point
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string trimmed = calibration::trimToDigits(c.text.c_str(), c.text.size());
        EXPECT_EQ(calibration::acceptsTrimmedText(trimmed), c.libdecAccepts);
        EXPECT_EQ(calibration::readForRenderer(c.text.c_str()).verdict.isOk(), c.rendererReads);
    }
}

// The panorama height the stitcher picks follows the lens's resolution on
// its axis: image pixels per degree there.
TEST(Calibration, PixelsPerDegreeAtTheAxis) {
    const Reading r = calibration::readForRenderer(testutil::kDefaultOffset);
    ASSERT_TRUE(r.verdict);
    EXPECT_NEAR(r.calibration.pixelsPerDegreeAtAxis(0), 713.649 * 0.0183 / 1.496258, 1e-4);  // 8.7283
    EXPECT_NEAR(r.calibration.pixelsPerDegreeAtAxis(1), 712.403 * 0.0183 / 1.496258, 1e-4);
    // It is the slope of radius * map(t) / map(fov / 2) at t = 0, for every type.
    for (int code : {2, 4, 5, 255}) {
        calibration::Calibration c = r.calibration;
        c.lensCode = code;
        const calibration::LensModel& m = c.model();
        const double half = m.fieldOfView / 2.0, h = 1e-6;
        const double slope = c.lens[0].radius * (m.map(h) - m.map(0.0)) / h / m.map(half);
        EXPECT_NEAR(c.pixelsPerDegreeAtAxis(0), slope, 1e-4) << code;
    }
}

}  // namespace
