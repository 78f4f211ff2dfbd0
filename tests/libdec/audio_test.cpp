// Audio requests of the session: PCM against the ffmpeg command's decode (SNR
// and lag), any order of requests against one whole-track decode, every
// sampling rate, 5.1 channel order, positions, buffer growth, refusals.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>

#include "SoundMatch.h"
#include "control/CControl.h"
#include "decode_helpers.h"
#include "isobmff/Mp4Container.h"

using namespace dectest;

namespace {

// ffmpeg's decode with the edit list applied (encoder priming removed),
// kept beside the clip.
std::vector<short> RefPcm(const std::string& clip) {
    std::string name = clip.substr(clip.find_last_of('/') + 1) + ".s16le";
    std::string bytes = testutil::readFile(testutil::makeClip(name, "-i '" + clip + "' -map 0:a -f s16le"));
    std::vector<short> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    return pcm;
}

// Signal-to-noise ratio in dB of `got` against `ref` over n 16-bit samples.
double Snr(const short* got, const short* ref, size_t n) {
    testutil::SoundWindows w;
    w.snrTo = static_cast<long>(n);
    return testutil::compareSound({ref, n}, {got, n}, 1, w).snr;
}

// `got` against `ref` (ffmpeg's decode): the lag of `got` behind it in
// samples of channel `ch` of `channels`, by cross-correlation over a window
// of `ref` from 0.1 s on, and the SNR over the whole of `ref` with that lag
// taken out.
testutil::SoundMatch VsFfmpeg(const std::vector<short>& got, const std::vector<short>& ref, unsigned channels,
                              unsigned ch, unsigned rate) {
    testutil::SoundWindows w;
    w.maxLag = 1536;
    w.lagFrom = rate / 10;
    w.lagTo = w.lagFrom + std::min<long>(rate / 2, 8192);
    w.lagOnReference = true;
    w.lagChannel = static_cast<int>(ch);
    w.snrTo = static_cast<long>(ref.size() / channels);
    return testutil::compareSound(ref, got, static_cast<int>(channels), w);
}

// The whole track in one request.
std::vector<short> WholeTrack(Session& s) {
    unsigned char* out = nullptr;
    EXPECT_EQ(0, PRDGetAudioSample(s.handle(), 0, s.info().samples, out));
    if (!out) return {};
    const short* p = reinterpret_cast<const short*>(out);
    return std::vector<short>(p, p + size_t(s.info().samples) * s.info().channels);
}

// Chirps: a unique cross-correlation peak, unlike a steady tone.
const ClipRecipe kChirp{"dec_audio_chirp.mp4",
                        "-f lavfi -i testsrc2=size=32x32:rate=10:duration=3 -f lavfi -i "
                        "'aevalsrc=0.5*sin(2*PI*(200*t+300*t*t))|0.4*sin(2*PI*(3000*t-400*t*t)):s=48000:d=3' "
                        "-c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 128k -shortest"};

std::string RateClip(unsigned rate) {
    return testutil::makeClip("dec_audio_rate" + std::to_string(rate) + ".mp4",
                              "-f lavfi -i testsrc2=size=32x32:rate=10:duration=1 -f lavfi -i "
                              "'aevalsrc=0.5*sin(2*PI*(150*t+150*t*t)):s=" + std::to_string(rate) +
                                  ":d=1' -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest");
}

// Two floating-point decoders: observed 69 to 86 dB; one sample of
// misalignment would give about 20 dB on these signals.
constexpr double kMinSnrVsFfmpeg = 50.0;

// Every rate of the sampling-frequency table that the encoder takes gives its
// rate in the record, and PCM that is ffmpeg's own, without lag.
TEST(AudioRates, EveryRateMatchesFfmpeg) {
    for (unsigned rate : {8000u, 11025u, 12000u, 16000u, 22050u, 24000u, 32000u, 44100u, 48000u, 88200u}) {
        SCOPED_TRACE(rate);
        std::string path = RateClip(rate);
        Session s(path);
        ASSERT_NE(nullptr, s.handle());
        ASSERT_EQ(1, s.info().hasAudio);
        EXPECT_EQ(rate, s.info().samplerate);
        ASSERT_EQ(1, s.info().channels);
        std::vector<short> ref = RefPcm(path), got = WholeTrack(s);
        ASSERT_GE(got.size(), ref.size());
        ASSERT_GE(ref.size(), size_t(rate) * 9 / 10);
        const testutil::SoundMatch m = VsFfmpeg(got, ref, 1, 0, rate);
        EXPECT_EQ(0, m.lag);
        EXPECT_GE(m.snr, kMinSnrVsFfmpeg);
    }
}

// Stereo and mono: the record, the PCM against ffmpeg's, no lag; positions
// past the last decodable sample are silence.
TEST(AudioTrack, WholeTrackMatchesFfmpeg) {
    struct Case {
        std::string path;
        unsigned char channels;
        unsigned int rate;
    };
    for (const Case& c : {Case{Make(kChirp), 2, 48000}, Case{RateClip(44100), 1, 44100}}) {
        SCOPED_TRACE(c.path);
        const std::string& path = c.path;
        Session s(path);
        ASSERT_NE(nullptr, s.handle());
        ASSERT_EQ(c.channels, s.info().channels);
        ASSERT_EQ(c.rate, s.info().samplerate);
        std::vector<short> ref = RefPcm(path), got = WholeTrack(s);
        ASSERT_EQ(ref.size() + 1024u * c.channels, got.size()) << "the priming frame is cut, the track's end is not";
        for (unsigned ch = 0; ch < c.channels; ++ch) {
            const testutil::SoundMatch m = VsFfmpeg(got, ref, c.channels, ch, c.rate);
            EXPECT_EQ(0, m.lag) << ch;
            EXPECT_GE(m.snr, kMinSnrVsFfmpeg) << ch;
        }
        EXPECT_TRUE(std::all_of(got.begin() + ref.size(), got.end(), [](short v) { return v == 0; }));
        CControl* ctl = static_cast<CControl*>(s.handle());
        unsigned char* out = nullptr;
        ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 0, s.info().samples, out));
        EXPECT_EQ(ctl->m_pAudioBuf, out);
    }
}

// Any sequence of requests gives the PCM of one whole-track decode at the
// same positions: in order, in unaligned overlapping reads (as a player
// re-reads the block it stopped in), backwards, at random.
TEST(AudioTrack, AnyRequestOrderMatchesWholeTrack) {
    std::string path = Make(kChirp);
    Session whole(path);
    std::vector<short> all = WholeTrack(whole);
    const unsigned C = whole.info().channels;
    const long long blocks = whole.info().samples / 1024;
    ASSERT_GT(blocks, 100);

    struct Request {
        long long start, req;
    };
    std::vector<std::pair<const char*, std::vector<Request>>> orders;
    std::vector<Request> v;
    for (long long b = 0; b + 3 <= blocks; b += 3) v.push_back({b * 1024, 3 * 1024});
    orders.push_back({"contiguous", v});
    v.clear();
    for (long long p = 0; p + 5000 < blocks * 1024; p += 3000) v.push_back({p, 4096});
    orders.push_back({"overlapping", v});
    v.clear();
    for (long long b = blocks - 1; b >= 0; --b) v.push_back({b * 1024 + 17, 1024});
    orders.push_back({"backwards", v});
    v.clear();
    std::mt19937 rng(11);
    for (int i = 0; i < 60; ++i) {
        long long n = 1 + rng() % 4, b = rng() % (blocks - n + 1);
        v.push_back({b * 1024 + static_cast<long long>(rng() % 1024), n * 1024 + static_cast<long long>(rng() % 1024)});
    }
    orders.push_back({"random", v});

    for (const auto& o : orders) {
        Session s(path);
        double worst = 1e9;
        for (const Request& r : o.second) {
            unsigned char* out = nullptr;
            ASSERT_EQ(0, PRDGetAudioSample(s.handle(), r.start, r.req, out)) << o.first << " " << r.start;
            const size_t at = size_t(r.start / 1024) * 1024 * C, n = size_t(r.req / 1024) * 1024 * C;
            worst = std::min(worst, Snr(reinterpret_cast<const short*>(out), all.data() + at, n));
        }
        EXPECT_GE(worst, 60.0) << o.first;
    }
}

// An AAC frame that does not decode is silence in its place; every other
// position keeps its sound.
TEST(AudioTrack, DamagedFrameIsSilenceInPlace) {
    std::string path = Make(kChirp);
    auto file = mp4::File::open(path.c_str());
    ASSERT_TRUE(file);
    const mp4::Track& a = file->tracks()[1];
    ASSERT_EQ("soun", a.handler);
    const mp4::Sample& bad = a.samples[49];  // AAC sample 50: positions 48 * 1024 on (1024 priming)
    std::string damaged = testutil::damagedCopy(path, bad.offset, bad.size, false);

    Session good(path), s(damaged);
    std::vector<short> ref = WholeTrack(good), got = WholeTrack(s);
    ASSERT_EQ(ref.size(), got.size());
    const size_t C = 2, block = 1024 * C;
    EXPECT_TRUE(std::all_of(got.begin() + 48 * block, got.begin() + 49 * block, [](short x) { return x == 0; }));
    EXPECT_GE(Snr(got.data(), ref.data(), 48 * block), 60.0);
    EXPECT_GE(Snr(got.data() + 50 * block, ref.data() + 50 * block, ref.size() - 50 * block), 60.0);
}

// 5.1: each channel carries its own tone; the PCM channels are in FFmpeg's
// order (front left, right, centre, LFE, surround left, right), as its decode.
TEST(AudioTrack, SurroundChannelsInFfmpegOrder) {
    std::string path = testutil::makeClip(
        "dec_audio_51.mp4",
        "-f lavfi -i testsrc2=size=32x32:rate=10:duration=1 -f lavfi -i "
        "'aevalsrc=0.5*sin(2*PI*300*t)|0.5*sin(2*PI*500*t)|0.5*sin(2*PI*700*t)|0.5*sin(2*PI*60*t)|"
        "0.5*sin(2*PI*1100*t)|0.5*sin(2*PI*1300*t):s=48000:d=1:c=5.1' -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest");
    Session s(path);
    ASSERT_NE(nullptr, s.handle());
    ASSERT_EQ(6, s.info().channels);
    std::vector<short> ref = RefPcm(path), got = WholeTrack(s);
    ASSERT_GE(got.size(), ref.size());
    testutil::SoundWindows whole;
    whole.snrTo = static_cast<long>(ref.size() / 6);
    const testutil::SoundMatch m = testutil::compareSound(ref, got, 6, whole);
    for (unsigned ch = 0; ch < 6; ++ch) EXPECT_GE(m.channelSnr[ch], 40.0) << "channel " << ch;
}

TEST(AudioRequests, StartAtWholeBlocksAndContinue) {
    std::string path = Make(kChirp);
    Session whole(path);
    std::vector<short> all = WholeTrack(whole);
    Session s(path);
    CControl* ctl = static_cast<CControl*>(s.handle());
    unsigned char* out = nullptr;
    // Start 1500, req 4096: positions 1024 to 5119, four blocks of two channels.
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 1500, 4096, out));
    ASSERT_EQ(ctl->m_pAudioBuf, out);
    EXPECT_EQ(131072u, ctl->m_audioBufSize);
    EXPECT_GE(Snr(reinterpret_cast<short*>(out), all.data() + 2048, 8192), 60.0);
    unsigned char* end = out + ctl->m_audioBufSize;
    unsigned char* set = std::find_if(out + 4 * 4096, end, [](unsigned char b) { return b != 0; });
    ASSERT_EQ(end, set) << "byte " << (set - out) << " past the four blocks is set";
    // A negative start counts as its truncated quotient: -1 is block 0.
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), -1, 2048, out));
    EXPECT_GE(Snr(reinterpret_cast<short*>(out), all.data(), 4096), 60.0);
}

TEST(AudioRequests, BufferOnlyGrows) {
    for (const ClipRecipe* clip : {&kStereo, &kMono}) {
        Session s(Make(*clip));
        const unsigned C = s.info().channels;
        CControl* ctl = static_cast<CControl*>(s.handle());
        unsigned char* out = nullptr;
        const long long big = 40 * 1024;  // more than the initial 131072 bytes for 2 channels
        ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 0, big, out));
        const unsigned int grown = ctl->m_audioBufSize;
        EXPECT_EQ(std::max<unsigned int>(131072u, unsigned(big) * 2 * C), grown);
        std::vector<unsigned char> before(out, out + grown);
        unsigned char* again = nullptr;
        ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 0, 2048, again));
        EXPECT_EQ(grown, ctl->m_audioBufSize);
        EXPECT_EQ(out, again);
        // Bytes beyond this call's keep what the earlier call wrote.
        const size_t frameBytes = size_t(2) * C * 1024;
        EXPECT_TRUE(std::equal(before.begin() + 2 * frameBytes, before.end(), again + 2 * frameBytes));
    }
}

// Negative and absurd lengths are refused before any buffer is sized from
// them; the session stays usable.
TEST(AudioRequests, AbsurdLengthsRefused) {
    Session s(Make(kStereo));
    CControl* ctl = static_cast<CControl*>(s.handle());
    const long long samples = s.info().samples;
    const long long bad[] = {-1, -1024, -4096, LLONG_MIN, LLONG_MAX, 1LL << 40, 1LL << 31,
                             (samples / 1024 + 1) * 1024, samples + 1024};
    unsigned char sentinel = 0;
    for (long long req : bad) {
        unsigned char* out = &sentinel;
        EXPECT_EQ(1, PRDGetAudioSample(s.handle(), 0, req, out)) << req;
        EXPECT_EQ(&sentinel, out) << req;
        EXPECT_EQ(131072u, ctl->m_audioBufSize) << req;
        EXPECT_EQ(1, PRDGetAudioSample(s.handle(), -5000, req, out)) << req;
    }
    unsigned char* out = nullptr;
    EXPECT_EQ(0, PRDGetAudioSample(s.handle(), 0, samples, out)) << "the whole track is still fine";
    EXPECT_EQ(0, PRDGetAudioSample(s.handle(), 0, samples + 1023, out));
    EXPECT_EQ(1, PRDGetAudioSample(s.handle(), 1024, samples, out)) << "runs past the last frame";
    EXPECT_EQ(1, PRDGetAudioSample(s.handle(), -1024, 1024, out)) << "before the first frame";
}

TEST(AudioRequests, ShortRequestsAndClipsWithoutAudio) {
    {
        Session s(Make(kStereo));
        unsigned char* out = nullptr;
        EXPECT_EQ(0, PRDGetAudioSample(s.handle(), 0, 1023, out));
        EXPECT_EQ(static_cast<CControl*>(s.handle())->m_pAudioBuf, out);
        EXPECT_NE(nullptr, out);
        EXPECT_EQ(0, PRDGetAudioSample(s.handle(), 0, 0, out));
    }
    {
        Session s(Make(kClipNoB30));
        ASSERT_NE(nullptr, s.handle());
        unsigned char sentinel = 0;
        unsigned char* out = &sentinel;
        EXPECT_EQ(0, PRDGetAudioSample(s.handle(), 0, 1000, out));
        EXPECT_EQ(nullptr, out);
        out = &sentinel;
        EXPECT_EQ(1, PRDGetAudioSample(s.handle(), 0, 1024, out));
        EXPECT_EQ(&sentinel, out);
        EXPECT_EQ(1, PRDGetAudioSample(s.handle(), 0, -1, out));
    }
    unsigned char* out = nullptr;
    EXPECT_EQ(1, PRDGetAudioSample(nullptr, 0, 1024, out));
}

}  // namespace
