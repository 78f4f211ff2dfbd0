#include <gtest/gtest.h>

#include <cmath>

#include "FisheyeLens.h"

namespace {

FisheyeLens lensOf(int type) { return FisheyeLens(static_cast<FisheyeLens::LensType>(type)); }

TEST(FisheyeLens, ReferenceValuesOfTheThreePolynomials) {
    struct Case { int type; double angle; double expected; };
    const Case cases[] = {
        {2, 0.0, 0.0},       {5, 0.0, 0.0},       {4, 0.0, 0.0007},
        {2, 90.0, 1.424222}, {2, 105.0, 1.504817},
        {5, 90.0, 1.444069}, {5, 110.0, 1.709013},
        {4, 90.0, 1.348748}, {4, 118.0, 1.496258},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " angle " << c.angle);
        EXPECT_NEAR(lensOf(c.type).map(c.angle), c.expected, 1e-6);
    }
    // Exactly zero on the axis where there is no constant term.
    EXPECT_EQ(lensOf(2).map(0.0), 0.0);
    EXPECT_EQ(lensOf(5).map(0.0), 0.0);
}

TEST(FisheyeLens, FieldOfViewAndBlendAngleByType) {
    struct Case { int type; float fov; float blend; };
    const Case cases[] = {
        {0, 236.0f, 30.0f}, {1, 236.0f, 30.0f}, {2, 210.0f, 25.0f}, {3, 236.0f, 30.0f},
        {4, 236.0f, 30.0f}, {5, 220.0f, 30.0f}, {6, 236.0f, 30.0f}, {255, 236.0f, 30.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(lensOf(c.type).fieldOfView(), c.fov);
        EXPECT_EQ(lensOf(c.type).blendAngle(), c.blend);
    }
}

TEST(FisheyeLens, UnnamedTypesShareTheDefaultPolynomial) {
    const FisheyeLens reference = lensOf(4);
    for (int type : {0, 1, 3, 6, 77, 255}) {
        for (double t = 0.0; t <= 130.0; t += 6.5) EXPECT_EQ(lensOf(type).map(t), reference.map(t)) << type << " " << t;
    }
}

// The stitch mesh relies on each polynomial rising up to half the field of
// view; each turns over not far beyond.
TEST(FisheyeLens, PolynomialRisesToHalfTheFieldOfViewAndPeaksBeyond) {
    struct Case { int type; double peak; };
    const Case cases[] = {{2, 110.9}, {4, 126.8}, {5, 142.2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const FisheyeLens lens = lensOf(c.type);
        const double half = lens.fieldOfView() / 2.0;
        for (double t = 0.0; t < half; t += 0.25) EXPECT_LT(lens.map(t), lens.map(t + 0.25)) << t;
        double peak = 0.0;
        for (double t = 0.0; t < 180.0; t += 0.01)
            if (lens.map(t) > lens.map(peak)) peak = t;
        EXPECT_NEAR(peak, c.peak, 0.1);
        EXPECT_GT(peak, half);
    }
}

}  // namespace
