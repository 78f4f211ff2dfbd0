// The pipeline with a made-up source, engine and sink: the frames reach the
// sink in order with their index and flags, a stop ends the run without a
// hang, and the first failure of any stage stops the others and comes out of
// the run as it was given.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Pipeline.h"

using namespace stitcher;

namespace {

const long long kFirst = 5;  // the clip frame of the first frame

// Frames kFirst, kFirst + 1, ... whose pictures are filled with their frame
// number. At frame `endAt` (counted from 0) it fails with `failure`, or,
// without one, ends there.
class FakeSource : public FrameSource {
public:
    long long count = 1000;
    long long endAt = -1;
    Status failure;
    std::set<long long> damaged;

    bool ended() const override {
        std::lock_guard<std::mutex> lock(m_);
        return given_ == count || (given_ == endAt && failure.ok());
    }
    Status next(FrameItem& item) override {
        if (given_ == endAt) return failure;
        item.frame = kFirst + given_;
        item.pts = given_ * 10;
        item.duration = 10;
        item.damaged = damaged.count(item.frame) > 0;
        item.picture.assign(16, static_cast<uint8_t>(item.frame));
        std::lock_guard<std::mutex> lock(m_);
        ++given_;
        cv_.notify_all();
        return Status();
    }
    long long total() const override { return count; }
    size_t pictureBytes() const override { return 16; }

    long long given() {
        std::lock_guard<std::mutex> lock(m_);
        return given_;
    }
    // True once `n` frames are given; false when they are not within a minute.
    bool waitGiven(long long n) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::minutes(1), [&] { return given_ >= n; });
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    long long given_ = 0;
};

// Writes each picture's first byte to the panorama's first. Fails (or throws)
// on its call `failAt` (from 0). Its first call waits until the source is
// three frames ahead, so that frames queue up between the stages.
class FakeEngine : public Engine {
public:
    explicit FakeEngine(FakeSource& source) : source_(source) {}
    long long failAt = -1;
    bool throws = false;
    long long calls = 0;
    bool readAhead = true;

    const char* name() const override { return "fake"; }
    Status stitch(uint8_t* frame, uint8_t* out) override {
        if (calls == 0) readAhead = source_.waitGiven(3);
        if (calls++ == failAt) {
            if (throws) throw std::bad_alloc();
            return Status(kExitFailed, "the device went away");
        }
        out[0] = frame[0];
        return Status();
    }
    void setGains(const float[2][3]) override {}

private:
    FakeSource& source_;
};

struct Written {
    size_t index;
    long long frame;
    int64_t pts;
    bool damaged;
    uint8_t stitched;  // the panorama's first byte
};

// Keeps what it is given. Sets `interrupted` while writing index `stopAt`;
// fails index `failAt` with `failure`, and finishes with `finishStatus`.
class FakeSink : public FrameSink {
public:
    explicit FakeSink(std::atomic<bool>& interrupted) : interrupted_(interrupted) {}
    long long stopAt = -1, failAt = -1;
    Status failure, finishStatus;
    std::vector<Written> written;
    int finished = 0;

    Status write(const FrameItem& item, size_t index) override {
        written.push_back({index, item.frame, item.pts, item.damaged, item.panorama.at(0)});
        if (static_cast<long long>(index) == stopAt) interrupted_ = true;
        if (static_cast<long long>(index) == failAt) return failure;
        return Status();
    }
    Status finish() override {
        ++finished;
        return finishStatus;
    }

private:
    std::atomic<bool>& interrupted_;
};

// A source, an engine and a sink to set up, then run through a pipeline.
struct Rig {
    FakeSource source;
    FakeEngine engine{source};
    std::atomic<bool> interrupted{false};
    FakeSink sink{interrupted};
    PipelineStats stats;
    int stitchedEvents = 0, endEvents = 0;

    // The pipeline's run (or, without `run`, a pipeline made and dropped).
    // A pipeline must never hang: one that is not done within half a minute ends
    // the test program with a failure rather than blocking it.
    Status run(bool run = true) {
        Status status;
        std::promise<void> done;
        std::future<void> ended = done.get_future();
        std::thread thread([&] {
            {
                Pipeline pipeline(source, interrupted);
                if (run) {
                    EngineSpec params;
                    params.size = 2;
                    PipelineEvents events;
                    events.frameDone = [&] { ++stitchedEvents; };
                    events.end = [&] { ++endEvents; };
                    status = pipeline.run(nullptr, engine, params, sink, events, stats);
                }
            }
            done.set_value();
        });
        if (ended.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            std::fprintf(stderr, "FAILED: %s: the pipeline hangs\n",
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
            std::_Exit(1);
        }
        thread.join();
        return status;
    }

    // The frames written are the first ones, in order, each with its own index.
    void expectInOrder(const std::string& name) const {
        for (size_t i = 0; i < sink.written.size(); ++i) {
            const Written& w = sink.written[i];
            EXPECT_EQ(w.index, i) << name;
            EXPECT_EQ(w.frame, kFirst + static_cast<long long>(i)) << name << ", index " << i;
            EXPECT_EQ(w.pts, static_cast<int64_t>(i) * 10) << name << ", index " << i;
            EXPECT_EQ(w.stitched, static_cast<uint8_t>(w.frame)) << name << ": another frame's panorama";
            EXPECT_EQ(w.damaged, source.damaged.count(w.frame) > 0) << name << ", frame " << w.frame;
        }
    }
};

TEST(Pipeline, FramesReachTheSinkInOrderWithTheirIndexAndDamage) {
    Rig rig;
    rig.source.count = 40;
    rig.source.damaged = {kFirst, kFirst + 9, kFirst + 10, kFirst + 39};
    Status st = rig.run();
    EXPECT_TRUE(st.ok()) << st.message();
    EXPECT_TRUE(rig.engine.readAhead) << "the source does not read ahead of the engine";
    ASSERT_EQ(rig.sink.written.size(), 40u);
    rig.expectInOrder("whole run");
    EXPECT_EQ(rig.sink.finished, 1);
    EXPECT_EQ(rig.stats.done, 40);
    EXPECT_EQ(rig.stitchedEvents, 40);
    EXPECT_EQ(rig.endEvents, 1);
}

// A pipeline that is never run, or is interrupted before or during its run,
// ends at once: nothing more is written and the sink is not finished.
TEST(Pipeline, AStopEndsTheRunWithoutAHang) {
    {
        Rig rig;
        rig.run(false);
        EXPECT_TRUE(rig.sink.written.empty());
        EXPECT_LT(rig.source.given(), rig.source.count);
    }
    for (long long stopAt : {-1LL, 0LL, 4LL}) {
        Rig rig;
        rig.interrupted = stopAt < 0;
        rig.sink.stopAt = stopAt;
        Status st = rig.run();
        const std::string name = "stop at " + std::to_string(stopAt);
        EXPECT_EQ(st.code(), kExitInterrupted) << name << ": " << st.message();
        EXPECT_EQ(st.message(), "interrupted") << name;
        EXPECT_EQ(rig.sink.written.size(), static_cast<size_t>(stopAt + 1)) << name;
        rig.expectInOrder(name);
        EXPECT_EQ(rig.sink.finished, 0) << name;
        EXPECT_EQ(rig.endEvents, 1) << name;
    }
}

// The first failure, wherever it happens, is the run's status; the other
// stages stop, and the sink is finished only when every frame went well.
TEST(Pipeline, TheFirstFailureStopsTheStagesAndIsTheRunsStatus) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> set;
        int code;
        std::string message;
    } cases[] = {
        {"source fails", [](Rig& r) {
             r.source.endAt = 3;
             r.source.failure = Status(kExitInput, "the clip went away");
         },
         kExitInput, "the clip went away"},
        {"source ends early", [](Rig& r) { r.source.endAt = 3; }, kExitFailed, "stopped after 3 of 1000 frames"},
        {"engine fails", [](Rig& r) { r.engine.failAt = 7; }, kExitFailed,
         "the fake engine failed on frame 12: the device went away"},
        {"engine runs out of memory", [](Rig& r) {
             r.engine.failAt = 7;
             r.engine.throws = true;
         }, kExitFailed,
         "out of resources: std::bad_alloc"},
        {"writer fails",
         [](Rig& r) {
             r.sink.failAt = 2;
             r.sink.failure = Status(kExitOutput, "cannot write out.mp4: disk full");
         },
         kExitOutput, "cannot write out.mp4: disk full"},
        {"sink cannot finish",
         [](Rig& r) {
             r.source.count = 5;
             r.sink.finishStatus = Status(kExitOutput, "cannot finish out.mp4");
         },
         kExitOutput, "cannot finish out.mp4"},
    };
    for (const Case& c : cases) {
        Rig rig;
        c.set(rig);
        Status st = rig.run();
        EXPECT_EQ(st.code(), c.code) << c.name << ": " << st.message();
        EXPECT_EQ(st.message(), c.message) << c.name;
        rig.expectInOrder(c.name);
        EXPECT_EQ(rig.endEvents, 1) << c.name;
        const bool finishes = rig.source.count == 5;
        EXPECT_EQ(rig.sink.finished, finishes ? 1 : 0) << c.name;
        if (!finishes) {
            EXPECT_LT(rig.source.given(), rig.source.count) << c.name << ": the source was not stopped";
            EXPECT_LT(rig.engine.calls, rig.source.count) << c.name << ": the engine was not stopped";
            EXPECT_LT(rig.sink.written.size(), static_cast<size_t>(rig.source.count)) << c.name;
        }
    }
}

}  // namespace
