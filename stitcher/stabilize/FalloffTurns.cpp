#include "FalloffTurns.h"

#include <algorithm>
#include <cmath>

#include "MotionEstimate.h"

namespace stitcher {

namespace {

class MotionTurn : public TurnFollower {
public:
    MotionTurn(const EngineSpec& clip, int threads) {
        MotionSettings settings;
        settings.threads = threads;
        if (!MotionEstimator::create(clip, settings, motion_).ok()) motion_.reset();
    }
    void add(const uint8_t* frame) override {
        if (motion_) motion_->add(frame);
    }
    void restart() override {
        if (motion_) motion_->restart();
    }
    bool turn(double m[3][3]) const override {
        if (!motion_ || motion_->cameras().size() < 2) return false;
        // Every frame of the run measured: a frame the analysis could not
        // tie down is taken as not turned, which would be wrong here.
        for (const uint8_t r : motion_->reliable())
            if (!r) return false;
        const Rot& last = motion_->cameras().back();
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = last.m[i][j];
        return true;
    }

private:
    std::unique_ptr<MotionEstimator> motion_;
};

}  // namespace

std::function<std::unique_ptr<TurnFollower>()> motionTurns(const EngineSpec& clip, int threads) {
    return [clip, threads]() -> std::unique_ptr<TurnFollower> { return std::unique_ptr<TurnFollower>(new MotionTurn(clip, threads)); };
}

TurnRuns falloffRuns(const EngineSpec& clip, double fps, int threads) {
    TurnRuns runs;
    runs.follower = motionTurns(clip, threads);
    runs.gap = std::max(1LL, std::llround((std::isfinite(fps) && fps > 0.0 ? fps : 30.0) / 4.0));
    runs.steps = static_cast<int>(std::min<long long>(2, runs.gap));
    return runs;
}

}  // namespace stitcher
