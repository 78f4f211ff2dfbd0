#include "SoundMatch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace testutil {

namespace {

// The correlated channel (or the channels' sum) of each of `n` frames.
std::vector<double> track(Samples s, long n, int channels, int channel) {
    std::vector<double> t(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
        const int16_t* f = s.data + static_cast<size_t>(i) * channels;
        double v = 0;
        if (channel >= 0) {
            v = f[channel];
        } else {
            for (int c = 0; c < channels; ++c) v += f[c];
        }
        t[static_cast<size_t>(i)] = v;
    }
    return t;
}

double decibels(double signal, double noise) {
    return noise > 0 ? 10 * std::log10(signal / noise) : std::numeric_limits<double>::infinity();
}

}  // namespace

SoundMatch compareSound(Samples reference, Samples copy, int channels, const SoundWindows& w) {
    if (channels < 1) throw std::invalid_argument("compareSound: fewer than one channel");
    if (w.lagChannel >= channels) throw std::invalid_argument("compareSound: no such channel to correlate");
    const long refN = static_cast<long>(reference.size / static_cast<size_t>(channels));
    const long copyN = static_cast<long>(copy.size / static_cast<size_t>(channels));
    SoundMatch m;

    // Copy frame k against reference frame j = offset + k - lag; the sums of
    // products of 16-bit values are exact in doubles, so the order of the
    // terms does not matter.
    if (w.maxLag > 0) {
        const std::vector<double> ref = track(reference, refN, channels, w.lagChannel);
        const std::vector<double> out = track(copy, copyN, channels, w.lagChannel);
        double best = -std::numeric_limits<double>::infinity();
        for (long lag = -w.maxLag; lag <= w.maxLag; ++lag) {
            const long shift = w.offset - lag;  // j - k
            double dot = 0;
            if (w.lagOnReference) {
                const long from = std::max({w.lagFrom, 0L, shift}), to = std::min({w.lagTo, refN, copyN + shift});
                for (long j = from; j < to; ++j) dot += out[static_cast<size_t>(j - shift)] * ref[static_cast<size_t>(j)];
            } else {
                const long from = std::max({w.lagFrom, 0L, -shift}), to = std::min({w.lagTo, copyN, refN - shift});
                for (long k = from; k < to; ++k) dot += out[static_cast<size_t>(k)] * ref[static_cast<size_t>(k + shift)];
            }
            if (dot > best) {
                best = dot;
                m.lag = lag;
            }
        }
    }

    const long shift = w.offset - m.lag;
    std::vector<double> signal(static_cast<size_t>(channels), 0.0), noise(signal);
    double signalAll = 0, noiseAll = 0;
    const long from = std::max({w.snrFrom, 0L, -shift}), to = std::min({w.snrTo, copyN, refN - shift});
    for (long k = from; k < to; ++k) {
        const int16_t* a = reference.data + static_cast<size_t>(k + shift) * channels;
        const int16_t* b = copy.data + static_cast<size_t>(k) * channels;
        for (int c = 0; c < channels; ++c) {
            const double s = a[c], d = static_cast<double>(a[c]) - b[c];
            signal[static_cast<size_t>(c)] += s * s;
            noise[static_cast<size_t>(c)] += d * d;
            signalAll += s * s;
            noiseAll += d * d;
        }
    }
    m.snr = decibels(signalAll, noiseAll);
    for (int c = 0; c < channels; ++c)
        m.channelSnr.push_back(decibels(signal[static_cast<size_t>(c)], noise[static_cast<size_t>(c)]));
    return m;
}

std::vector<int16_t> s16le(const std::string& raw) {
    std::vector<int16_t> pcm(raw.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(static_cast<uint8_t>(raw[2 * i]) | (static_cast<uint8_t>(raw[2 * i + 1]) << 8));
    return pcm;
}

std::vector<int> channelPeaks(const std::vector<int16_t>& pcm, int channels) {
    if (channels < 1) throw std::invalid_argument("channelPeaks: fewer than one channel");
    std::vector<int> peaks(static_cast<size_t>(channels), 0);
    for (size_t i = 0; i < pcm.size(); ++i) {
        int& p = peaks[i % static_cast<size_t>(channels)];
        p = std::max(p, std::abs(static_cast<int>(pcm[i])));
    }
    return peaks;
}

}  // namespace testutil
