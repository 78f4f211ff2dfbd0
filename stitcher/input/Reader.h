// The reader stage: each frame of the job, decoded from the clip session,
// with exactly the sound that plays during it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Clip.h"
#include "FrameItem.h"
#include "FrameSource.h"
#include "FrameTime.h"
#include "HugePages.h"
#include "Status.h"
#include "Warn.h"

namespace stitcher {

// Sound of the clip by sample position. Reads its source in runs of whole
// AAC frames that continue one another, and gives any span exactly; before
// the track's start (negative positions), past its end and after a read
// failure it gives silence.
class AudioSpans {
public:
    // Interleaved PCM of `frames` AAC frames (1024 samples each) from sample
    // `start` (a multiple of 1024), valid until the next call; null on failure.
    using Source = std::function<const int16_t*(int64_t start, int64_t frames)>;
    // `trackSamples` per channel; `rate` only words the warning on a failure,
    // which goes to `warn`.
    AudioSpans(Source source, int channels, int64_t trackSamples, int rate, Warn warn = Warn());
    // Replaces `out` with samples [from, to) per channel, interleaved.
    void read(int64_t from, int64_t to, std::vector<int16_t>& out);

private:
    Source source_;
    const int channels_;
    const int64_t trackSamples_;  // in whole AAC frames
    const int rate_;
    const Warn warn_;
    std::vector<int16_t> buffer_; // samples [bufStart_, bufEnd_) from index head_ on
    size_t head_ = 0;
    int64_t bufStart_ = 0, bufEnd_ = 0;
    bool broken_ = false;
};

// The frames a reader gives and the sound it gives with them.
struct ReadSpec {
    long long first = 1, count = 0;  // clip frames first .. first + count - 1
    Rational fps;
    bool audio = false;              // each frame carries the sound that plays during it
    int audioRate = 0, audioChannels = 0;
    bool pictures = true;            // false: nothing is decoded, the items carry times and sound only
    // The items' pictures left in the decoder's planes where it can
    // (FrameItem::source), for the engine to unpack; else packed BGR.
    bool sourcePictures = false;
};

class Reader : public FrameSource {
public:
    // Warnings (the frames that cannot be decoded, sound that cannot be read)
    // go to `warn` as they happen, on the reader's thread.
    Reader(Clip& clip, const ReadSpec& job, Warn warn);
    // The next frame of the job into `item` (its buffers are resized as
    // needed). A frame that cannot be decoded gets the last good picture
    // before it (the first good one for frames at the start), with a warning.
    // Fails when no frame of the job decodes.
    Status next(FrameItem& item) override;
    bool ended() const override { return nextFrame_ >= job_.first + job_.count; }
    long long total() const override { return job_.count; }
    size_t pictureBytes() const override { return pictureBytes_; }
    // The frames that could not be decoded, in order.
    const std::vector<long long>& damagedFrames() const { return damaged_; }
    // Units per second of the items' pts and duration (never 0).
    int timescale() const { return timescale_; }

private:
    // Frame `f` into `bgr` or, where the job keeps sources and the decoder
    // gives one, `source`.
    Status read(long long f, uint8_t* bgr, std::shared_ptr<const SourcePicture>& source);
    // The last good picture into `item`.
    void copyLastGood(FrameItem& item) const;
    // Decodes ahead from `from` to the first frame that decodes, into lastGood_.
    Status findFirstGood(long long from);
    // The time of frame `frame` (from 1; one past the last: its end) in the
    // output's units, from the job's first frame.
    int64_t outputTime(long long frame) const;
    // The sound's sample position that plays at the clip's time `t`.
    int64_t soundAt(long long t) const;

    Clip& clip_;
    const ReadSpec job_;
    const Warn warn_;
    const size_t pictureBytes_;
    long long nextFrame_;
    long long firstGood_ = 0;  // 0: not found yet
    long long lastGoodFrame_ = 0;
    long long heldFrame_ = 0;  // the frame whose picture lastGood_ holds
    HugePageVector<uint8_t> lastGood_;
    std::shared_ptr<const SourcePicture> lastGoodSource_;  // where set, the last good picture instead of lastGood_
    std::vector<long long> damaged_;
    AudioSpans audio_;
    int timescale_ = 1;
    int64_t soundEnd_ = 0;  // the sound is silent from this position on
};

}  // namespace stitcher
