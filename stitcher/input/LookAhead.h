// The frames a measure reads, spread over [1, last], decoded once in order
// for it: every frame it reads (the others passed over as a seek passes
// them), each exactly once, through a second session of the same file up to
// a key picture near the middle and the clip's own session from there on,
// side by side on threads of their own (the clip's session alone where there
// is one core or no key to split at). A picture is kept, in the decoder's
// planes, while the measure is still to read it, and let go once read.
//
// The stitch that follows decodes its frames again rather than have them
// kept here: all of a clip's start held at once is that much new memory,
// whose first touch (a page fault every 4 KiB, dear on virtual machines)
// costs more than decoding the pictures again, and it would be paid before
// the stitch starts, where the stitch's reader decodes on a thread of its own
// while the engine works.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Clip.h"
#include "FrameItem.h"

namespace stitcher {

class LookAhead {
public:
    // What a measure asks of it.
    struct Ask {
        std::vector<long long> measured;      // the frames the measure reads (each as often as it reads it)
        size_t budget = 0;                    // bytes the pictures may hold at most
        bool twoSessions = true;              // a second session may decode the first part
    };
    // Starts decoding where the pictures of the measured frames, all held
    // at once, stay within `budget` (counted from frame 1's planes), and
    // frame 1 decodes in the decoder's planes; else null, and the caller
    // reads as it would without. `interrupted` stops the decoding; the
    // frames not reached then cannot be read.
    static std::unique_ptr<LookAhead> start(Clip& clip, const Ask& ask, const std::atomic<bool>& interrupted);
    ~LookAhead();
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;

    // Measured frame `frame` as packed BGR into `bgr` (width * height * 3
    // bytes), once decoded; false where it cannot be decoded. Any thread.
    bool read(long long frame, uint8_t* bgr);
    // Waits for the decoding to end and closes the second session.
    void finish();
    // Bytes the pictures held now take.
    size_t heldBytes();

private:
    LookAhead(Clip& clip, const Ask& ask, const std::atomic<bool>& interrupted);
    // Thread `t`'s frames through `session`, in order.
    void decode(int t, Clip& session);
    void put(long long frame, std::shared_ptr<const SourcePicture> picture, size_t bytes);
    // Read by the measure (reads_ is fixed once started).
    bool wanted(long long frame) const { return reads_.count(frame) != 0; }

    struct Held {
        std::shared_ptr<const SourcePicture> picture;  // null: could not be decoded
        size_t bytes = 0;
        int reads = 0;  // measure's reads still to come
    };
    Clip& clip_;
    const Ask ask_;
    const std::atomic<bool>& interrupted_;
    std::atomic<bool> stop_{false};
    int width_ = 0, height_ = 0;
    std::unique_ptr<Clip> second_;
    std::mutex mutex_;
    std::condition_variable decoded_;
    std::map<long long, int> reads_;     // measured frames: how often the measure reads each
    std::map<long long, Held> held_;     // frames decoded and still to be read, or that failed
    long long done_[2] = {0, 0};         // per decoding thread: the last frame it has got to
    long long range_[2][2] = {{1, 0}, {1, 0}};  // per thread: its frames
    size_t bytes_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace stitcher
