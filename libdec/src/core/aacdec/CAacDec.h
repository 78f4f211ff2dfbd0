// Raw AAC-LC frames (one MP4 sample each) to interleaved 16-bit PCM, configured
// from the sampling rate and channel count alone.
#pragma once

#include <neaacdec.h>

class CAacDec {
public:
    // Throws std::runtime_error when the library decoder cannot be opened or
    // does not accept the configuration.
    CAacDec(unsigned int samplerate, unsigned char channels);
    ~CAacDec();
    CAacDec(const CAacDec&) = delete;
    CAacDec& operator=(const CAacDec&) = delete;

    // Nearest MPEG-4 sampling-frequency index (0 to 11).
    unsigned char GetSamplerateIndex(unsigned int rate);
    // The 2-byte AAC-LC AudioSpecificConfig handed to the library.
    void MakeConfig(unsigned int rate, unsigned char channels, unsigned char config[2]);
    // Decodes one frame into `output`, writing at most `room` bytes; on success
    // `room` holds the bytes written. 0 on success, 1 on failure.
    int Decode(unsigned char* input, unsigned int size, unsigned char* output, unsigned int& room);
    // Keeps the first channel of interleaved 16-bit stereo; bytes written.
    unsigned int StereoToMomo(unsigned char* input, unsigned int inBytes, unsigned char* output,
                              unsigned int room);

    NeAACDecHandle m_hDecoder;
    unsigned char m_channels;
};
