#include "Reader.h"

#include <algorithm>
#include <cstring>

#include "Console.h"

namespace stitcher {

namespace {
const int64_t kAacFrame = 1024;
const int64_t kRunFrames = 32;  // AAC frames read at once
}  // namespace

AudioSpans::AudioSpans(Source source, int channels, int64_t trackSamples, int rate)
    : source_(std::move(source)),
      channels_(channels),
      trackSamples_(std::max<int64_t>(0, trackSamples) / kAacFrame * kAacFrame),
      rate_(rate) {}

void AudioSpans::read(int64_t from, int64_t to, std::vector<int16_t>& out) {
    out.assign(static_cast<size_t>(std::max<int64_t>(0, to - from)) * channels_, 0);
    if (to <= from) return;
    if (from < bufStart_ || from > bufEnd_) {
        // Not where the last span ended: start a new run at the AAC frame that holds `from`.
        buffer_.clear();
        head_ = 0;
        bufStart_ = bufEnd_ = from / kAacFrame * kAacFrame;
    }
    while (bufEnd_ < to && bufEnd_ < trackSamples_ && !broken_) {
        int64_t frames = std::min(kRunFrames, (trackSamples_ - bufEnd_) / kAacFrame);
        const int16_t* pcm = source_(bufEnd_, frames);
        if (!pcm) {
            console::warn("the clip's audio cannot be read from %.3f s on; the rest is silent",
                          rate_ > 0 ? static_cast<double>(bufEnd_) / rate_ : 0.0);
            broken_ = true;
            break;
        }
        buffer_.insert(buffer_.end(), pcm, pcm + frames * kAacFrame * channels_);
        bufEnd_ += frames * kAacFrame;
    }
    const int64_t have = std::min(to, bufEnd_) - from;
    if (have > 0) {
        const int16_t* src = buffer_.data() + head_ + (from - bufStart_) * channels_;
        std::copy(src, src + have * channels_, out.begin());
    }
    // What is before `to` is not asked for again in a continuing run.
    const int64_t drop = std::min(to, bufEnd_) - bufStart_;
    if (drop > 0) {
        head_ += static_cast<size_t>(drop) * channels_;
        bufStart_ += drop;
    }
    if (head_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

Reader::Reader(Clip& clip, const Job& job)
    : clip_(clip),
      job_(job),
      pictureBytes_(static_cast<size_t>(clip.info().width) * clip.info().height * 3),
      nextFrame_(job.first),
      audio_([&clip](int64_t start, int64_t frames) { return clip.readAudio(start, frames); },
             job.audio ? job.audioChannels : 1, clip.info().samples, job.audioRate) {}

// Decodes ahead from `from` to the first frame that decodes; the frames
// before it are damaged.
bool Reader::findFirstGood(long long from) {
    lastGood_.resize(pictureBytes_);
    for (long long f = from; f < job_.first + job_.count; ++f) {
        if (clip_.readFrame(f, lastGood_.data())) {
            firstGood_ = lastGoodFrame_ = heldFrame_ = f;
            return true;
        }
    }
    status_ = Status(kExitFailed, "no frame of " + clip_.path() + " from " + std::to_string(job_.first) + " to " +
                                      std::to_string(job_.first + job_.count - 1) + " can be decoded");
    return false;
}

bool Reader::next(FrameItem& item) {
    if (nextFrame_ >= job_.first + job_.count || !status_.ok()) return false;
    const long long f = nextFrame_++;
    item.frame = f;
    item.picture.resize(pictureBytes_);
    item.damaged = false;
    if (!firstGood_) {
        // Where the job's first frame decodes, as it mostly does, no picture
        // is held for frames that do not.
        if (clip_.readFrame(f, item.picture.data()))
            firstGood_ = lastGoodFrame_ = f;
        else if (!findFirstGood(f + 1))
            return false;
        else
            item.damaged = true;
    } else if (f == firstGood_) {
        std::memcpy(item.picture.data(), lastGood_.data(), pictureBytes_);
    } else if (f > firstGood_ && clip_.readFrame(f, item.picture.data())) {
        lastGoodFrame_ = f;
    } else {
        item.damaged = true;
    }
    if (item.damaged) {
        // Good pictures are not kept (that would copy every frame): the
        // last one is decoded again, once for a run of damaged frames.
        if (heldFrame_ != lastGoodFrame_) {
            lastGood_.resize(pictureBytes_);
            if (clip_.readFrame(lastGoodFrame_, lastGood_.data())) {
                heldFrame_ = lastGoodFrame_;
            } else if (heldFrame_) {
                lastGoodFrame_ = heldFrame_;  // cannot happen with a sound decoder; the held picture stands in
            } else {
                status_ = Status(kExitFailed, "frame " + std::to_string(lastGoodFrame_) + " of " + clip_.path() +
                                                  " decoded once but not again");
                return false;
            }
        }
        std::memcpy(item.picture.data(), lastGood_.data(), pictureBytes_);
        damaged_.push_back(f);
        // A badly damaged clip would bury everything else in warnings.
        const size_t kNamed = 10;
        if (damaged_.size() <= kNamed)
            console::warn("frame %lld cannot be decoded; the picture of frame %lld stands in for it", f, lastGoodFrame_);
        if (damaged_.size() == kNamed)
            console::warn("further frames that cannot be decoded are named only in the summary");
    }
    if (job_.audio) {
        const int64_t from = audioPosition(f, job_.fps, job_.audioRate);
        const int64_t to = audioPosition(f + 1, job_.fps, job_.audioRate);
        audio_.read(from, to, item.audio);
        item.audioSamples = static_cast<int>(to - from);
    } else {
        item.audio.clear();
        item.audioSamples = 0;
    }
    return true;
}

}  // namespace stitcher
