#include "LookAhead.h"

#include <algorithm>
#include <exception>

namespace stitcher {

LookAhead::LookAhead(Clip& clip, const Ask& ask, const std::atomic<bool>& interrupted)
    : clip_(clip), ask_(ask), interrupted_(interrupted) {}

LookAhead::~LookAhead() {
    stop_ = true;
    finish();
}

std::unique_ptr<LookAhead> LookAhead::start(Clip& clip, const Ask& ask, const std::atomic<bool>& interrupted) {
    if (ask.measured.empty()) return nullptr;
    const long long last = *std::max_element(ask.measured.begin(), ask.measured.end());
    const long long frames = static_cast<long long>(clip.info().frames);
    if (last < 1 || last > frames || *std::min_element(ask.measured.begin(), ask.measured.end()) < 1) return nullptr;
    std::unique_ptr<LookAhead> ahead(new LookAhead(clip, ask, interrupted));
    LookAhead& a = *ahead;
    a.width_ = static_cast<int>(clip.info().width);
    a.height_ = static_cast<int>(clip.info().height);
    for (const long long f : ask.measured) ++a.reads_[f];
    // The second session takes frames 1 up to the key picture that shares
    // them most evenly between the two.
    long long split = 0;
    if (ask.twoSessions && last >= 4) {
        long long best = last;
        for (long long f = 3; f <= last; ++f) {
            const long long key = clip.keyFrameBefore(f);
            if (key != f) continue;
            const long long most = std::max(key - 1, last - key + 1);
            if (most < best) best = most, split = key;
        }
        if (split && !clip.openAgain(a.second_).ok()) split = 0;
    }
    // Frame 1's planes tell what each picture holds; it is read through
    // the session that goes on from it (a forward read within a group of
    // pictures decodes on rather than seeking, so the clip's session must
    // not read it where it starts at the split).
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[static_cast<size_t>(a.width_) * a.height_ * 3]);
    std::shared_ptr<const SourcePicture> first;
    size_t bytes = 0;
    size_t wanted = 0;
    for (long long f = 1; f <= last; ++f) wanted += a.wanted(f);
    if (!(split ? *a.second_ : clip).readSource(1, first, scratch.get(), &bytes).ok() || !first || bytes == 0 ||
        bytes > ask.budget / std::max<size_t>(1, wanted))
        return nullptr;
    a.put(1, first, bytes);
    a.range_[0][0] = 2, a.range_[0][1] = split ? split - 1 : 1;
    a.range_[1][0] = split ? split : 2, a.range_[1][1] = last;
    a.done_[0] = a.range_[0][0] - 1, a.done_[1] = a.range_[1][0] - 1;
    try {
        for (int t = 0; t < 2; ++t) {
            if (a.range_[t][0] > a.range_[t][1]) continue;
            a.threads_.emplace_back([&a, t] { a.decode(t, t == 0 ? *a.second_ : a.clip_); });
        }
    } catch (const std::exception&) {
        return nullptr;  // the destructor stops and joins what started
    }
    return ahead;
}

void LookAhead::decode(int t, Clip& session) {
    std::unique_ptr<uint8_t[]> scratch;
    const long long to = range_[t][1];
    try {
        scratch.reset(new uint8_t[static_cast<size_t>(width_) * height_ * 3]);
        for (long long f = range_[t][0]; f <= to && !interrupted_ && !stop_; ++f) {
            // The others are passed over as a seek passes them.
            if (!wanted(f)) continue;
            std::shared_ptr<const SourcePicture> picture;
            size_t bytes = 0;
            // A picture that comes packed (another layout) is not kept: the
            // measure has it as damaged.
            if (!session.readSource(f, picture, scratch.get(), &bytes).ok()) picture.reset();
            put(f, picture, bytes);
        }
    } catch (const std::exception&) {
    }
    // The frames not reached cannot be read: nobody waits for them.
    std::lock_guard<std::mutex> lock(mutex_);
    done_[t] = to;
    decoded_.notify_all();
}

void LookAhead::put(long long frame, std::shared_ptr<const SourcePicture> picture, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto r = reads_.find(frame);
    const int reads = r == reads_.end() ? 0 : r->second;
    if (reads > 0) {
        Held& h = held_[frame];
        h.picture = picture ? std::move(picture) : nullptr;
        h.bytes = h.picture ? bytes : 0;
        h.reads = reads;
        bytes_ += h.bytes;
    }
    for (int t = 0; t < 2; ++t)
        if (frame >= range_[t][0] && frame <= range_[t][1]) done_[t] = frame;
    decoded_.notify_all();
}

bool LookAhead::read(long long frame, uint8_t* bgr) {
    std::shared_ptr<const SourcePicture> picture;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (frame != 1) {
            const int t = frame >= range_[0][0] && frame <= range_[0][1] ? 0 : 1;
            if (frame < range_[t][0] || frame > range_[t][1]) return false;
            decoded_.wait(lock, [&] { return done_[t] >= frame; });
        }
        const auto h = held_.find(frame);
        if (h == held_.end()) return false;
        picture = h->second.picture;
        if (--h->second.reads <= 0) {
            bytes_ -= h->second.bytes;
            held_.erase(h);
        }
    }
    return picture && picture->toPacked(bgr);
}

void LookAhead::finish() {
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    second_.reset();
}

size_t LookAhead::heldBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

}  // namespace stitcher
