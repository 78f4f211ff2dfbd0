// The keyframed camera in a stabilised run: composed after the
// stabilisation's corrections, so that a shaken camera with a fixed
// virtual camera shows a still view of the world, and a pan stays level.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "Stitch.h"

using namespace stitcher;

namespace {

const double kPi = 3.14159265358979323846;

// Where frame k's output looks in the world: the camera's own turn C_k
// applied to what the engine looks up, C_k * view_k.
TEST(CameraViewTest, FixedWorldCameraStaysStillOnAShakenClipAndPansLevel) {
    Job job;
    job.first = 5;
    job.count = 60;
    job.fps = {30, 1};
    std::mt19937 rng(3);
    std::normal_distribution<double> shake(0, 2.0);
    std::vector<Rot> cameraTurn;
    for (long long k = 0; k < job.count; ++k) cameraTurn.push_back(Rot::fromAngles(shake(rng), shake(rng), shake(rng)));
    for (const char* keys : {"0,40,-10,0,70,linear\n", "0,0,0,0,90,smooth\n1,60,0,0,60,smooth\n2,120,0,0,90,linear\n"}) {
        SCOPED_TRACE(keys);
        CameraPath camera;
        ASSERT_TRUE(CameraPath::parse(keys, camera).ok());
        Options opt;
        opt.camera = "camera.csv";
        ViewRotations turns;
        turns.first = job.first;
        for (const Rot& c : cameraTurn) turns.view.push_back(c.transposed());  // the stabilisation's lock
        cameraViews(opt, job, camera, turns);
        ASSERT_EQ(turns.view.size(), static_cast<size_t>(job.count));
        double sum = 0;
        for (long long k = 0; k < job.count; ++k) {
            const Rot world = cameraTurn[k] * turns.view[k];
            const CameraPose want = camera.at((job.first + k - 1) / 30.0);
            const double off = world.degreesTo(want.view);
            sum += off * off;
            EXPECT_FLOAT_EQ(turns.fov[k], static_cast<float>(want.fov));
            // The view's right, (0, -1, 0) in its frame, stays horizontal.
            const double right[3] = {0, -1, 0};
            double r[3];
            world.apply(right, r);
            EXPECT_NEAR(std::asin(r[2]) * 180 / kPi, 0.0, 0.01) << "frame " << k;
        }
        EXPECT_LE(std::sqrt(sum / job.count), 0.1) << "degrees RMS of view motion against the camera path";
    }
}

}  // namespace
