// The tracks block of the internal interface.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "control/CControl.h"
#include "h264dec/CH264Dec.h"
#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"
#include "mp4read/CMp4Read.h"

namespace libdec {

int GetClipTracks(void* handle, ClipTracks& out) {
    out = ClipTracks();
    if (handle == nullptr) return 1;
    try {
        const CControl* session = static_cast<const CControl*>(handle);
        const CMp4Read* reader = session->m_pMp4Read;
        if (reader == nullptr || !reader->m_hFile) return 1;
        for (const mp4::Track& t : reader->m_hFile->tracks()) {
            ClipTrack c;
            c.id = t.id;
            c.handler = t.handler;
            c.sampleEntry = t.sampleEntry;
            c.objectType = t.hasEsds ? t.objectType : 0;
            c.enabled = t.enabled;
            c.width = t.width;
            c.height = t.height;
            out.tracks.push_back(c);
        }
        out.video = reader->m_videoTrackId;
        out.sound = reader->m_soundTrackId;
        out.soundDecoded = session->m_mediaInfo.hasAudio == 1 && reader->m_audioTrackId == reader->m_soundTrackId;
        out.calibration = reader->m_calibrationTrackId;
        return 0;
    } catch (...) {
        out = ClipTracks();
        return 1;
    }
}

int GetStoredTrack(void* handle, unsigned int id, long long from, long long to, uint32_t timescale, size_t maxBytes,
                   StoredTrack& out) {
    out = StoredTrack();
    if (handle == nullptr) return 1;
    try {
        const CControl* session = static_cast<const CControl*>(handle);
        const CMp4Read* reader = session->m_pMp4Read;
        if (reader == nullptr || !reader->m_hFile) return 1;
        const mp4::File& file = *reader->m_hFile;
        const mp4::Track* t = file.trackById(id);
        if (t == nullptr || t->timescale == 0 || timescale == 0) return 1;
        // The stretch in the track's units.
        auto inTrack = [&](long long v) {
            const __int128 x = static_cast<__int128>(v) * t->timescale / timescale;
            return static_cast<long long>(std::max<__int128>(std::min<__int128>(x, INT64_MAX), INT64_MIN));
        };
        from = inTrack(from);
        to = inTrack(to);
        out.handler = t->handler;
        out.sampleEntry = t->sampleEntryBox;
        out.timescale = t->timescale;
        const mp4::Presentation shown = mp4::presentTrack(*t, file.movieTimescale());
        size_t bytes = 0;
        for (size_t k = 0; k < shown.samples.size(); ++k) {
            const mp4::ShownSample& s = shown.samples[k];
            if (s.time < from || s.time >= to) continue;
            const mp4::Sample& stored = t->samples[s.index];
            if (stored.size > maxBytes - bytes) return out = StoredTrack(), 1;
            bytes += stored.size;
            StoredSample o;
            o.time = s.time;
            o.duration = (k + 1 < shown.samples.size() ? shown.samples[k + 1].time : shown.end) - s.time;
            o.data.resize(stored.size);
            uint32_t got = 0;
            if (!file.readSample(id, s.index + 1, o.data.data(), stored.size, got) || got != stored.size)
                return out = StoredTrack(), 1;
            out.samples.push_back(std::move(o));
        }
        return 0;
    } catch (...) {
        out = StoredTrack();
        return 1;
    }
}

int GetVideoLook(void* handle, VideoLook& out, bool colors) {
    out = VideoLook();
    if (handle == nullptr) return 1;
    try {
        CControl* session = static_cast<CControl*>(handle);
        const CMp4Read* reader = session->m_pMp4Read;
        const mp4::Track* v = reader ? reader->VideoTrack() : nullptr;
        if (v == nullptr || session->m_pH264Dec == nullptr) return 1;
        out.containerColor = v->hasColor;
        if (v->hasColor) {
            out.containerMatrix = v->colorMatrix;
            out.containerFullRange = v->colorFullRange;
        }
        out.displayRotation = v->displayRotation;
        out.projection = v->projection;
        if (!colors) return 0;
        int matrix = 0, full = 0, matrixFrom = 0, rangeFrom = 0;
        if (!session->m_pH264Dec->LastColor(matrix, full, matrixFrom, rangeFrom)) {
            unsigned char* picture = nullptr;
            session->GetVideoFrame(1, picture);
        }
        if (session->m_pH264Dec->LastColor(matrix, full, matrixFrom, rangeFrom)) {
            out.colorKnown = true;
            out.matrix = matrix;
            out.fullRange = full != 0;
            out.matrixFrom = static_cast<ColorSource>(matrixFrom);
            out.rangeFrom = static_cast<ColorSource>(rangeFrom);
        }
        return 0;
    } catch (...) {
        out = VideoLook();
        return 1;
    }
}

}  // namespace libdec
