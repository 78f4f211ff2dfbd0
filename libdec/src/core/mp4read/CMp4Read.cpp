#include "mp4read/CMp4Read.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"
#include "log/MyLog.h"
#include "mp4read/OffsetString.h"

namespace {

const uint8_t kNalSei = 6;
const uint8_t kNalAud = 9;
const uint8_t kNalIdr = 5;
const uint8_t kNalSps = 7;

// Big-endian length prefix of `bytes` (1 to 4) bytes.
uint32_t ReadLength(const unsigned char* p, unsigned int bytes) {
    uint32_t v = 0;
    for (unsigned int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

const unsigned char kStartCode[4] = {0, 0, 0, 1};
const unsigned int kSeiRecoveryPoint = 6;

// recovery_frame_cnt of a recovery-point message in SEI unit `nal` (header
// byte first, emulation prevention bytes still in), or -1 when it has none.
int RecoveryFrames(const unsigned char* nal, uint32_t size) {
    // The unit's payload without its emulation prevention bytes; a recovery
    // point comes early, so a bounded prefix is enough.
    unsigned char rbsp[256];
    uint32_t n = 0;
    int zeros = 0;
    for (uint32_t i = 1; i < size && n < sizeof(rbsp); ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp[n++] = nal[i];
    }
    uint32_t at = 0;
    while (at < n && rbsp[at] != 0x80) {  // 0x80: the trailing bits
        uint32_t type = 0, length = 0;
        while (at < n && rbsp[at] == 0xFF) type += rbsp[at++];
        if (at >= n) return -1;
        type += rbsp[at++];
        while (at < n && rbsp[at] == 0xFF) length += rbsp[at++];
        if (at >= n) return -1;
        length += rbsp[at++];
        if (type == kSeiRecoveryPoint) {
            // ue(v): leading zero bits, a one, as many bits again.
            const uint32_t end = std::min<uint64_t>(n, uint64_t(at) + length) * 8;
            uint32_t bit = at * 8, lead = 0;
            auto get = [&](uint32_t b) { return (rbsp[b / 8] >> (7 - b % 8)) & 1; };
            while (bit < end && !get(bit)) ++lead, ++bit;
            if (bit >= end || lead > 16 || bit + 1 + lead > end) return -1;
            ++bit;
            uint32_t v = 0;
            for (uint32_t i = 0; i < lead; ++i) v = (v << 1) | get(bit++);
            return static_cast<int>((1u << lead) - 1 + v);
        }
        at += length;
    }
    return -1;
}

// MSB-first reader over the bytes of a decoder configuration.
class Bits {
public:
    Bits(const std::vector<uint8_t>& b) : b_(b) {}
    // False (and v untouched) when fewer than n bits are left.
    bool Get(unsigned int n, uint32_t& v) {
        if (pos_ + n > b_.size() * 8) return false;
        v = 0;
        for (unsigned int i = 0; i < n; ++i, ++pos_) v = (v << 1) | ((b_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
        return true;
    }

private:
    const std::vector<uint8_t>& b_;
    size_t pos_ = 0;
};

// Timed-text handlers: "text" as cameras write it, "sbtl" as muxers rewrite
// it, "subt" for other subtitle tracks.
bool IsTimedText(const std::string& handler) { return handler == "text" || handler == "sbtl" || handler == "subt"; }

// The track of `handler` a player presents: the first enabled one, else the
// first; null when there is none.
const mp4::Track* PresentedTrack(const std::vector<mp4::Track>& tracks, size_t count, const char* handler) {
    const mp4::Track* first = nullptr;
    for (size_t i = 0; i < count; ++i) {
        const mp4::Track& t = tracks[i];
        if (t.handler != handler) continue;
        if (t.enabled) return &t;
        if (!first) first = &t;
    }
    return first;
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
      m_soundTrackId(0),
      m_calibrationTrackId(0),
      m_audioTrackId(0),
      m_audioSampleCount(0),
      m_audioMaxSampleSize(0),
      m_pAudioSampleBuf(nullptr),
      m_videoNalLengthSize(4),
      m_videoRecoveryFrames(0) {
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
    if (m_hFile->fragmented()) {
        LOGE("Fragmented MP4 (movie fragments) is not supported: %s", path);
        return 1;
    }
    const auto& tracks = m_hFile->tracks();
    if (tracks.empty()) {
        LOGI("No track in file %s", path);
        return 1;
    }
    // Track indices are 16-bit for the track lookup.
    const size_t count = tracks.size() > 0xFFFF ? 0xFFFF : tracks.size();
    const mp4::Track* video = PresentedTrack(tracks, count, "vide");
    const mp4::Track* sound = PresentedTrack(tracks, count, "soun");
    for (size_t i = 0; i < count; ++i) {
        const mp4::Track& t = tracks[static_cast<uint16_t>(i)];
        unsigned int id = t.id;
        if (t.handler.empty()) {
            LOGI("i: %d, trackid: %d, invalid track type.", static_cast<int>(i), static_cast<int>(id));
            continue;
        }
        LOGI("handle:%lld trackid:%u type:%s", Handle(), id, t.handler.c_str());
        if (&t == video) {
            // The picture a player shows: a clip whose main video cannot be
            // decoded cannot be used.
            if (ParseVideoTrack(id) != 0) return 1;
        } else if (&t == sound) {
            m_soundTrackId = id;
            if (ParseAudioTrack(id) != 0)
                LOGE("handle:%lld sound track %u (%s) cannot be decoded here; the clip is read without audio", Handle(),
                     id, t.sampleEntry.empty() ? "no sample entry" : t.sampleEntry.c_str());
        } else if (t.handler == "vide" || t.handler == "soun") {
            LOGI("handle:%lld track %u (%s, %s) not used: track %u is the one presented", Handle(), id,
                 t.handler.c_str(), t.sampleEntry.c_str(), t.handler == "vide" ? video->id : sound->id);
        } else if (IsTimedText(t.handler)) {
            if (m_textTrackIds.empty()) m_textTrackId = id;
            m_textTrackIds.push_back(id);
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
    delete[] m_pVideoSampleBuf;  // a track parsed again replaces the earlier one
    m_pVideoSampleBuf = buf;
    m_videoSampleCount = static_cast<unsigned int>(t->samples.size());
    m_videoMaxSampleSize = t->maxSampleSize;
    m_videoTrackId = trackId;
    m_videoNalLengthSize = t->hasAvcC ? t->nalLengthSize : 4;
    LogCutShort(*t, "video");
    // Display positions from the composition times; equal times keep their
    // decode order.
    m_videoFrameOfSample.clear();
    if (t->hasCompositionOffsets) {
        std::vector<unsigned int> order(t->samples.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<unsigned int>(i);
        std::stable_sort(order.begin(), order.end(),
                         [t](unsigned int a, unsigned int b) { return t->samples[a].cts < t->samples[b].cts; });
        m_videoFrameOfSample.resize(order.size());
        for (size_t r = 0; r < order.size(); ++r) m_videoFrameOfSample[order[r]] = static_cast<unsigned int>(r + 1);
    }
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
    LogCutShort(*t, "audio");
    return 0;
}

void CMp4Read::LogCutShort(const mp4::Track& t, const char* kind) {
    if (t.indexedSamples <= t.samples.size()) return;
    LOGE("handle:%lld %s track %u: %u of its %u samples lie outside the file (cut short?); using the first %u",
         Handle(), kind, t.id, static_cast<unsigned int>(t.indexedSamples - t.samples.size()), t.indexedSamples,
         static_cast<unsigned int>(t.samples.size()));
}

const mp4::Track* CMp4Read::VideoTrack() const {
    return m_hFile && m_videoTrackId ? m_hFile->trackById(m_videoTrackId) : nullptr;
}

const mp4::Track* CMp4Read::AudioTrack() const {
    return m_hFile && m_audioTrackId ? m_hFile->trackById(m_audioTrackId) : nullptr;
}

unsigned int CMp4Read::FrameOfSample(unsigned int n) const {
    if (n == 0 || n > m_videoFrameOfSample.size()) return 0;
    return m_videoFrameOfSample[n - 1];
}

unsigned int CMp4Read::GetSampleRateByIndex(unsigned char index) {
    // Index 15 (the rate follows in 24 bits) is read by GetMediaInfo.
    if (index < 13) return libdec::kAacSampleRates[index];
    LOGE("invalid samplerate index:%u", static_cast<unsigned int>(index));
    return 0;
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
            // AudioSpecificConfig: object type (5 bits, 31 escapes to 6 more),
            // sampling index (4 bits, 15: the rate follows in 24 bits), channel
            // configuration (4 bits).
            Bits bits(cfg);
            uint32_t type = 0, index = 0, rate = 0, channels = 0;
            bits.Get(5, type);
            if (type == 31 && bits.Get(6, type)) type += 32;
            bits.Get(4, index);
            if (index == 15) {
                if (!bits.Get(24, rate)) {
                    GetSampleRateByIndex(15);  // logs the refusal
                    rate = 0;
                }
            } else {
                rate = GetSampleRateByIndex(static_cast<unsigned char>(index));
            }
            bits.Get(4, channels);
            info.samplerate = rate;
            info.channels = static_cast<uint8_t>(channels);
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
    const unsigned int L = m_videoNalLengthSize >= 1 && m_videoNalLengthSize <= 4 ? m_videoNalLengthSize : 4;
    unsigned char* p = m_pVideoSampleBuf;
    uint32_t remaining = got;
    // An IDR slice anywhere in the sample makes it a key sample from which
    // every picture is whole; a recovery point makes it one from which the
    // pictures are whole after the frames it names.
    m_videoRecoveryFrames = 0;
    bool idr = false;
    int recovery = -1;
    for (uint64_t at = 0; at + L + 1 <= got;) {
        const uint64_t len = ReadLength(p + at, L);
        if (len == 0 || len > got - at - L) break;
        const uint8_t t = p[at + L] & 0x1F;
        if (t == kNalIdr) idr = true;
        if (t == kNalSei && recovery < 0) recovery = RecoveryFrames(p + at + L, static_cast<uint32_t>(len));
        at += L + len;
    }
    if (!idr && recovery > 0) m_videoRecoveryFrames = static_cast<unsigned int>(recovery);
    // Skip leading delimiters and SEI; a recovery point stays (the decoder
    // shows nothing before it without). A NAL unit is only looked at when its
    // length prefix and header byte lie inside the sample.
    bool headerInside = remaining >= L + 1;
    while (remaining >= L + 1 && ((p[L] & 0x1F) == kNalAud || ((p[L] & 0x1F) == kNalSei && recovery < 0))) {
        uint64_t len = uint64_t(ReadLength(p, L)) + L;
        if (remaining > len) {
            p += len;
            remaining -= static_cast<uint32_t>(len);
            headerInside = remaining >= L + 1;
        } else {
            // Nothing but delimiters/SEI, or a length past the end: stay on this unit.
            remaining = 0;
            break;
        }
    }
    if (!headerInside) {
        // Fewer bytes than a prefix and a NAL header: hand the bytes on as they are.
        key = false;
        m_videoRecoveryFrames = 0;
        data = p;
        size = remaining;
        return 0;
    }
    const uint8_t type = p[L] & 0x1F;
    key = (type == kNalIdr || type == kNalSps || recovery >= 0);
    if (L == 4) {
        // In place: each length prefix becomes a start code. The first unit's
        // always does; a later unit whose length runs past the sample ends
        // the rewrite and the rest is passed on as it is.
        const uint32_t firstLength = ReadLength(p, 4);
        std::memcpy(p, kStartCode, 4);
        uint64_t at = 4 + uint64_t(firstLength);
        while (at + 4 <= remaining) {
            uint64_t len = ReadLength(p + at, 4);
            if (len > remaining - at - 4) break;
            std::memcpy(p + at, kStartCode, 4);
            at += 4 + len;
        }
        data = p;
        size = remaining;
        return 0;
    }
    // Shorter prefixes: the Annex-B form is longer than the sample, so it is
    // built in a buffer of its own (grown, never shrunk).
    if (remaining == 0) {
        data = p;
        size = 0;
        return 0;
    }
    m_annexB.clear();
    uint64_t at = 0;
    bool firstUnit = true;
    while (at + L <= remaining) {
        uint64_t len = ReadLength(p + at, L);
        bool fits = len <= remaining - at - L;
        if (!fits && !firstUnit) break;
        m_annexB.insert(m_annexB.end(), kStartCode, kStartCode + 4);
        uint64_t take = fits ? len : remaining - at - L;
        m_annexB.insert(m_annexB.end(), p + at + L, p + at + L + take);
        at += L + take;
        firstUnit = false;
    }
    m_annexB.insert(m_annexB.end(), p + at, p + remaining);  // what no prefix describes
    data = m_annexB.data();
    size = static_cast<unsigned int>(m_annexB.size());
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
