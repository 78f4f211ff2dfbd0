#include "aacdec/CAacDec.h"

#include <cstring>
#include <stdexcept>

#include "log/MyLog.h"

CAacDec::CAacDec(unsigned int samplerate, unsigned char channels) : m_hDecoder(nullptr), m_channels(channels) {
    m_hDecoder = NeAACDecOpen();
    if (!m_hDecoder) {
        LOGI("Failed to open AAC decoder");
        throw std::runtime_error("Failed to open AAC decoder");
    }
    unsigned char config[2];
    MakeConfig(samplerate, channels, config);
    unsigned long rate = 0;
    unsigned char ch = 0;
    char ret = NeAACDecInit2(m_hDecoder, config, 2, &rate, &ch);
    if (ret != 0) {
        LOGI("Failed to initialize AAC decoder. Error Code:%d", static_cast<int>(static_cast<signed char>(ret)));
        NeAACDecClose(m_hDecoder);
        m_hDecoder = nullptr;
        throw std::runtime_error("Failed to initialize AAC decoder");
    }
}

CAacDec::~CAacDec() {
    if (m_hDecoder) {
        NeAACDecClose(m_hDecoder);
        m_hDecoder = nullptr;
    }
}

void CAacDec::MakeConfig(unsigned int rate, unsigned char channels, unsigned char config[2]) {
    // Object type 2 (LC), frequency index, channel configuration, 1024-sample
    // frames, no core coder, no extension.
    unsigned char index = GetSamplerateIndex(rate);
    config[0] = static_cast<unsigned char>(0x10 | (index >> 1));
    config[1] = static_cast<unsigned char>(((index & 1) << 7) | (channels << 3));
}

unsigned char CAacDec::GetSamplerateIndex(unsigned int rate) {
    static const unsigned int kLower[] = {92017, 75132, 55426, 46009, 37566, 27713,
                                          23004, 18783, 13856, 11502, 9391};
    for (unsigned char i = 0; i < sizeof(kLower) / sizeof(kLower[0]); ++i)
        if (rate >= kLower[i]) return i;
    return 11;
}

int CAacDec::Decode(unsigned char* input, unsigned int size, unsigned char* output, unsigned int& room) {
    if (!m_hDecoder) return 1;
    NeAACDecFrameInfo info;
    std::memset(&info, 0, sizeof(info));
    void* pcm = NeAACDecDecode(m_hDecoder, &info, input, size);
    if (!pcm || info.samples == 0 || info.error != 0) {
        LOGE("AAC decoder fail to decode. Error Code:%d", static_cast<int>(info.error));
        return 1;
    }
    unsigned long s = info.samples;  // all channels together
    if (info.channels == 2 && m_channels == 1) {
        // The library upmixes mono to two channels; keep the first.
        unsigned long bytes = 2 * s;
        room = StereoToMomo(static_cast<unsigned char*>(pcm), bytes > 0xFFFFFFFFul ? 0xFFFFFFFFu
                                                                                   : static_cast<unsigned int>(bytes),
                            output, room);
        return 0;
    }
    unsigned long bytes = 2 * s;
    if (bytes > room) bytes = room;
    std::memcpy(output, pcm, bytes);
    room = static_cast<unsigned int>(bytes);
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
