// Audio requests of the session: PCM against the ffmpeg command's decode,
// positions and byte counts, buffer growth, refused requests.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "control/CControl.h"
#include "decode_helpers.h"

using namespace dectest;

namespace {

// ffmpeg's decode with the edit list applied (encoder priming removed).
std::string RefPcm(const std::string& clip) {
    std::string out = testutil::makeTempDir("decpcm") + "/ref.pcm";
    std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + clip + "' -map 0:a -f s16le '" + out + "'";
    EXPECT_EQ(0, testutil::runCommand(cmd)) << cmd;
    return testutil::readFile(out);
}

// Signal-to-noise ratio in dB of `got` against `ref`, 16-bit samples.
double Snr(const unsigned char* got, const unsigned char* ref, size_t bytes) {
    const short* g = reinterpret_cast<const short*>(got);
    const short* r = reinterpret_cast<const short*>(ref);
    double sig = 0, noise = 0;
    for (size_t i = 0; i < bytes / 2; ++i) {
        sig += double(r[i]) * r[i];
        noise += double(g[i] - r[i]) * (g[i] - r[i]);
    }
    if (noise == 0) return 200.0;
    return 10.0 * std::log10(sig / noise);
}

struct AudioCase {
    const ClipRecipe* clip;
    unsigned char channels;
    unsigned int rate;
};

class AudioTest : public ::testing::TestWithParam<AudioCase> {};

// The library holds the first AAC frame back, so the PCM of a request from
// position 0 lines up with ffmpeg's output once its priming frame is cut.
// Two floating-point decoders: observed 73 dB (stereo) and 86 dB (mono) over
// the whole track, 60 dB and more on the first frames; one sample of
// misalignment would give about 20 dB.
constexpr double kMinSnrDb = 50.0;

TEST_P(AudioTest, WholeTrackMatchesFfmpeg) {
    const AudioCase& c = GetParam();
    std::string path = Make(*c.clip);
    Session s(path);
    ASSERT_NE(nullptr, s.handle());
    ASSERT_EQ(1, s.info().hasAudio);
    ASSERT_EQ(c.channels, s.info().channels);
    ASSERT_EQ(c.rate, s.info().samplerate);
    std::string ref = RefPcm(path);
    const long long samples = s.info().samples;
    const size_t frameBytes = size_t(2) * c.channels * 1024;
    ASSERT_GE(ref.size(), size_t(samples / 1024 - 2) * frameBytes);
    unsigned char* out = nullptr;
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 0, samples, out));
    ASSERT_NE(nullptr, out);
    CControl* ctl = static_cast<CControl*>(s.handle());
    EXPECT_EQ(ctl->m_pAudioBuf, out);
    EXPECT_GE(ctl->m_audioBufSize, size_t(samples) * 2 * c.channels);
    // Frames 2..N give N-1 frames of PCM; the last frame's tail is compared too.
    const size_t n = std::min(ref.size(), size_t(samples / 1024 - 1) * frameBytes);
    double snr = Snr(out, reinterpret_cast<const unsigned char*>(ref.data()), n);
    EXPECT_GE(snr, kMinSnrDb);
    // Bytes for the one frame that gave nothing stay zero.
    const size_t total = size_t(samples) * 2 * c.channels;
    for (size_t i = total - frameBytes; i < total; ++i) ASSERT_EQ(0, out[i]) << i;
}

TEST_P(AudioTest, RequestsStartAtWholeFramesAndContinue) {
    const AudioCase& c = GetParam();
    std::string path = Make(*c.clip);
    std::string ref = RefPcm(path);
    const size_t frameBytes = size_t(2) * c.channels * 1024;
    Session s(path);
    CControl* ctl = static_cast<CControl*>(s.handle());
    unsigned char* out = nullptr;
    // Start 1500, req 4096: AAC samples 2 to 5, PCM from position 1024. The
    // first of them gives nothing (the library holds it), so three frames.
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 1500, 4096, out));
    ASSERT_EQ(ctl->m_pAudioBuf, out);
    EXPECT_EQ(131072u, ctl->m_audioBufSize);
    size_t written = 3 * frameBytes;
    for (size_t i = written; i < ctl->m_audioBufSize; ++i) ASSERT_EQ(0, out[i]) << "byte " << i;
    // Frames 4 and 5 have had their predecessors decoded: they match the
    // reference at their positions (frame k's PCM is ffmpeg's frame k - 1).
    EXPECT_GE(Snr(out + frameBytes, reinterpret_cast<const unsigned char*>(ref.data()) + 2 * frameBytes,
                  2 * frameBytes),
              kMinSnrDb);
    // The decoder is never reset: the next request goes on seamlessly.
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 5 * 1024, 4096, out));
    EXPECT_GE(Snr(out, reinterpret_cast<const unsigned char*>(ref.data()) + 4 * frameBytes, 4 * frameBytes),
              kMinSnrDb);
    // A negative start counts as its truncated quotient: -1 is AAC sample 1.
    Session t(path);
    unsigned char* a = nullptr;
    ASSERT_EQ(0, PRDGetAudioSample(t.handle(), -1, 3 * 1024, a));
    EXPECT_GE(Snr(a, reinterpret_cast<const unsigned char*>(ref.data()), 2 * frameBytes), kMinSnrDb);
}

TEST_P(AudioTest, BufferOnlyGrows) {
    const AudioCase& c = GetParam();
    Session s(Make(*c.clip));
    CControl* ctl = static_cast<CControl*>(s.handle());
    unsigned char* out = nullptr;
    const long long big = 40 * 1024;  // more than the initial 131072 bytes for 2 channels
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 0, big, out));
    const unsigned int grown = ctl->m_audioBufSize;
    EXPECT_EQ(std::max<unsigned int>(131072u, unsigned(big) * 2 * c.channels), grown);
    std::vector<unsigned char> before(out, out + grown);
    unsigned char* again = nullptr;
    ASSERT_EQ(0, PRDGetAudioSample(s.handle(), 0, 2048, again));
    EXPECT_EQ(grown, ctl->m_audioBufSize);
    EXPECT_EQ(out, again);
    // Bytes beyond this call's keep what the earlier call wrote.
    const size_t frameBytes = size_t(2) * c.channels * 1024;
    EXPECT_TRUE(std::equal(before.begin() + 2 * frameBytes, before.end(), again + 2 * frameBytes));
}

INSTANTIATE_TEST_SUITE_P(Clips, AudioTest,
                         ::testing::Values(AudioCase{&kStereo, 2, 48000}, AudioCase{&kMono, 1, 44100}),
                         [](const ::testing::TestParamInfo<AudioCase>& i) {
                             return i.param.channels == 2 ? std::string("stereo") : std::string("mono");
                         });

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
