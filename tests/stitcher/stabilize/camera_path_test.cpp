// The keyframed camera: its file refused with the line and the reason where
// it is bad, and its path through the keys: exact at each, the short way
// round, no spin through the zenith, and no jump in angular velocity where
// it is smooth.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "CameraPath.h"

using stitcher::CameraPath;
using stitcher::Rot;

namespace {

CameraPath pathOf(const std::string& text) {
    CameraPath p;
    const stitcher::Status st = CameraPath::parse(text, p);
    EXPECT_TRUE(st.ok()) << st.message();
    return p;
}

// Angular velocity (degrees per second, world frame) at time t, from
// either side: the turn over the last or the next `h` seconds.
double speedBetween(const CameraPath& p, double t0, double t1) { return p.at(t0).view.degreesTo(p.at(t1).view) / (t1 - t0); }

// Degrees turned from t0 to t1, summed in small steps.
double turned(const CameraPath& p, double t0, double t1) {
    double sum = 0;
    for (int i = 0; i < 400; ++i)
        sum += p.at(t0 + (t1 - t0) * i / 400).view.degreesTo(p.at(t0 + (t1 - t0) * (i + 1) / 400).view);
    return sum;
}

TEST(CameraPathTest, RefusesBadFilesWithTheLineAndTheReason) {
    const CameraPath good = pathOf("# reframe\r\ntime,yaw,pitch,roll,fov,ease\n\n0,10,0,0,90,linear\n 1.5 , -20, 5, 0, 60, smooth\n9,0,0,0,60,linear\n");
    ASSERT_EQ(good.keys().size(), 3u);
    EXPECT_EQ(good.keys()[1].line, 5);
    EXPECT_TRUE(good.keys()[1].smooth);
    EXPECT_DOUBLE_EQ(good.at(100).fov, 60);  // holds after the last key (keys past the clip's end are fine)
    EXPECT_DOUBLE_EQ(good.at(-1).fov, 90);
    const struct {
        const char* text;
        const char* said;
    } bad[] = {{"", "no keys"},
               {"# only a comment\n", "no keys"},
               {"0,0,0,0,90,linear\n1,0,0,0,90\n", "line 2: 5 columns"},
               {"0,0,0,0,90,linear,7\n", "line 1: 7 columns"},
               {"0,0,nan,0,90,linear\n", "line 1: pitch 'nan' is not a finite number"},
               {"0,0,0,,90,linear\n", "line 1: roll '' is not"},
               {"0,0,0,0,0,linear\n", "line 1: fov 0 is out of range"},
               {"0,0,0,0,180,linear\n", "line 1: fov 180 is out of range"},
               {"0,0,0,0,90,ease-in\n", "line 1: ease 'ease-in'"},
               {"#\n1,0,0,0,90,linear\n0.5,0,0,0,90,linear\n", "line 3: time 0.5 does not come after the key of line 2"},
               {"1,0,0,0,90,linear\n1,5,0,0,90,linear\n", "line 2: time 1 does not come after the key of line 1 (the same time)"},
               {"time,yaw,pitch,fov,ease\n", "line 1: the columns are"},
               {"-1,0,0,0,90,linear\n", "line 1: time -1 is before the first frame"}};
    for (const auto& b : bad) {
        CameraPath p;
        const stitcher::Status st = CameraPath::parse(b.text, p);
        EXPECT_EQ(st.code(), stitcher::kExitUsage) << b.text;
        EXPECT_NE(st.message().find(b.said), std::string::npos) << st.message();
    }
    CameraPath none;
    EXPECT_NE(CameraPath::read("/nonexistent/cam.csv", none).message().find("/nonexistent/cam.csv"), std::string::npos);
}

TEST(CameraPathTest, PassesThroughEachKeyTheShortWayWithoutSpinning) {
    for (const char* ease : {"linear", "smooth"}) {
        SCOPED_TRACE(ease);
        const std::string e = std::string(",") + ease + "\n";
        const CameraPath p = pathOf("0,170,0,0,100" + e + "2,-170,10,0,50" + e + "3,-170,80,0,50" + e +
                                    "5,10,80,0,70" + e + "7,30,-20,15,90" + e);
        for (const auto& k : p.keys()) {
            EXPECT_LT(p.at(k.time).view.degreesTo(Rot::fromAngles(k.yaw, k.pitch, k.roll)), 1e-6);
            EXPECT_NEAR(p.at(k.time).fov, k.fov, 1e-9);
        }
        // Yaw 170 to -170: the 20 degrees through 180, not 340 back.
        const CameraPath round = pathOf("0,170,0,0,100" + e + "2,-170,0,0,50" + e);
        EXPECT_NEAR(turned(round, 0, 2), 20, 0.01);
        EXPECT_NEAR(round.at(1).view.degreesTo(Rot::fromAngles(180, 0, 0)), 0, 1e-6);
        EXPECT_NEAR(round.at(1).fov, 75, 1e-9);
        // Pitch 70 up over the zenith to the other side: (180, 70, 180) is
        // pitch 110, 40 degrees on, where yaw and roll taken angle by angle
        // would spin half a turn each.
        const CameraPath over = pathOf("0,0,70,0,90" + e + "4,180,70,180,90" + e);
        EXPECT_NEAR(turned(over, 0, 4), 40, 0.01);
        double forward[3];
        const double ahead[3] = {-1, 0, 0};
        over.at(2).view.apply(ahead, forward);
        EXPECT_NEAR(forward[2], 1, 1e-9);  // straight up half way
    }
}

TEST(CameraPathTest, SmoothTurnsWithoutAJumpInAngularVelocity) {
    const char* keys = "0,0,0,0,90,%s\n1,40,10,0,60,%s\n3.5,-30,60,20,80,%s\n4,-40,0,0,90,%s\n";
    for (const bool smooth : {false, true}) {
        const char* e = smooth ? "smooth" : "linear";
        char text[256];
        std::snprintf(text, sizeof text, keys, e, e, e, e);
        const CameraPath p = pathOf(text);
        const double h = 1e-4;
        double worst = 0;
        for (const double t : {1.0, 3.5}) {
            // Velocity vectors just before and just after the key.
            const Rot a = p.at(t - h).view, b = p.at(t).view, c = p.at(t + h).view;
            double before[3], after[3];
            (b * a.transposed()).toVector(before);
            (c * b.transposed()).toVector(after);
            double jump = 0;
            for (int k = 0; k < 3; ++k) jump += std::pow((after[k] - before[k]) / h * 180 / M_PI, 2);
            worst = std::max(worst, std::sqrt(jump));
        }
        const double fovJump = std::fabs((p.at(1 + h).fov - p.at(1).fov) - (p.at(1).fov - p.at(1 - h).fov)) / h;
        if (smooth) {
            EXPECT_LT(worst, 0.5) << "degrees per second";
            EXPECT_LT(fovJump, 0.5);
            // At rest at the ends, where the camera holds.
            EXPECT_LT(speedBetween(p, 0, 1e-5), 0.5);
            EXPECT_LT(speedBetween(p, 4 - 1e-5, 4), 0.5);
        } else {
            EXPECT_GT(worst, 10.0);  // the linear path turns at each key
        }
    }
}

}  // namespace
