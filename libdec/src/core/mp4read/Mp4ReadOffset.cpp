// Offset sources of the reader: calibration records in the text track, the
// description tag (plain or base64), and the comment tag.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "isobmff/Mp4Container.h"
#include "log/MyLog.h"
#include "mp4read/CMp4Read.h"
#include "mp4read/OffsetString.h"
#include "mp4read/SubtitleRecord.h"

namespace {

// Scans samples 1..count for the first one of at least sizeof(T) bytes and
// converts its last sizeof(T) bytes. `lastReadShort` tells whether the last
// sample was read and found too short (which allows the next, smaller kind).
template <typename T>
bool ScanForRecord(const mp4::File& file, uint32_t trackId, uint32_t count, unsigned char* buf,
                   uint32_t capacity, char* text, bool& lastReadShort) {
    lastReadShort = false;
    for (uint32_t n = 1; n <= count; ++n) {
        uint32_t size = 0;
        if (!file.readSample(trackId, n, buf, capacity, size) || size > capacity) {
            LOGE("Failed on MP4ReadSample()");
            continue;
        }
        if (size >= sizeof(T)) {
            ChangeToSubtitleOffset<T>(reinterpret_cast<const T*>(buf + size - sizeof(T)), text);
            return true;
        }
        if (n == count) lastReadShort = true;
    }
    return false;
}

}  // namespace

bool CMp4Read::RecordOfTrack(unsigned int trackId, char* text) {
    const mp4::Track* track = m_hFile->trackById(trackId);
    const uint32_t count = track ? static_cast<uint32_t>(track->samples.size()) : 0;
    const uint32_t capacity = track ? track->maxSampleSize : 0;
    std::unique_ptr<unsigned char[]> sample(new (std::nothrow) unsigned char[capacity ? capacity : 1]());
    if (!sample) {
        LOGE("Failed to allocate the subtitle sample buffer");
        return false;
    }
    bool lastReadShort = false;
    bool found = ScanForRecord<mnd_data_video_r>(*m_hFile, trackId, count, sample.get(), capacity, text,
                                                 lastReadShort);
    if (!found && lastReadShort)
        found = ScanForRecord<mnd_data_video_s>(*m_hFile, trackId, count, sample.get(), capacity, text,
                                                lastReadShort);
    return found;
}

// Every timed-text track is looked at in file order (a muxer may rename the
// handler, and chapter titles are text tracks too): the first record that
// passes the acceptance rule wins. A record found that fails it everywhere
// gives the default.
char* CMp4Read::CusumerClientOffset() {
    if (!m_hFile) return nullptr;
    if (m_textTrackIds.empty()) {
        LOGI("There is no subtitle track in the file.");
        return nullptr;
    }
    if (m_offset) return m_offset;

    std::unique_ptr<char[]> text(new (std::nothrow) char[kSubtitleOffsetMaxChars + 1]());
    if (!text) {
        LOGE("Failed to allocate the subtitle sample buffer");
        return nullptr;
    }
    unsigned int invalidIn = 0;  // first track with a record that fails the rule
    for (unsigned int id : m_textTrackIds) {
        text[0] = '\0';
        if (!RecordOfTrack(id, text.get())) continue;
        if (isOffsetValid(text.get())) {
            m_textTrackId = m_calibrationTrackId = id;
            m_offset = text.release();
            LOGI("calibration record of text track %u", id);
            LOGI("C offset: %s", m_offset);
            return m_offset;
        }
        if (!invalidIn) invalidIn = id;
    }
    if (!invalidIn) {
        LOGI("There is no offset in subtitle track");
        LOGI("C offset: %s", "(null)");
        return nullptr;
    }
    m_textTrackId = invalidIn;
    m_offset = const_cast<char*>(DEFAULT_OFFSET);
    LOGI("Offset is invalid, use default offset");
    LOGI("C offset: %s", m_offset);
    return m_offset;
}

char* CMp4Read::BusinessClientOffset() {
    if (m_offset) {
        LOGI("B offset: %s", m_offset);
        return m_offset;
    }
    if (!m_hFile) {
        LOGE("Failed on MP4TagsFetch()");
        return nullptr;
    }
    char* candidate = nullptr;
    try {
        std::string description;
        const char* tagText = m_hFile->tag("desc", description) ? description.c_str() : DEFAULT_OFFSET;

        // A plain text followed by a line end or blanks is still plain: decide
        // on the text without them. Base64 never holds blanks or "_".
        const char* core = nullptr;
        const size_t coreLen = StripBlanks(tagText, core);
        const std::string stripped(core, coreLen);
        if (isOffsetDecoded(stripped.c_str())) {
            const std::string trimmed = trimOffset(tagText, std::strlen(tagText));
            // At least 256 bytes; a longer tag is kept whole rather than cut.
            const size_t capacity = trimmed.size() + 1 > 256 ? trimmed.size() + 1 : 256;
            candidate = new (std::nothrow) char[capacity]();
            if (candidate) {
                std::memcpy(candidate, trimmed.data(), trimmed.size());
                LOGI("%s", candidate);
            }
        } else {
            candidate = base64Decode(stripped.c_str());
        }
    } catch (...) {  // allocation failure: no candidate
        delete[] candidate;
        candidate = nullptr;
    }

    if (candidate && isOffsetValid(candidate)) {
        m_offset = candidate;
        LOGI("B offset: %s", m_offset);
        return m_offset;
    }
    delete[] candidate;
    m_offset = const_cast<char*>(DEFAULT_OFFSET);
    LOGI("Offset is invalid, use default offset");
    return m_offset;
}

int CMp4Read::GetOffset(char*& offset) {
    offset = CusumerClientOffset();
    if (offset) return 0;
    offset = BusinessClientOffset();
    if (offset) return 0;
    LOGI("Failed to retrive offset");
    return 1;
}

char* CMp4Read::GetVideoComment() {
    if (!m_hFile) {
        LOGE("Failed on MP4TagsFetch()");
        return nullptr;
    }
    try {
        std::string comment;
        const char* text = m_hFile->tag("\xA9" "cmt", comment) ? comment.c_str() : "unknown";
        const size_t n = std::strlen(text);
        char* out = new (std::nothrow) char[n + 1];
        if (out) std::memcpy(out, text, n + 1);
        return out;
    } catch (...) {
        return nullptr;
    }
}
