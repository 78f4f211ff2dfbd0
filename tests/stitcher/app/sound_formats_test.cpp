// The clip's sound in the formats FFmpeg decodes, 1 to 8 channels at 8 to
// 192 kHz, through the reader's AAC and through FFmpeg: a video carries each
// channel in its place, in time and faithful, and --info tells the clip's own
// format and what the video makes of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "SoundMatch.h"
#include "test_clips.h"

namespace {

using testutil::quote;

const int kFrames = 15;  // at 30 fps: half a second

// One ffmpeg for every clip and its video: each file's sound as interleaved
// 16-bit samples at the video's rate in the video's channels (laid out as
// the video lays them out), mixed as FFmpeg mixes without lowering the level,
// into <file>.raw; and of a video, its first sound frame as decoded, rate and
// channels its own, into <file>.wav. A program start costs more than the decoding.
struct Decoded {
    std::string file;
    int rate, channels;
    bool video;
};
int decodeAll(const std::vector<Decoded>& files) {
    std::string inputs, outputs;
    for (size_t i = 0; i < files.size(); ++i) {
        const Decoded& d = files[i];
        const std::string layout = d.channels == 3 ? " -ch_layout 3.0" : " -ac " + std::to_string(d.channels);
        inputs += " -i " + quote(d.file);
        outputs += " -map " + std::to_string(i) + ":a -ar " + std::to_string(d.rate) + layout +
                   " -rematrix_maxval 1000 -f s16le " + quote(d.file + ".raw");
        if (d.video)
            outputs += " -map " + std::to_string(i) + ":a -frames:a 1 -c:a pcm_s16le -f wav " + quote(d.file + ".wav");
    }
    return testutil::runCommand("ffmpeg -v error -nostdin -y" + inputs + outputs);
}

// "<rate>,<channels>" of a WAV file's format chunk (16-bit little-endian
// channels at byte 22, 32-bit rate at byte 24), as decoded.
std::string wavFormat(const std::string& path) {
    const std::string b = testutil::readFile(path);
    if (b.size() < 28 || b.compare(0, 4, "RIFF") != 0 || b.compare(12, 4, "fmt ") != 0) return "not a WAV file";
    auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<uint8_t>(b[i])); };
    const unsigned channels = byte(22) | byte(23) << 8, rate = byte(24) | byte(25) << 8 | byte(26) << 16 | byte(27) << 24;
    return std::to_string(rate) + "," + std::to_string(channels);
}

// The LFE channel of the clips' layout for `channels` (-1: none): FFmpeg's
// default, but 3.0 (AAC's channel configuration 3) for three.
int lfeOf(int channels) { return channels >= 6 ? 3 : -1; }

struct Format {
    const char* codec;  // ffmpeg's encoder, with its options
    const char* ext;
    int channels, rate;
    int outRate;        // the video's: the clip's own where AAC has it, else 48 kHz
    int outChannels;    // the video's: 6.1 is mixed down to 5.1
};

// The lag of `out` behind `in` at `rate` (within 10 ms, from the channels'
// sum over an eighth of a second in the middle) and each channel's SNR in dB
// with the lag taken out, over the first `n` samples of `out` less 50 ms at
// either end.
testutil::SoundMatch compare(const std::vector<int16_t>& in, const std::vector<int16_t>& out, long n, int channels,
                             int rate) {
    n = std::min(n, static_cast<long>(out.size()) / channels);
    testutil::SoundWindows w;
    w.maxLag = rate / 100;
    w.lagFrom = n / 2 - rate / 16;
    w.lagTo = n / 2 + rate / 16;
    w.snrFrom = rate / 20;
    w.snrTo = n - rate / 20;
    return testutil::compareSound(in, out, channels, w);
}

TEST(SoundFormats, EveryChannelInPlaceAtEveryRate) {
    // MP3 mono was read as the two channels its sample entry claims.
    const Format formats[] = {
        {"libmp3lame", "mp4", 1, 44100, 44100, 1},
        {"libmp3lame", "mov", 1, 8000, 8000, 1},
        {"pcm_s16le", "mov", 2, 37800, 48000, 2},
        {"aac", "mp4", 3, 16000, 16000, 3},
        {"pcm_s16le", "mov", 4, 11025, 11025, 4},
        {"flac -strict -2", "mp4", 5, 88200, 88200, 5},
        {"aac", "mp4", 6, 96000, 96000, 6},
        {"pcm_f32le", "mov", 7, 24000, 24000, 6},
        {"aac", "mp4", 7, 32000, 32000, 6},
        {"aac", "mp4", 8, 48000, 48000, 8},
        {"flac -strict -2", "mp4", 8, 192000, 48000, 8},
    };
    const std::string video = testutil::makeClip(
        "sound_formats_video.mp4", "-f lavfi -i testsrc=size=64x32:rate=30 -frames:v 30 -c:v libx264 -preset ultrafast "
                                   "-pix_fmt yuv420p");
    ASSERT_FALSE(video.empty());
    const std::string dir = testutil::makeTempDir("sound_formats");
    std::mt19937 random(7);
    std::uniform_real_distribution<double> start(150, 250), sweep(100, 300);
    // Every clip made by one ffmpeg: the video, with a chirp per channel,
    // each its own (the LFE's low), so that a lost, moved or late channel shows.
    std::vector<std::string> names, clips, outs;
    std::string sources = " -i " + quote(video), made;
    for (const Format& f : formats) {
        const std::string codec(f.codec);
        names.push_back(codec.substr(0, codec.find(' ')) + "_" + std::to_string(f.channels) + "ch_" +
                        std::to_string(f.rate) + "." + f.ext);
        clips.push_back(dir + "/" + names.back());
        outs.push_back(dir + "/out_" + names.back() + ".mp4");
        std::string expr;
        for (int c = 0; c < f.channels; ++c) {
            const bool lfe = c == lfeOf(f.channels);  // AAC keeps only its lowest 120 Hz or so
            const double f0 = lfe ? 50 : start(random) + 110 * c, k = lfe ? 20 : sweep(random);
            expr += (c ? "|" : "") + std::string("0.25*sin(2*PI*(") + std::to_string(f0) + "*t+" + std::to_string(k) +
                    "*t*t))";
        }
        sources += " -f lavfi -i 'aevalsrc=" + expr + (f.channels == 3 ? ":c=3.0" : "") + ":s=" + std::to_string(f.rate) +
                   ":d=0.6'";
        made += " -map 0:v -map " + std::to_string(clips.size()) + ":a -c:v copy -c:a " + f.codec + " -shortest " +
                quote(clips.back());
    }
    ASSERT_EQ(testutil::runCommand("ffmpeg -v error -nostdin -y" + sources + made), 0);

    std::vector<Decoded> decoded;
    for (size_t i = 0; i < std::size(formats); ++i) {
        const Format& f = formats[i];
        SCOPED_TRACE(names[i]);
        const testutil::StitcherRun info = testutil::runStitcher("--info " + quote(clips[i]));
        ASSERT_EQ(info.code, 0) << info.err;
        const std::string own = " " + std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) + " channel";
        const std::string carried = "  a video carries it over as AAC " + std::to_string(f.outRate) + " Hz, " +
                                    std::to_string(f.outChannels) + " channel";
        EXPECT_NE(info.out.find(own), std::string::npos) << info.out;
        EXPECT_NE(info.out.find(carried), std::string::npos) << info.out;

        const testutil::StitcherRun r =
            testutil::runStitcher("--size 16 --preset ultrafast --color-match off --frames " + std::to_string(kFrames) + " " +
                                  quote(clips[i]) + " " + quote(outs[i]));
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err.find("audio"), std::string::npos) << r.err;
        decoded.push_back({clips[i], f.outRate, f.outChannels, false});
        decoded.push_back({outs[i], f.outRate, f.outChannels, true});
    }
    ASSERT_EQ(decodeAll(decoded), 0);

    for (size_t i = 0; i < std::size(formats); ++i) {
        const Format& f = formats[i];
        SCOPED_TRACE(names[i]);
        // The video's sound decodes at its rate in its channels.
        EXPECT_EQ(wavFormat(outs[i] + ".wav"), std::to_string(f.outRate) + "," + std::to_string(f.outChannels));
        // The sound at the video's rate; the last AAC frame may run on past
        // the video's end.
        const int channels = f.outChannels;
        const std::vector<int16_t> in = testutil::s16le(testutil::readFile(clips[i] + ".raw")),
                                   got = testutil::s16le(testutil::readFile(outs[i] + ".raw"));
        const double length = static_cast<double>(got.size()) / channels, wanted = f.outRate * kFrames / 30.0;
        EXPECT_GE(length, wanted - f.outRate * 0.025);
        EXPECT_LE(length, wanted + 1024 + f.outRate * 0.025);
        const std::vector<int> peaks = testutil::channelPeaks(in, channels);
        for (int c = 0; c < channels; ++c)
            EXPECT_GT(peaks[c], 4000) << "the clip's channel " << c << " should carry its chirp";
        const testutil::SoundMatch m = compare(in, got, static_cast<long>(wanted), channels, f.outRate);
        std::string figures;
        for (double s : m.channelSnr) {
            char figure[32];
            std::snprintf(figure, sizeof figure, " %.0f", s);
            figures += figure;
        }
        std::printf("%s: lag %ld samples at %d Hz, SNR per channel (dB):%s\n", names[i].c_str(), m.lag, f.outRate,
                    figures.c_str());
        EXPECT_LE(std::labs(m.lag), f.outRate / 1000);
        for (int c = 0; c < channels; ++c) EXPECT_GE(m.channelSnr[c], 20.0) << "channel " << c;
    }
}

}  // namespace
