#include <gtest/gtest.h>

#include <locale>
#include <string>

#include "DefaultOffset.h"
#include "DualFisheyeModel.h"
#include "LensRig.h"
#include "calibration/Calibration.h"

namespace {

const char* const kDefault = testutil::kDefaultOffset;
const std::string kBody = testutil::defaultOffsetWithoutCode();

// kBody with its n-th separator (0 = the one after the lens count) replaced.
std::string withSeparator(int n, const std::string& replacement) {
    size_t at = kBody.find('_');
    while (n-- > 0) at = kBody.find('_', at + 1);
    return kBody.substr(0, at) + replacement + kBody.substr(at + 1);
}

void expectLens(const FisheyeLens& l, float r, float cx, float cy, float yaw, float pitch, float roll,
                int w, int h, int type) {
    EXPECT_EQ(l.radius, r);
    EXPECT_EQ(l.centerX, cx);
    EXPECT_EQ(l.centerY, cy);
    EXPECT_EQ(l.yaw, yaw);
    EXPECT_EQ(l.pitch, pitch);
    EXPECT_EQ(l.roll, roll);
    EXPECT_EQ(l.imageWidth, w);
    EXPECT_EQ(l.imageHeight, h);
    EXPECT_EQ(static_cast<int>(l.type), type);
}

void expectDefaultLenses(const DualFisheyeModel& m, int type) {
    expectLens(m.lens0, 713.649f, 713.933f, 708.05f, -2.65f, -1.599f, -0.358f, 2880, 1440, type);
    expectLens(m.lens1, 712.403f, 2165.5f, 727.583f, 177.35f, -180.54f, 0.176f, 2880, 1440, type);
}

TEST(DualFisheyeModel, DefaultOffsetStringGivesTheTwoCalibratedLenses) {
    EXPECT_STREQ(DEFAULT_OFFSET, kDefault);  // the built-in text is the documented one
    testing::internal::CaptureStdout();
    DualFisheyeModel m(DEFAULT_OFFSET);
    const std::string out = testing::internal::GetCapturedStdout();
    expectDefaultLenses(m, 4);
    EXPECT_EQ(out, "");  // the model prints nothing; the renderer echoes its text
}

TEST(DualFisheyeModel, LensCodeAndTrailingFields) {
    struct Case { std::string tail; int type; };
    const Case cases[] = {
        {"", 4},                 // no code: 260
        {"_516", 4},
        {"_2", 2},
        {"_261", 5},
        {"_2.9", 2},             // truncated
        {"_5_7_8", 5},           // numbers after the 15th are ignored
        {"_0", 0},
        {"_-1", 255},            // low byte of a negative code
        {"_2_", 2},
        {" ", 4},                // anything may follow the 14th number
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail);
        testing::internal::CaptureStdout();
        DualFisheyeModel m("1");
        ASSERT_TRUE(m.parseOffset((kBody + c.tail).c_str()));
        testing::internal::GetCapturedStdout();
        expectDefaultLenses(m, c.type);
    }
}

// A host may switch its process to a locale that writes numbers as
// "2.880,5": the calibration text keeps the point as decimal separator.
TEST(DualFisheyeModel, HostLocaleDoesNotChangeTheReading) {
    struct CommaDecimal : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    testing::internal::CaptureStdout();
    DualFisheyeModel m(kDefault);
    testing::internal::GetCapturedStdout();
    std::locale::global(previous);
    expectDefaultLenses(m, 4);
}

TEST(DualFisheyeModel, ImageSizesAreTruncated) {
    testing::internal::CaptureStdout();
    DualFisheyeModel m("2_700_720_720_0_0_0_700_2160_720_180_0_0_2880.7_1440.99");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m.lens0.imageWidth, 2880);
    EXPECT_EQ(m.lens0.imageHeight, 1440);
    EXPECT_EQ(m.lens1.imageWidth, 2880);
    EXPECT_EQ(m.lens0.type, FisheyeLens::Lens236);
}

TEST(DualFisheyeModel, UnreadableTextsLeaveTheModelUnchanged) {
    const std::string thirteen = kBody.substr(0, kBody.rfind('_'));
    struct Case { std::string text; std::string echoedCount; };
    const Case cases[] = {
        {"1" + kBody.substr(1), "1"},
        {"3" + kBody.substr(1), "3"},
        {thirteen, "2"},
        {withSeparator(2, ","), "2"},
        {withSeparator(0, " "), "2"},
        {withSeparator(0, "__"), "2"},
        {"abc_2", "0"},
        {"", "0"},
        {"2", "2"},
        {"2_", "2"},
        // Sizes or code that no 32-bit integer holds.
        {kBody.substr(0, kBody.size() - 4) + "1e12", "2"},
        {kBody + "_1e20", "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testing::internal::CaptureStdout();
        DualFisheyeModel m(kDefault);
        const bool ok = m.parseOffset(c.text.c_str());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(ok);
        expectDefaultLenses(m, 4);
        EXPECT_EQ(out, "");
        int count = -1;
        m.parseOffset(c.text.c_str(), &count);
        EXPECT_EQ(std::to_string(count), c.echoedCount);
    }
}

TEST(DualFisheyeModel, NeverReadCalibrationHoldsZeroAndType4) {
    testing::internal::CaptureStdout();
    DualFisheyeModel m("3_1_2_3");
    DualFisheyeModel n(nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    expectLens(m.lens0, 0, 0, 0, 0, 0, 0, 0, 0, 4);
    expectLens(m.lens1, 0, 0, 0, 0, 0, 0, 0, 0, 4);
    expectLens(n.lens0, 0, 0, 0, 0, 0, 0, 0, 0, 4);
    EXPECT_EQ(out, "");
}

// The lens rig holds the text, its values and the lenses of those values, all
// of one usable calibration: a refused text changes nothing in it.
TEST(LensRig, HoldsOneCheckedCalibrationWhole) {
    LensRig rig;
    EXPECT_EQ(rig.text(), "");
    expectLens(rig.model().lens0, 0, 0, 0, 0, 0, 0, 0, 0, 4);

    const std::string coded = kDefault;
    ASSERT_TRUE(LensRig::make(coded, rig));
    EXPECT_EQ(rig.text(), coded);
    EXPECT_EQ(rig.values().lensCode, 516);
    EXPECT_EQ(rig.values().lens[1].centerX, 2165.5f);
    expectDefaultLenses(rig.model(), 4);

    // Readable by the renderer, but lens 0's circle lies outside the picture;
    // then a text it cannot read at all.
    for (const char* refused : {"2_713_-3000_708_0_0_0_712_2165_727_180_-180_0_2880_1440_516", "2_1_2_3"}) {
        SCOPED_TRACE(refused);
        const calibration::Verdict v = LensRig::make(refused, rig);
        EXPECT_FALSE(v);
        EXPECT_FALSE(v.reason().empty());
        EXPECT_EQ(rig.text(), coded);
        EXPECT_EQ(rig.values().lensCode, 516);
        expectDefaultLenses(rig.model(), 4);
    }
}

}  // namespace
