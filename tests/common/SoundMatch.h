// A copy of a sound against the sound it should be: how late it is, by
// cross-correlation, and how faithful, as signal-to-noise ratios with the lag
// taken out. Sound is interleaved 16-bit samples, `channels` to a frame. The
// loops run here, in the optimised shared test library, so that the test
// files that compare sound build unoptimised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// Interleaved samples, every channel's: a vector or a buffer.
struct Samples {
    const int16_t* data = nullptr;
    size_t size = 0;
    Samples(const std::vector<int16_t>& v) : data(v.data()), size(v.size()) {}
    Samples(const int16_t* d, size_t n) : data(d), size(n) {}
};

// Which frames are compared. Frame k of the copy holds frame
// offset + k - lag of the reference.
struct SoundWindows {
    long offset = 0;
    // Lags tried, -maxLag to maxLag frames; the first with the largest
    // correlation wins. With maxLag 0 the lag is 0.
    long maxLag = 0;
    // Frames [lagFrom, lagTo) correlated: the copy's, or with
    // lagOnReference the reference's. Frames either side lacks are left out.
    long lagFrom = 0, lagTo = 0;
    bool lagOnReference = false;
    // The channel correlated; -1: the sum of them all.
    int lagChannel = -1;
    // The copy's frames [snrFrom, snrTo) over which the SNR is measured (with
    // the lag taken out; frames the reference lacks are left out).
    long snrFrom = 0, snrTo = 0;
};

struct SoundMatch {
    long lag = 0;                    // frames the copy is late (negative: early)
    double snr = 0;                  // dB over every channel; infinite where they agree exactly
    std::vector<double> channelSnr;  // dB, per channel
};

// Throws std::invalid_argument for fewer than one channel or a correlated
// channel that is not there.
SoundMatch compareSound(Samples reference, Samples copy, int channels, const SoundWindows& windows);

// Little-endian 16-bit samples (ffmpeg's s16le) of raw bytes; an odd last byte is dropped.
std::vector<int16_t> s16le(const std::string& raw);

// Each channel's largest absolute sample.
std::vector<int> channelPeaks(const std::vector<int16_t>& pcm, int channels);

}  // namespace testutil
