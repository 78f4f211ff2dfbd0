#include "aacdec/CAacDec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "libdec_internal.h"
#include "log/MyLog.h"

namespace {

// Channels a channel configuration carries; 0 when only the library knows
// (a program config element, or a reserved value).
unsigned int ChannelsOfConfiguration(unsigned int config) {
    if (config >= 1 && config <= 6) return config;
    if (config == 7) return 8;
    return 0;
}

// Rank of a library channel position in FFmpeg's channel order (its channel
// mask bits: FL FR FC LFE BL BR FLC FRC BC SL SR). `seen` counts earlier
// channels of the same position: a second front pair is the centre pair.
unsigned int OrderOf(unsigned char position, unsigned int seen, unsigned int index) {
    switch (position) {
        case FRONT_CHANNEL_LEFT: return seen == 0 ? 0 : 6;
        case FRONT_CHANNEL_RIGHT: return seen == 0 ? 1 : 7;
        case FRONT_CHANNEL_CENTER: if (seen == 0) return 2; break;
        case LFE_CHANNEL: if (seen == 0) return 3; break;
        case BACK_CHANNEL_LEFT: if (seen == 0) return 4; break;
        case BACK_CHANNEL_RIGHT: if (seen == 0) return 5; break;
        case BACK_CHANNEL_CENTER: if (seen == 0) return 8; break;
        case SIDE_CHANNEL_LEFT: if (seen == 0) return 9; break;
        case SIDE_CHANNEL_RIGHT: if (seen == 0) return 10; break;
        default: break;
    }
    return 64 + index;  // unknown or repeated: after the named ones, in stream order
}

}  // namespace

CAacDec::CAacDec(unsigned int samplerate, unsigned char channels) : CAacDec(nullptr, 0, samplerate, channels) {}

CAacDec::CAacDec(const unsigned char* config, unsigned int configSize, unsigned int samplerate,
                 unsigned char channels)
    : m_hDecoder(nullptr), m_channels(channels), m_rate(0), m_frameLength(1024), m_positionCount(0) {
    std::memset(m_positions, 0, sizeof m_positions);
    std::fill(m_map, m_map + 64, -1);
    unsigned char reported = 0;
    if (config != nullptr && configSize >= 2) {
        std::vector<unsigned char> own(config, config + configSize);
        if (Open(own, false, reported) == 0) {
            m_config = own;
            mp4AudioSpecificConfig asc;
            std::memset(&asc, 0, sizeof asc);
            // (Its channel configuration is not taken from there: the library
            // reports a mono stream as two channels.)
            if (NeAACDecAudioSpecificConfig(m_config.data(), m_config.size(), &asc) == 0 && asc.frameLengthFlag)
                m_frameLength = 960;
        } else {
            LOGI("The clip's audio configuration is refused; decoding as AAC-LC at %u Hz, %u channels", samplerate,
                 static_cast<unsigned int>(channels));
        }
    }
    if (!m_hDecoder) {
        std::vector<unsigned char> built(2);
        MakeConfig(samplerate, channels, built.data());
        int rc = Open(built, true, reported);
        if (rc == 1) throw std::runtime_error("Failed to open AAC decoder");
        if (rc != 0) throw std::runtime_error("Failed to initialize AAC decoder");
        m_config = built;
    }
    unsigned int n = ChannelsOfConfiguration(channels);
    m_channels = static_cast<unsigned char>(n != 0 ? n : reported);  // else only the library knows
}

CAacDec::~CAacDec() {
    if (m_hDecoder) {
        NeAACDecClose(m_hDecoder);
        m_hDecoder = nullptr;
    }
}

int CAacDec::Open(const std::vector<unsigned char>& config, bool logFailures, unsigned char& channels) {
    NeAACDecHandle h = NeAACDecOpen();
    if (!h) {
        if (logFailures) LOGI("Failed to open AAC decoder");
        return 1;
    }
    // Implicitly signalled SBR is decoded at the core rate, so that every
    // frame of a stream gives the same number of samples.
    NeAACDecConfigurationPtr settings = NeAACDecGetCurrentConfiguration(h);
    if (settings) {
        settings->dontUpSampleImplicitSBR = 1;
        NeAACDecSetConfiguration(h, settings);
    }
    std::vector<unsigned char> bytes(config);
    unsigned long rate = 0;
    unsigned char ch = 0;
    char ret = NeAACDecInit2(h, bytes.data(), static_cast<unsigned long>(bytes.size()), &rate, &ch);
    if (ret != 0) {
        if (logFailures)
            LOGI("Failed to initialize AAC decoder. Error Code:%d", static_cast<int>(static_cast<signed char>(ret)));
        NeAACDecClose(h);
        return 2;
    }
    // The library holds the first frame of a stream back; counting it as
    // already seen makes it give its samples like every other frame.
    NeAACDecPostSeekReset(h, 1);
    m_hDecoder = h;
    m_rate = static_cast<unsigned int>(rate);
    channels = ch;
    return 0;
}

bool CAacDec::Reset() {
    if (m_hDecoder) {
        NeAACDecClose(m_hDecoder);
        m_hDecoder = nullptr;
    }
    if (m_config.empty()) return false;
    const unsigned int rate = m_rate;  // a probe may have corrected what the set-up reports
    unsigned char reported = 0;
    bool ok = Open(m_config, true, reported) == 0;
    m_rate = rate;
    return ok;
}

bool CAacDec::Probe(unsigned char* input, unsigned int size) {
    if (!m_hDecoder) return false;
    NeAACDecFrameInfo info;
    std::memset(&info, 0, sizeof(info));
    void* pcm = NeAACDecDecode(m_hDecoder, &info, input, size);
    bool ok = pcm && info.samples != 0 && info.error == 0 && info.channels != 0 && info.samplerate != 0;
    if (ok) {
        m_frameLength = static_cast<unsigned int>(info.samples / info.channels);
        m_rate = static_cast<unsigned int>(info.samplerate);
    }
    Reset();
    return ok;
}

void CAacDec::MakeConfig(unsigned int rate, unsigned char channels, unsigned char config[2]) {
    // Object type 2 (LC), frequency index, channel configuration, 1024-sample
    // frames, no core coder, no extension.
    unsigned char index = GetSamplerateIndex(rate);
    config[0] = static_cast<unsigned char>(0x10 | (index >> 1));
    config[1] = static_cast<unsigned char>(((index & 1) << 7) | (channels << 3));
}

unsigned char CAacDec::GetSamplerateIndex(unsigned int rate) {
    for (unsigned char i = 0; i < 13; ++i)
        if (rate == libdec::kAacSampleRates[i]) return i;
    static const unsigned int kLower[] = {92017, 75132, 55426, 46009, 37566, 27713,
                                          23004, 18783, 13856, 11502, 9391};
    for (unsigned char i = 0; i < sizeof(kLower) / sizeof(kLower[0]); ++i)
        if (rate >= kLower[i]) return i;
    return 11;
}

void CAacDec::MapChannels(const NeAACDecFrameInfo& info) {
    const unsigned int count = std::min<unsigned int>(info.channels, 64);
    if (count == m_positionCount && std::memcmp(m_positions, info.channel_position, count) == 0) return;
    std::memcpy(m_positions, info.channel_position, count);
    m_positionCount = static_cast<unsigned char>(count);
    std::vector<std::pair<unsigned int, int>> order;
    unsigned int seen[256] = {0};
    for (unsigned int k = 0; k < count; ++k) {
        unsigned char pos = info.channel_position[k];
        order.emplace_back(OrderOf(pos, seen[pos]++, k), static_cast<int>(k));
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const std::pair<unsigned int, int>& a, const std::pair<unsigned int, int>& b) {
                         return a.first < b.first;
                     });
    for (unsigned int j = 0; j < 64; ++j) m_map[j] = j < order.size() ? order[j].second : -1;
}

int CAacDec::Decode(unsigned char* input, unsigned int size, unsigned char* output, unsigned int& room) {
    if (!m_hDecoder) return 1;
    NeAACDecFrameInfo info;
    std::memset(&info, 0, sizeof(info));
    void* pcm = NeAACDecDecode(m_hDecoder, &info, input, size);
    if (!pcm || info.samples == 0 || info.error != 0 || info.channels == 0) {
        LOGE("AAC decoder fail to decode. Error Code:%d", static_cast<int>(info.error));
        return 1;
    }
    MapChannels(info);
    const short* in = static_cast<const short*>(pcm);
    const unsigned int from = info.channels;
    const unsigned int to = std::min<unsigned int>(m_channels, 64);
    const unsigned long perChannel = info.samples / from;
    const unsigned long want = perChannel * to;
    const unsigned long n = std::min<unsigned long>(want, room / 2);
    short* out = reinterpret_cast<short*>(output);
    unsigned long k = 0;
    for (unsigned long i = 0; i < perChannel && k < n; ++i)
        for (unsigned int c = 0; c < to && k < n; ++c, ++k) out[k] = m_map[c] < 0 ? 0 : in[i * from + m_map[c]];
    room = static_cast<unsigned int>(2 * n);
    return 0;
}

unsigned int CAacDec::StereoToMomo(unsigned char* input, unsigned int inBytes, unsigned char* output,
                                   unsigned int room) {
    unsigned int inSamples = inBytes / 2;
    unsigned int n = (inSamples < room ? inSamples : room) / 2;
    const short* in = reinterpret_cast<const short*>(input);
    short* out = reinterpret_cast<short*>(output);
    for (unsigned int k = 0; k < n; ++k) out[k] = in[2 * k];
    return 2 * n;
}
