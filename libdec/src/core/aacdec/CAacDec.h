// Raw AAC frames (one MP4 sample each) to interleaved 16-bit PCM.
//
// The library decoder is configured with the clip's own AudioSpecificConfig
// when it accepts it, else with a two-byte AAC-LC configuration built from the
// sampling rate and channel count. Every frame decodes to FrameLength()
// samples per channel, the first one after construction or Reset included,
// with the channels in FFmpeg's order for the channel count's layout (front
// left, front right, front centre, LFE, back or side left and right, ...).
#pragma once

#include <neaacdec.h>

#include <vector>

class CAacDec {
public:
    // Built configuration only. Throws std::runtime_error when the library
    // decoder cannot be opened or does not accept the configuration.
    CAacDec(unsigned int samplerate, unsigned char channels);
    // The clip's configuration (`config`, `configSize` bytes; may be null),
    // falling back to the built one. Throws like the constructor above.
    CAacDec(const unsigned char* config, unsigned int configSize, unsigned int samplerate, unsigned char channels);
    ~CAacDec();
    CAacDec(const CAacDec&) = delete;
    CAacDec& operator=(const CAacDec&) = delete;

    // Nearest MPEG-4 sampling-frequency index (0 to 12; the rates of the
    // table give their own index).
    unsigned char GetSamplerateIndex(unsigned int rate);
    // The 2-byte AAC-LC AudioSpecificConfig of the fallback.
    void MakeConfig(unsigned int rate, unsigned char channels, unsigned char config[2]);
    // Decodes one frame into `output`, writing at most `room` bytes (whole
    // 16-bit samples); on success `room` holds the bytes written. 0 on
    // success, 1 on failure (output and room untouched).
    int Decode(unsigned char* input, unsigned int size, unsigned char* output, unsigned int& room);
    // Keeps the first channel of interleaved 16-bit stereo; bytes written.
    unsigned int StereoToMomo(unsigned char* input, unsigned int inBytes, unsigned char* output,
                              unsigned int room);

    // Forgets every earlier frame: the next one decodes as the first of a
    // stream. False when the library decoder cannot be set up again (Decode
    // then fails until a later Reset succeeds).
    bool Reset();
    // Decodes `input` only to learn the rate and frame length the stream
    // really has (the configuration may not tell, e.g. with SBR), then
    // resets. False when the frame does not decode.
    bool Probe(unsigned char* input, unsigned int size);
    // Rate of the PCM in Hz, samples per channel of one frame, channels of
    // the PCM (a mono stream that the library widens to two stays one).
    unsigned int OutputRate() const { return m_rate; }
    unsigned int FrameLength() const { return m_frameLength; }
    unsigned int OutputChannels() const { return m_channels; }

    NeAACDecHandle m_hDecoder;
    unsigned char m_channels;

private:
    // Opens a library decoder for `config` into m_hDecoder with the rate it
    // reports in m_rate and its channel count in `channels`. 0 on success, 1
    // when no decoder can be opened, 2 when the configuration is refused
    // (logged with `logFailures`).
    int Open(const std::vector<unsigned char>& config, bool logFailures, unsigned char& channels);
    // Output channel j takes decoded channel m_map[j] (-1: silence), for the
    // channel positions the library reported with the last frame.
    void MapChannels(const NeAACDecFrameInfo& info);

    std::vector<unsigned char> m_config;  // the configuration the library accepted
    unsigned int m_rate;
    unsigned int m_frameLength;
    unsigned char m_positions[64];        // positions the map was made for
    unsigned char m_positionCount;
    int m_map[64];
};
