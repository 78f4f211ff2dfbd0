#include "mp4read/CMp4Read.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "isobmff/Mp4Container.h"
#include "log/MyLog.h"
#include "mp4read/OffsetString.h"

namespace {

const uint8_t kNalSei = 6;
const uint8_t kNalAud = 9;
const uint8_t kNalIdr = 5;
const uint8_t kNalSps = 7;

uint32_t ReadBe32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

CMp4Read::CMp4Read(const char* path)
    : m_pSpsPps(nullptr),
      m_spsPpsSize(0),
      m_offset(nullptr),
      m_videoTrackId(0),
      m_videoSampleCount(0),
      m_videoMaxSampleSize(0),
      m_pVideoSampleBuf(nullptr),
      m_textTrackId(0),
      m_audioTrackId(0),
      m_audioSampleCount(0),
      m_audioMaxSampleSize(0),
      m_pAudioSampleBuf(nullptr) {
    int rc = 1;
    try {
        rc = Init(path);
    } catch (...) {  // a failed allocation counts as a failed open
        rc = 1;
    }
    if (rc != 0) {
        LOGE("Failed to initialize CMp4read");
        Release();
        throw std::runtime_error("Failed to initialize CMp4read");
    }
}

CMp4Read::~CMp4Read() { Release(); }

void CMp4Read::Release() {
    DeInit();
    delete[] m_pVideoSampleBuf;
    m_pVideoSampleBuf = nullptr;
    delete[] m_pAudioSampleBuf;
    m_pAudioSampleBuf = nullptr;
    delete[] m_pSpsPps;
    m_pSpsPps = nullptr;
    m_spsPpsSize = 0;
    if (m_offset != DEFAULT_OFFSET) delete[] m_offset;
    m_offset = nullptr;
}

void CMp4Read::DeInit() { m_hFile.reset(); }

long long CMp4Read::Handle() const {
    return static_cast<long long>(reinterpret_cast<intptr_t>(m_hFile.get()));
}

int CMp4Read::Init(const char* path) {
    if (path == nullptr) {
        LOGE("Filename is empty.");
        return 1;
    }
    std::string why;
    m_hFile = mp4::File::open(path, &why);
    if (!m_hFile) {
        LOGE("Cannot read file %s: %s", path, why.c_str());
        return 1;
    }
    const auto& tracks = m_hFile->tracks();
    if (tracks.empty()) {
        LOGI("No track in file %s", path);
        return 1;
    }
    // Track indices are 16-bit for the track lookup.
    const size_t count = tracks.size() > 0xFFFF ? 0xFFFF : tracks.size();
    for (size_t i = 0; i < count; ++i) {
        const mp4::Track& t = tracks[static_cast<uint16_t>(i)];
        unsigned int id = t.id;
        if (t.handler.empty()) {
            LOGI("i: %d, trackid: %d, invalid track type.", static_cast<int>(i), static_cast<int>(id));
            continue;
        }
        LOGI("handle:%lld trackid:%u type:%s", Handle(), id, t.handler.c_str());
        if (t.handler == "vide") {
            if (ParseVideoTrack(id) != 0) return 1;
        } else if (t.handler == "soun") {
            if (ParseAudioTrack(id) != 0) return 1;
        } else if (t.handler == "text") {
            m_textTrackId = id;
        }
    }
    if (m_videoTrackId == 0 && m_audioTrackId == 0) {
        LOGE("Neither video track nor audio track exists in the file.");
        return 1;
    }
    return 0;
}

int CMp4Read::ParseVideoTrack(unsigned int trackId) {
    const mp4::Track* t = m_hFile ? m_hFile->trackById(trackId) : nullptr;
    if (t == nullptr || t->sampleEntry.empty()) {
        LOGE("Failed on MP4GetTrackMediaDataName()");
        return 1;
    }
    if (t->sampleEntry == "encv") {
        if (t->originalFormat.empty()) {
            LOGE("Failed on MP4GetTrackMediaDataOriginalFormat()");
            return 1;
        }
        if (t->originalFormat != "264b") {
            LOGI("The track is ENCV, but nsot 264b");
            return 1;
        }
    } else if (t->sampleEntry != "avc1") {
        LOGI("The track is not avc1");
        return 1;
    }
    unsigned char* buf = new unsigned char[t->maxSampleSize ? t->maxSampleSize : 1]();
    delete[] m_pVideoSampleBuf;  // a later video track replaces an earlier one
    m_pVideoSampleBuf = buf;
    m_videoSampleCount = static_cast<unsigned int>(t->samples.size());
    m_videoMaxSampleSize = t->maxSampleSize;
    m_videoTrackId = trackId;
    // Parameter sets belong to the accepted track.
    delete[] m_pSpsPps;
    m_pSpsPps = nullptr;
    m_spsPpsSize = 0;
    return 0;
}

int CMp4Read::ParseAudioTrack(unsigned int trackId) {
    const mp4::Track* t = m_hFile ? m_hFile->trackById(trackId) : nullptr;
    if (t == nullptr || t->sampleEntry.empty()) {
        LOGE("Failed on MP4GetTrackMediaDataName()");
        return 1;
    }
    if (t->sampleEntry != "mp4a") {
        LOGI("The audio track is not mp4a");
        return 1;
    }
    unsigned int type = t->objectType;
    if (type != 0x40 && type != 0x66 && type != 0x67 && type != 0x68) {
        LOGE("The object type is %u. Not aac.", type);
        return 1;
    }
    unsigned char* buf = new unsigned char[t->maxSampleSize ? t->maxSampleSize : 1]();
    delete[] m_pAudioSampleBuf;
    m_pAudioSampleBuf = buf;
    m_audioMaxSampleSize = t->maxSampleSize;
    m_audioSampleCount = static_cast<unsigned int>(t->samples.size());
    m_audioTrackId = trackId;
    return 0;
}

unsigned int CMp4Read::GetSampleRateByIndex(unsigned char index) {
    switch (index) {
        case 0: return 96000;
        case 3: return 48000;
        case 4: return 44100;
        case 6: return 24000;
        case 8: return 16000;
        default:
            LOGE("invalid samplerate index:%u", static_cast<unsigned int>(index));
            return 0;
    }
}

int CMp4Read::GetMediaInfo(_MediaInfo& info) {
    if (m_videoTrackId != 0 && m_hFile) {
        const mp4::Track* t = m_hFile->trackById(m_videoTrackId);
        if (t != nullptr) {
            info.hasVideo = 1;
            info.width = t->width;
            info.height = t->height;
            info.fps = t->frameRate();
            info.frames = m_videoSampleCount;
        }
    }
    if (m_audioTrackId != 0 && m_hFile) {
        const mp4::Track* t = m_hFile->trackById(m_audioTrackId);
        if (t == nullptr || !t->hasEsds) {
            LOGE("Failed on MP4GetTrackESConfiguration()");
            return 1;
        }
        const std::vector<uint8_t>& cfg = t->decoderConfig;
        if (cfg.size() < 2) {
            // Rate and channels cannot be known: the clip plays without sound.
            LOGE("handle:%lld audio track %u ignored: decoder configuration of %u bytes is too short",
                 Handle(), m_audioTrackId, static_cast<unsigned int>(cfg.size()));
            m_audioTrackId = 0;
            m_audioSampleCount = 0;
            m_audioMaxSampleSize = 0;
            delete[] m_pAudioSampleBuf;
            m_pAudioSampleBuf = nullptr;
        } else {
            unsigned char b0 = cfg[0], b1 = cfg[1];
            unsigned char index = static_cast<unsigned char>(((b0 & 7) << 1) | (b1 >> 7));
            info.samplerate = GetSampleRateByIndex(index);
            info.channels = static_cast<uint8_t>((b1 >> 3) & 15);
            info.hasAudio = 1;
            info.samples = static_cast<int64_t>(static_cast<uint32_t>(m_audioSampleCount * 1024u));
        }
    }
    LOGI("handle:%lld width:%u height:%u fps:%lf frames:%u samplerate:%u channels:%u samples:%lld",
         Handle(), info.width, info.height, info.fps, info.frames, info.samplerate,
         static_cast<unsigned int>(info.channels), static_cast<long long>(info.samples));
    return 0;
}

int CMp4Read::GetSpsPps(unsigned char*& buffer, unsigned int& size) {
    if (m_videoTrackId == 0 || !m_hFile) {
        LOGE("GetSpsPps() failed because of NO video track");
        return 1;
    }
    if (m_spsPpsSize != 0 && m_pSpsPps != nullptr) {
        buffer = m_pSpsPps;
        size = m_spsPpsSize;
        return 0;
    }
    const mp4::Track* t = m_hFile->trackById(m_videoTrackId);
    if (t == nullptr || !t->hasAvcC || t->sps.empty() || t->pps.empty()) {
        LOGE("Failed on MP4GetTrackH264SeqPictHeaders()");
        return 1;
    }
    const std::vector<uint8_t>& sps = t->sps[0];
    const std::vector<uint8_t>& pps = t->pps[0];
    static const unsigned char kStart[4] = {0, 0, 0, 1};
    const size_t total = sps.size() + pps.size() + 8;
    unsigned char* buf = new unsigned char[total]();
    unsigned char* p = buf;
    std::memcpy(p, kStart, 4);
    p += 4;
    if (!sps.empty()) std::memcpy(p, sps.data(), sps.size());
    p += sps.size();
    std::memcpy(p, kStart, 4);
    p += 4;
    if (!pps.empty()) std::memcpy(p, pps.data(), pps.size());
    m_pSpsPps = buf;
    m_spsPpsSize = static_cast<unsigned int>(total);
    buffer = m_pSpsPps;
    size = m_spsPpsSize;
    return 0;
}

int CMp4Read::GetGopSize() {
    if (m_videoTrackId != 0 && m_videoSampleCount >= 3) {
        for (unsigned int n = 2; n < m_videoSampleCount; ++n) {
            unsigned char* data = nullptr;
            unsigned int size = 0;
            bool key = false;
            GetVideoSample(n, data, size, key);
            if (key) {
                LOGI("handle:%lld GOP SIZE:%d", Handle(), static_cast<int>(n - 1));
                return static_cast<int>(n - 1);
            }
        }
    }
    if (m_videoTrackId != 0 && m_videoSampleCount >= 1) {
        // One GOP spans the whole track: seeking restarts from the first sample.
        int gop = m_videoSampleCount > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(m_videoSampleCount);
        LOGI("handle:%lld no second key sample in %u samples", Handle(), m_videoSampleCount);
        LOGI("handle:%lld GOP SIZE:%d", Handle(), gop);
        return gop;
    }
    LOGE("handle:%lld Failed to GetGopSize()", Handle());
    return 0;
}

int CMp4Read::GetVideoSample(unsigned int n, unsigned char*& data, unsigned int& size, bool& key) {
    if (m_videoTrackId == 0 || !m_hFile) return 1;
    if (n > m_videoSampleCount) {
        LOGI("video sampleindx: %u > maxsamplenum: %u", n, m_videoSampleCount);
        return 1;
    }
    uint32_t got = 0;
    if (m_pVideoSampleBuf == nullptr ||
        !m_hFile->readSample(m_videoTrackId, n, m_pVideoSampleBuf, m_videoMaxSampleSize, got)) {
        LOGE("Failed on MP4ReadSample()");
        return 1;
    }
    unsigned char* p = m_pVideoSampleBuf;
    uint32_t remaining = got;
    // Skip leading delimiters and SEI. A NAL unit is only looked at when its
    // length prefix and header byte lie inside the sample.
    bool headerInside = remaining >= 5;
    while (remaining >= 5 && ((p[4] & 0x1F) == kNalAud || (p[4] & 0x1F) == kNalSei)) {
        uint64_t len = uint64_t(ReadBe32(p)) + 4;
        if (remaining > len) {
            p += len;
            remaining -= static_cast<uint32_t>(len);
            headerInside = remaining >= 5;
        } else {
            // Nothing but delimiters/SEI, or a length past the end: stay on this unit.
            remaining = 0;
            break;
        }
    }
    if (headerInside) {
        uint8_t type = p[4] & 0x1F;
        key = (type == kNalIdr || type == kNalSps);
        p[0] = 0;
        p[1] = 0;
        p[2] = 0;
        p[3] = 1;
    } else {
        // Fewer than five bytes: no NAL header to read; hand the bytes on as they are.
        key = false;
    }
    data = p;
    size = remaining;
    return 0;
}

int CMp4Read::GetAudioSample(unsigned int n, unsigned char*& data, unsigned int& size) {
    if (m_audioTrackId == 0 || !m_hFile) return 1;
    if (n > m_audioSampleCount) {
        LOGI("audio sampleindex: %u > maxsamplenum: %u", n, m_audioSampleCount);
        return 1;
    }
    uint32_t got = 0;
    if (m_pAudioSampleBuf == nullptr ||
        !m_hFile->readSample(m_audioTrackId, n, m_pAudioSampleBuf, m_audioMaxSampleSize, got)) {
        LOGE("Failed on MP4ReadSample()");
        return 1;
    }
    data = m_pAudioSampleBuf;
    size = got;
    return 0;
}
