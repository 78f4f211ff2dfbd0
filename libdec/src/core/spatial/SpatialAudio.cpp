// The spatial audio box of a clip's audio sample entry.
#include <cstring>

#include "control/CControl.h"
#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"
#include "mp4read/CMp4Read.h"

namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Fixed part of an SA3D box after its header: version, ambisonic type,
// order (32 bits), channel ordering, normalisation, channel count (32 bits).
const size_t kSa3dFixed = 8 + 1 + 1 + 4 + 1 + 1 + 4;

bool WellFormed(const uint8_t* box, size_t size) {
    if (size < kSa3dFixed || box[8] != 0) return false;
    const uint32_t channels = Be32(box + 16);
    if (channels == 0 || channels > 64 || size != kSa3dFixed + 4ull * channels) return false;
    for (uint32_t i = 0; i < channels; ++i)
        if (Be32(box + kSa3dFixed + 4 * i) >= channels) return false;
    return true;
}

}  // namespace

namespace libdec {

bool AudioSpatialBox(void* handle, std::vector<uint8_t>& box) {
    try {
        box.clear();
        CControl* session = static_cast<CControl*>(handle);
        const mp4::Track* t = session && session->m_pMp4Read ? session->m_pMp4Read->AudioTrack() : nullptr;
        if (t == nullptr || session->m_mediaInfo.hasAudio != 1 || t->sampleEntry != "mp4a") return false;
        const std::vector<uint8_t>& e = t->sampleEntryBox;
        // Sound sample entry: header (8), reserved (6), data reference (2),
        // version (2) and the rest of the fixed fields (18); versions 1 and 2
        // of the older layout add 16 and 36 bytes before the child boxes.
        if (e.size() < 36) return false;
        const unsigned version = (unsigned(e[16]) << 8) | e[17];
        size_t at = version == 0 ? 36 : version == 1 ? 52 : version == 2 ? 72 : e.size();
        while (at + 8 <= e.size()) {
            const uint32_t size = Be32(e.data() + at);
            if (size < 8 || size > e.size() - at) return false;
            if (std::memcmp(e.data() + at + 4, "SA3D", 4) == 0) {
                if (!WellFormed(e.data() + at, size)) return false;
                box.assign(e.begin() + static_cast<long>(at), e.begin() + static_cast<long>(at + size));
                return true;
            }
            at += size;
        }
        return false;
    } catch (...) {
        box.clear();
        return false;
    }
}

}  // namespace libdec
