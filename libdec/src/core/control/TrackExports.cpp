// The tracks block of the internal interface.
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

int GetVideoLook(void* handle, VideoLook& out) {
    out = VideoLook();
    if (handle == nullptr) return 1;
    try {
        CControl* session = static_cast<CControl*>(handle);
        const CMp4Read* reader = session->m_pMp4Read;
        const mp4::Track* v = reader ? reader->VideoTrack() : nullptr;
        if (v == nullptr || session->m_pH264Dec == nullptr) return 1;
        out.containerColour = v->hasColour;
        if (v->hasColour) {
            out.containerMatrix = v->colourMatrix;
            out.containerFullRange = v->colourFullRange;
        }
        out.displayRotation = v->displayRotation;
        out.projection = v->projection;
        int matrix = 0, full = 0, matrixFrom = 0, rangeFrom = 0;
        if (!session->m_pH264Dec->LastColour(matrix, full, matrixFrom, rangeFrom)) {
            unsigned char* picture = nullptr;
            session->GetVideoFrame(1, picture);
        }
        if (session->m_pH264Dec->LastColour(matrix, full, matrixFrom, rangeFrom)) {
            out.colourKnown = true;
            out.matrix = matrix;
            out.fullRange = full != 0;
            out.matrixFrom = static_cast<ColourSource>(matrixFrom);
            out.rangeFrom = static_cast<ColourSource>(rangeFrom);
        }
        return 0;
    } catch (...) {
        out = VideoLook();
        return 1;
    }
}

}  // namespace libdec
