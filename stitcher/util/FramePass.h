// One pass over a frame source's frames, decoded on a thread of their own
// while the caller works on them, as every walk over a clip does it: the
// stitch's pipeline, the motion analysis, the plan's measuring and the
// samples of the fall-off and the calibration refinement. A pass stops on
// the source's failure, on interruption, or on its consumer's failure; a
// stage that runs out of memory fails it with "out of resources: ...".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "FrameItem.h"
#include "FrameSource.h"
#include "Status.h"

namespace stitcher {

// The reader's side of a pass, on the calling thread: takes an item from
// `take` (null: stop), fills it from `source` and hands it to `put`
// (false: stop), until the source ends. Fails with the source's status,
// kExitInterrupted when `interrupted` turns true, or kExitFailed "out of
// resources: ..." when memory runs out.
Status readFrames(FrameSource& source, const std::atomic<bool>& interrupted,
                  const std::function<std::unique_ptr<FrameItem>()>& take,
                  const std::function<bool(std::unique_ptr<FrameItem>)>& put);

// A whole pass: the frames are decoded on a thread of their own into
// `items` buffers that go round, and handed in order to `each` on the
// calling thread; a failure of `each` ends the pass with it. Returns once
// the reading thread has ended; ok after the source's last frame.
Status walkFrames(FrameSource& source, const std::atomic<bool>& interrupted,
                  const std::function<Status(FrameItem&)>& each, int items = 3);

// Frames picked from a clip by number, read one by one through `read`
// (random access, in the order given): the samples that the fall-off and
// the calibration refinement are measured on. A frame that cannot be read
// comes as damaged, its picture left as it was, and the pass goes on.
class SampledFrames : public FrameSource {
public:
    // Decodes frame `number` into `bgr` (width * height * 3 bytes); false
    // where it cannot.
    using Read = std::function<bool(long long number, uint8_t* bgr)>;
    SampledFrames(std::vector<long long> numbers, int width, int height, Read read);
    bool next(FrameItem& item) override;
    const Status& status() const override { return status_; }
    long long total() const override { return static_cast<long long>(numbers_.size()); }
    size_t pictureBytes() const override { return bytes_; }

private:
    std::vector<long long> numbers_;
    size_t bytes_;
    Read read_;
    size_t at_ = 0;
    Status status_;
};

// "out of resources: <what>", the failure of a stage that ran out of memory.
Status outOfResources(const std::exception& e);

}  // namespace stitcher
