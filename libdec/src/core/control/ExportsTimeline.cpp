// The clip's presentation timeline for the host (libdec_internal.h).
#include <limits>

#include "control/CControl.h"
#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"
#include "log/MyLog.h"
#include "mp4read/CMp4Read.h"

namespace {

// `v` units of timescale `from` in units of timescale `to`, rounded to the
// nearest and held within the range of long long.
long long rescale(long long v, uint32_t from, uint32_t to) {
    if (from == 0) return 0;
    __int128 x = static_cast<__int128>(v) * to;
    x = x >= 0 ? (x + from / 2) / from : -((-x + from / 2) / from);
    const __int128 hi = std::numeric_limits<long long>::max(), lo = std::numeric_limits<long long>::min();
    return static_cast<long long>(x > hi ? hi : x < lo ? lo : x);
}

}  // namespace

bool libdec::GetPresentationTimeline(void* handle, PresentationTimeline& out) {
    if (handle == nullptr) return false;
    try {
        const CControl* session = static_cast<const CControl*>(handle);
        const CMp4Read* reader = session->m_pMp4Read;
        const mp4::Track* video = reader ? reader->VideoTrack() : nullptr;
        if (!video || !reader->m_hFile) return false;
        const uint32_t movieTimescale = reader->m_hFile->movieTimescale();
        const uint32_t ts = video->timescale;

        PresentationTimeline t;
        const mp4::Presentation shown = mp4::presentTrack(*video, movieTimescale);
        t.timescale = ts;
        t.frames.reserve(shown.samples.size());
        for (const mp4::ShownSample& s : shown.samples) {
            ShownFrame f;
            const unsigned int display = reader->FrameOfSample(s.index + 1);
            f.frame = display != 0 ? display : static_cast<long long>(s.index) + 1;
            f.time = ts != 0 ? s.time : static_cast<long long>(t.frames.size());
            t.frames.push_back(f);
        }
        t.end = ts != 0 ? shown.end : static_cast<long long>(t.frames.size());

        const mp4::Track* audio = reader->AudioTrack();
        if (session->m_mediaInfo.hasAudio == 1 && audio) {
            t.hasAudio = true;
            int64_t start = 0, length = -1;
            mp4::firstEdit(*audio, movieTimescale, start, length);
            t.audioStart = rescale(start, audio->timescale, ts);
            t.audioEnd = length < 0 ? -1 : rescale(start + length, audio->timescale, ts);
        }
        LOGI("timeline: %u of %u pictures shown, from %lld to %lld of %u per second; sound from %lld to %lld",
             static_cast<unsigned int>(t.frames.size()), reader->m_videoSampleCount,
             t.frames.empty() ? 0LL : t.frames.front().time, t.end, ts, t.audioStart, t.audioEnd);
        out = std::move(t);
        return true;
    } catch (...) {
        LOGE("the clip's timeline cannot be built");
        return false;
    }
}
