// The tracks block of the internal interface.
#include <cstring>

#include "control/CControl.h"
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

}  // namespace libdec
