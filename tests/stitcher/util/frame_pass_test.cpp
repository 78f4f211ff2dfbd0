// One pass over a source's frames: every frame in order on the caller's
// thread, and each way a pass ends (the source's failure, the consumer's,
// an interruption, memory running out on either side) returned as such,
// with the reading thread ended. And samples by number, an unreadable one
// handed on as damaged.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "FramePass.h"

using namespace stitcher;

namespace {

// Frames 1 .. count; at `failAt` (a frame number) it fails or throws.
class Counting : public FrameSource {
public:
    long long count = 50, failAt = 0;
    bool throws = false;
    std::thread::id readBy;

    bool ended() const override { return given_ == count; }
    Status next(FrameItem& item) override {
        readBy = std::this_thread::get_id();
        if (given_ + 1 == failAt) {
            if (throws) throw std::bad_alloc();
            return Status(kExitInput, "the clip went away");
        }
        item.frame = ++given_;
        item.picture.assign(8, static_cast<uint8_t>(item.frame));
        return Status();
    }
    long long total() const override { return count; }
    size_t pictureBytes() const override { return 8; }

private:
    long long given_ = 0;
};

TEST(FramePass, HandsEveryFrameInOrderAndEndsAsItsCauseSays) {
    struct Case {
        const char* name;
        long long failAt;    // the source's
        bool sourceThrows;
        long long stopAt;    // the consumer's: interrupts (-) or fails (+) there, or throws (stopAt + 1000)
        int code;
        const char* message;
        long long handed;
    } cases[] = {
        {"to the end", 0, false, 0, kExitOk, "", 50},
        {"source fails", 7, false, 0, kExitInput, "the clip went away", 6},
        {"source out of memory", 7, true, 0, kExitFailed, "out of resources: std::bad_alloc", 6},
        {"consumer fails", 0, false, 9, kExitOutput, "cannot keep it", 9},
        {"consumer out of memory", 0, false, 1009, kExitFailed, "out of resources: std::bad_alloc", 9},
        {"interrupted", 0, false, -9, kExitInterrupted, "interrupted", 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Counting source;
        source.failAt = c.failAt;
        source.throws = c.sourceThrows;
        std::atomic<bool> interrupted{false};
        std::vector<long long> seen;
        bool allHere = true;
        const Status st = walkFrames(source, interrupted, [&](FrameItem& item) {
            allHere = allHere && item.picture.size() == 8 && item.picture[7] == static_cast<uint8_t>(item.frame);
            seen.push_back(item.frame);
            const long long n = static_cast<long long>(seen.size());
            if (c.stopAt == n + 1000) throw std::bad_alloc();
            if (c.stopAt == n) return Status(kExitOutput, "cannot keep it");
            if (c.stopAt == -n) interrupted = true;
            return Status();
        });
        EXPECT_EQ(st.code(), c.code);
        EXPECT_EQ(st.message(), c.message);
        ASSERT_EQ(static_cast<long long>(seen.size()), c.handed);
        for (size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], static_cast<long long>(k) + 1);
        EXPECT_TRUE(allHere);
        EXPECT_NE(source.readBy, std::this_thread::get_id());  // decoded on a thread of its own
    }
}

TEST(FramePass, SamplesComeByNumberAndAnUnreadableOneAsDamaged) {
    SampledFrames samples({4, 9, 2}, 2, 1, [](long long number, uint8_t* bgr) {
        for (int i = 0; i < 6; ++i) bgr[i] = static_cast<uint8_t>(number);
        return number != 9;
    });
    std::atomic<bool> interrupted{false};
    std::vector<long long> frames, damaged;
    const Status st = walkFrames(samples, interrupted, [&](FrameItem& item) {
        (item.damaged ? damaged : frames).push_back(item.frame);
        if (!item.damaged) {
            EXPECT_EQ(item.picture[5], item.frame);
        }
        return Status();
    });
    EXPECT_TRUE(st.ok());
    EXPECT_EQ(frames, (std::vector<long long>{4, 2}));
    EXPECT_EQ(damaged, (std::vector<long long>{9}));
}

}  // namespace
