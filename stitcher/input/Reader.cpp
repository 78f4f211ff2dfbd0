#include "Reader.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace stitcher {

namespace {
const int64_t kAacFrame = 1024;
const int64_t kRunFrames = 32;  // AAC frames read at once

// Tells `warn`, where there is one, the printf-style message.
void warnf(const Warn& warn, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void warnf(const Warn& warn, const char* fmt, ...) {
    if (!warn) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    warn(text);
}

// v * mul / div rounded to the nearest (halves up), for div > 0, held within int64_t.
int64_t scaleRound(int64_t v, int64_t mul, int64_t div) {
    __int128 x = static_cast<__int128>(v) * mul * 2 + div;
    __int128 d = static_cast<__int128>(div) * 2;
    __int128 q = x / d - ((x % d != 0) && (x < 0) ? 1 : 0);  // floor
    const __int128 hi = std::numeric_limits<int64_t>::max(), lo = std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(q > hi ? hi : q < lo ? lo : q);
}
}  // namespace

AudioSpans::AudioSpans(Source source, int channels, int64_t trackSamples, int rate, Warn warn)
    : source_(std::move(source)),
      channels_(channels),
      trackSamples_(std::max<int64_t>(0, trackSamples) / kAacFrame * kAacFrame),
      rate_(rate),
      warn_(std::move(warn)) {}

void AudioSpans::read(int64_t from, int64_t to, std::vector<int16_t>& out) {
    out.assign(static_cast<size_t>(std::max<int64_t>(0, to - from)) * channels_, 0);
    if (to <= from) return;
    if (from < 0) {
        // Silence before the track starts, then the track.
        if (to <= 0) return;
        std::vector<int16_t> track;
        read(0, to, track);
        std::copy(track.begin(), track.end(), out.begin() + static_cast<std::ptrdiff_t>(-from * channels_));
        return;
    }
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
            warnf(warn_, "the clip's audio cannot be read from %.3f s on; the rest is silent",
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

Reader::Reader(Clip& clip, const ReadSpec& job, Warn warn)
    : clip_(clip),
      job_(job),
      warn_(std::move(warn)),
      pictureBytes_(static_cast<size_t>(clip.info().width) * clip.info().height * 3),
      nextFrame_(job.first),
      audio_([&clip](int64_t start, int64_t frames) { return clip.readAudio(start, frames); },
             job.audio ? job.audioChannels : 1, clip.info().samples, job.audioRate, warn_) {
    // The clip's own time base, unless it is too fine for the encoder.
    const uint32_t ts = clip.timescale();
    timescale_ = ts == 0 ? 1 : ts <= static_cast<uint32_t>(INT_MAX) ? static_cast<int>(ts) : 90000;
    soundEnd_ = clip.audioEnd() < 0 ? std::numeric_limits<int64_t>::max() : soundAt(clip.audioEnd());
}

int64_t Reader::outputTime(long long frame) const {
    const long long t = clip_.frameTime(frame) - clip_.frameTime(job_.first);
    const uint32_t ts = clip_.timescale();
    return ts == 0 || static_cast<int64_t>(ts) == timescale_ ? t : scaleRound(t, timescale_, ts);
}

int64_t Reader::soundAt(long long t) const {
    const uint32_t ts = clip_.timescale();
    if (ts == 0) return 0;
    return scaleRound(t - clip_.audioStart(), job_.audioRate, ts);
}

Status Reader::read(long long f, uint8_t* bgr, std::shared_ptr<const SourcePicture>& source) {
    if (job_.sourcePictures) return clip_.readSource(f, source, bgr);
    source.reset();
    return clip_.readFrame(f, bgr);
}

void Reader::copyLastGood(FrameItem& item) const {
    item.source = lastGoodSource_;
    if (!lastGoodSource_) std::memcpy(item.picture.data(), lastGood_.data(), pictureBytes_);
}

// The frames before the one found are damaged.
Status Reader::findFirstGood(long long from) {
    lastGood_.resize(pictureBytes_);
    for (long long f = from; f < job_.first + job_.count; ++f) {
        if (read(f, lastGood_.data(), lastGoodSource_).ok()) {
            firstGood_ = lastGoodFrame_ = heldFrame_ = f;
            return Status();
        }
    }
    return Status(kExitFailed, "no frame of " + clip_.path() + " from " + std::to_string(job_.first) + " to " +
                                   std::to_string(job_.first + job_.count - 1) + " can be decoded");
}

Status Reader::next(FrameItem& item) {
    if (ended()) return Status(kExitFailed, "no frame after the last of " + clip_.path());
    const long long f = nextFrame_++;
    item.frame = f;
    item.damaged = false;
    item.source.reset();
    if (job_.pictures) item.picture.resize(pictureBytes_);
    if (!job_.pictures) {
        // Times and sound only.
    } else if (!firstGood_) {
        // Where the job's first frame decodes, as it mostly does, no picture
        // is held for frames that do not.
        if (read(f, item.picture.data(), item.source).ok()) {
            firstGood_ = lastGoodFrame_ = f;
        } else {
            Status found = findFirstGood(f + 1);
            if (!found.ok()) return found;
            item.damaged = true;
        }
    } else if (f == firstGood_) {
        copyLastGood(item);
    } else if (f > firstGood_ && read(f, item.picture.data(), item.source).ok()) {
        lastGoodFrame_ = f;
    } else {
        item.damaged = true;
    }
    if (item.damaged) {
        // Good pictures are not kept (that would copy every frame): the
        // last one is decoded again, once for a run of damaged frames.
        if (heldFrame_ != lastGoodFrame_) {
            lastGood_.resize(pictureBytes_);
            if (read(lastGoodFrame_, lastGood_.data(), lastGoodSource_).ok()) {
                heldFrame_ = lastGoodFrame_;
            } else if (heldFrame_) {
                lastGoodFrame_ = heldFrame_;  // cannot happen with a sound decoder; the held picture stands in
            } else {
                return Status(kExitFailed, "frame " + std::to_string(lastGoodFrame_) + " of " + clip_.path() +
                                               " decoded once but not again");
            }
        }
        copyLastGood(item);
        damaged_.push_back(f);
        // A badly damaged clip would bury everything else in warnings.
        const size_t kNamed = 10;
        if (damaged_.size() <= kNamed)
            warnf(warn_, "frame %lld cannot be decoded; the picture of frame %lld stands in for it", f, lastGoodFrame_);
        if (damaged_.size() == kNamed)
            warnf(warn_, "further frames that cannot be decoded are named only in the summary");
    }
    item.pts = outputTime(f);
    item.duration = outputTime(f + 1) - item.pts;
    if (job_.audio) {
        // The sound that plays while the frame shows, by the frames' times.
        const int64_t from = soundAt(clip_.frameTime(f));
        const int64_t to = soundAt(clip_.frameTime(f + 1));
        audio_.read(from, to, item.audio);
        if (to > soundEnd_) {
            const int64_t silentFrom = std::max(from, soundEnd_) - from;
            std::fill(item.audio.begin() + static_cast<std::ptrdiff_t>(silentFrom * job_.audioChannels), item.audio.end(), 0);
        }
        item.audioSamples = static_cast<int>(to - from);
    } else {
        item.audio.clear();
        item.audioSamples = 0;
    }
    return Status();
}

}  // namespace stitcher
