// Where the pipeline's frames come from: the reader of a clip, or a test's own.
#pragma once

#include <cstddef>

#include "FrameItem.h"
#include "Status.h"

namespace stitcher {

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // True once every frame has been given.
    virtual bool ended() const = 0;
    // The next frame into `item` (its buffers are resized as needed, its
    // fields all set); asked only while !ended(), and not after a failure.
    virtual Status next(FrameItem& item) = 0;
    // The frames a full run gives.
    virtual long long total() const = 0;
    // Bytes of one decoded picture: how many frames the pipeline keeps in
    // flight depends on it.
    virtual size_t pictureBytes() const = 0;
};

}  // namespace stitcher
