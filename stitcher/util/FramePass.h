// One pass over a frame source's frames, decoded on a thread of their own
// while the caller works on them, as every walk over a clip does it: the
// stitch's pipeline, the motion analysis, the plan's measuring and the
// samples of the fall-off and the calibration refinement. A pass stops on
// the source's failure, on interruption, or on its consumer's failure; a
// stage that runs out of memory fails it with "out of resources: ...".
#pragma once

#include <atomic>
#include <functional>
#include <memory>

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

// "out of resources: <what>", the failure of a stage that ran out of memory.
Status outOfResources(const std::exception& e);

}  // namespace stitcher
