// MP4 clip reader: track acceptance, media record, parameter sets, GOP size
// and the sample rewrite, on clips from the ffmpeg command and the test writer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Mp4Writer.h"
#include "isobmff/Mp4Container.h"
#include "mp4read/CMp4Read.h"
#include "log_home.h"
#include "test_clips.h"

namespace {

// The log goes to a private folder so that its lines can be checked.
::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new loghome::HomeEnv("reader_home"));
using loghome::LogMark;

// One NAL unit with its 4-byte length prefix: header byte, then `payload` bytes.
std::string Nal(uint8_t header, size_t payload, char fill = '\x55') {
    uint32_t len = static_cast<uint32_t>(payload + 1);
    std::string s;
    s += char(len >> 24);
    s += char(len >> 16);
    s += char(len >> 8);
    s += char(len);
    s += char(header);
    s.append(payload, fill);
    return s;
}
const uint8_t kAud = 0x09, kSei = 0x06, kIdr = 0x65, kSlice = 0x41, kSps = 0x67;
const std::string kSpsBytes("\x67\x42\xc0\x0a\xda\x0f", 6);
const std::string kPpsBytes("\x68\xce\x3c\x80", 4);

std::string TmpPath(const std::string& name) {
    static std::string dir = testutil::makeTempDir("reader_clips");
    return dir + "/" + name;
}

std::string Write(testutil::Mp4Writer& w, const std::string& name) {
    std::string path = TmpPath(name);
    EXPECT_TRUE(w.writeFile(path)) << path;
    return path;
}

// A video track whose samples are given; key samples are those with sync set.
testutil::Mp4Writer::Track& AddVideo(testutil::Mp4Writer& w, const std::vector<std::string>& samples,
                                     const std::string& entry = "avc1") {
    auto& v = w.addVideoTrack(entry, 64, 32, {kSpsBytes}, {kPpsBytes});
    for (const auto& s : samples) v.samples.push_back({s, true});
    return v;
}

// n samples, IDR at the given 1-based positions, P slices elsewhere.
std::vector<std::string> Gop(unsigned n, std::vector<unsigned> keys) {
    std::vector<std::string> out;
    for (unsigned i = 1; i <= n; ++i) {
        bool key = false;
        for (unsigned k : keys) key |= (k == i);
        out.push_back(Nal(key ? kIdr : kSlice, 10 + i));
    }
    return out;
}

std::unique_ptr<CMp4Read> Open(const std::string& path) { return std::make_unique<CMp4Read>(path.c_str()); }

// ffmpeg clip: 64x48 video at 25 fps with IDR every 10 frames, stereo AAC at 48 kHz.
std::string FfmpegClip() {
    return testutil::makeClip(
        "reader_av.mp4",
        "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 "
        "-c:v libx264 -pix_fmt yuv420p -bf 0 -x264-params keyint=10:min-keyint=10:scenecut=0 "
        "-c:a aac -ac 2 -b:a 64k -shortest");
}

struct Packet {
    unsigned size;
    bool key;
};
std::vector<Packet> Probe(const std::string& path, const char* stream) {
    std::string out = testutil::captureCommand("ffprobe -v error -select_streams " + std::string(stream) +
                                               " -show_entries packet=size,flags -of csv=p=0 '" + path + "'");
    std::vector<Packet> pk;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        size_t comma = line.find(',');
        pk.push_back({static_cast<unsigned>(std::stoul(line.substr(0, comma))),
                      comma != std::string::npos && line.find('K', comma) != std::string::npos});
    }
    return pk;
}

}  // namespace

TEST(Reader, FfmpegClipAgreesWithProbe) {
    std::string path = FfmpegClip();
    ASSERT_FALSE(path.empty());
    auto video = Probe(path, "v:0");
    auto audio = Probe(path, "a:0");
    ASSERT_EQ(video.size(), 50u);
    ASSERT_GT(audio.size(), 80u);

    auto r = Open(path);
    _MediaInfo info{};
    ASSERT_EQ(r->GetMediaInfo(info), 0);
    EXPECT_EQ(info.hasVideo, 1);
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 48u);
    EXPECT_EQ(info.frames, 50u);
    EXPECT_NEAR(info.fps, 25.0, 1e-6);
    EXPECT_EQ(info.hasAudio, 1);
    EXPECT_EQ(info.samplerate, 48000u);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samples, static_cast<int64_t>(audio.size()) * 1024);
    EXPECT_EQ(r->m_videoSampleCount, 50u);
    EXPECT_EQ(r->m_audioSampleCount, audio.size());
    EXPECT_EQ(r->GetGopSize(), 10);

    unsigned char* ps = nullptr;
    unsigned int psSize = 0;
    ASSERT_EQ(r->GetSpsPps(ps, psSize), 0);
    ASSERT_GT(psSize, 10u);
    EXPECT_EQ(std::memcmp(ps, "\0\0\0\1", 4), 0);
    EXPECT_EQ(ps[4] & 0x1F, 7);
    unsigned char* again = nullptr;
    unsigned int againSize = 0;
    ASSERT_EQ(r->GetSpsPps(again, againSize), 0);
    EXPECT_EQ(again, ps);
    EXPECT_EQ(againSize, psSize);

    for (unsigned n = 1; n <= video.size(); ++n) {
        unsigned char* data = nullptr;
        unsigned int size = 0;
        bool key = false;
        ASSERT_EQ(r->GetVideoSample(n, data, size, key), 0) << n;
        EXPECT_EQ(key, video[n - 1].key) << n;
        EXPECT_EQ(key, (n - 1) % 10 == 0) << n;
        ASSERT_GE(data, r->m_pVideoSampleBuf);
        EXPECT_EQ(data - r->m_pVideoSampleBuf + size, video[n - 1].size) << n;  // only leading units skipped
        EXPECT_EQ(std::memcmp(data, "\0\0\0\1", 4), 0);
        EXPECT_TRUE((data[4] & 0x1F) == 5 || (data[4] & 0x1F) == 1) << n;
    }
    for (unsigned n = 1; n <= audio.size(); ++n) {
        unsigned char* data = nullptr;
        unsigned int size = 0;
        ASSERT_EQ(r->GetAudioSample(n, data, size), 0);
        EXPECT_EQ(size, audio[n - 1].size) << n;
        EXPECT_EQ(data, r->m_pAudioSampleBuf);
    }

    // Past the end and sample 0.
    LogMark mark;
    unsigned char* data = nullptr;
    unsigned int size = 0;
    bool key = false;
    EXPECT_EQ(r->GetVideoSample(51, data, size, key), 1);
    EXPECT_EQ(r->GetAudioSample(static_cast<unsigned>(audio.size()) + 1, data, size), 1);
    EXPECT_EQ(r->GetVideoSample(0, data, size, key), 1);
    EXPECT_EQ(r->GetAudioSample(0, data, size), 1);
    std::string log = mark.Since();
    EXPECT_NE(log.find("video sampleindx: 51 > maxsamplenum: 50"), std::string::npos) << log;
    EXPECT_NE(log.find("audio sampleindex: " + std::to_string(audio.size() + 1) + " > maxsamplenum: " +
                       std::to_string(audio.size())),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ERROR Failed on MP4ReadSample()"), std::string::npos) << log;
}

// Which clips are accepted and with which log line the others are refused.
TEST(Reader, TrackAcceptance) {
    struct Case {
        const char* name;
        void (*build)(testutil::Mp4Writer&);
        bool opens;
        const char* logged;
    };
    const Case cases[] = {
        {"avc1", [](testutil::Mp4Writer& w) { AddVideo(w, Gop(3, {1})); }, true, nullptr},
        {"encv_264b",
         [](testutil::Mp4Writer& w) { AddVideo(w, Gop(3, {1}), "encv").originalFormat = "264b"; }, true,
         nullptr},
        {"encv_avc1",
         [](testutil::Mp4Writer& w) { AddVideo(w, Gop(3, {1}), "encv").originalFormat = "avc1"; }, false,
         "INFO  The track is ENCV, but nsot 264b"},
        {"encv_no_frma", [](testutil::Mp4Writer& w) { AddVideo(w, Gop(3, {1}), "encv"); }, false,
         "ERROR Failed on MP4GetTrackMediaDataOriginalFormat()"},
        {"hvc1_with_audio",
         [](testutil::Mp4Writer& w) {
             AddVideo(w, Gop(3, {1}), "hvc1");
             w.addAudioTrack(0x40, std::string("\x11\x90", 2)).samples.push_back({"abc", true});
         },
         false, "INFO  The track is not avc1"},
        {"audio_only",
         [](testutil::Mp4Writer& w) {
             w.addAudioTrack(0x67, std::string("\x11\x90", 2)).samples.push_back({"abc", true});
         },
         true, nullptr},
        {"text_only",
         [](testutil::Mp4Writer& w) { w.addTextTrack().samples.push_back({std::string(200, 'x'), true}); },
         false, "ERROR Neither video track nor audio track exists in the file."},
        {"no_tracks", [](testutil::Mp4Writer&) {}, false, "ERROR Failed to initialize CMp4read"},
        {"other_handler",
         [](testutil::Mp4Writer& w) {
             w.addTrack("hint", "rtp ").samples.push_back({"x", true});
             AddVideo(w, Gop(3, {1}));
         },
         true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::Mp4Writer w;
        c.build(w);
        std::string path = Write(w, std::string(c.name) + ".mp4");
        LogMark mark;
        if (c.opens) {
            EXPECT_NO_THROW(Open(path));
        } else {
            try {
                Open(path);
                ADD_FAILURE() << "opened";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Failed to initialize CMp4read");
            }
            std::string log = mark.Since();
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
            EXPECT_NE(log.find("ERROR Failed to initialize CMp4read"), std::string::npos) << log;
        }
    }

    LogMark mark;
    EXPECT_THROW(CMp4Read(nullptr), std::runtime_error);
    EXPECT_THROW(Open(TmpPath("does_not_exist.mp4")), std::runtime_error);
    std::string log = mark.Since();
    EXPECT_NE(log.find("ERROR Filename is empty."), std::string::npos) << log;
    EXPECT_NE(log.find("does_not_exist.mp4"), std::string::npos) << log;
}

// Of several tracks of a kind the one presented is used (the first enabled,
// else the first); the others are not looked at, and sound that cannot be
// decoded leaves the clip without audio.
TEST(Reader, PresentedTrackOfAKindIsUsed) {
    testutil::Mp4Writer w;
    AddVideo(w, Gop(3, {1})).tkhdFlags = 2;                        // id 1, disabled
    w.addTextTrack().samples.push_back({"t", true});               // id 2
    AddVideo(w, Gop(5, {1}));                                      // id 3
    AddVideo(w, Gop(4, {1}), "hvc1");                              // id 4, not looked at
    w.addAudioTrack(0x40, std::string("\x12\x10", 2)).samples.push_back({"ab", true});  // id 5
    w.addAudioTrack(0x6B, std::string("\x12\x10", 2)).samples.push_back({"cd", true});  // id 6
    w.addTrack("sbtl", "tx3g").samples.push_back({"u", true});     // id 7
    auto r = Open(Write(w, "multi.mp4"));
    EXPECT_EQ(r->m_videoTrackId, 3u);
    EXPECT_EQ(r->m_videoSampleCount, 5u);
    EXPECT_EQ(r->m_textTrackId, 2u);
    EXPECT_EQ(r->m_textTrackIds, (std::vector<unsigned int>{2, 7}));
    EXPECT_EQ(r->m_audioTrackId, 5u);
    EXPECT_EQ(r->m_soundTrackId, 5u);
    _MediaInfo info{};
    ASSERT_EQ(r->GetMediaInfo(info), 0);
    EXPECT_EQ(info.frames, 5u);
    EXPECT_EQ(info.samplerate, 44100u);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samples, 1024);

    // MP3 (or a protected entry) presented: no audio, the video still reads.
    for (const char* entry : {"mp4a", "enca"}) {
        SCOPED_TRACE(entry);
        testutil::Mp4Writer m;
        AddVideo(m, Gop(3, {1}));
        auto& disabled = m.addAudioTrack(0x40, std::string("\x12\x10", 2));  // id 2
        disabled.tkhdFlags = 0;
        disabled.samples.push_back({"ab", true});
        m.addAudioTrack(std::string(entry) == "mp4a" ? 0x6B : 0x40, std::string("\x12\x10", 2), entry)
            .samples.push_back({"cd", true});
        LogMark mark;
        auto s = Open(Write(m, std::string("sound_") + entry + ".mp4"));
        EXPECT_EQ(s->m_videoTrackId, 1u);
        EXPECT_EQ(s->m_soundTrackId, 3u);
        EXPECT_EQ(s->m_audioTrackId, 0u);
        _MediaInfo none{};
        ASSERT_EQ(s->GetMediaInfo(none), 0);
        EXPECT_EQ(none.hasAudio, 0);
        EXPECT_NE(mark.Since().find("sound track 3 (" + std::string(entry) + ") cannot be decoded here"),
                  std::string::npos);
    }
}

TEST(Reader, SampleRateTable) {
    CMp4Read* r = nullptr;
    testutil::Mp4Writer w;
    AddVideo(w, Gop(1, {1}));
    auto owner = Open(Write(w, "rate_table.mp4"));
    r = owner.get();
    const unsigned expect[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                 16000, 12000, 11025, 8000,  7350,  0,     0,     0};
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(r->GetSampleRateByIndex(static_cast<unsigned char>(i)), expect[i]) << i;
}

// The audio record from the decoder configuration bytes.
TEST(Reader, AudioRecordFromConfiguration) {
    struct Case {
        std::string config;
        uint8_t hasAudio;
        unsigned rate;
        unsigned channels;
        const char* logged;
    };
    const Case cases[] = {
        {std::string("\x11\x90", 2), 1, 48000, 2, nullptr},                // LC 48 kHz stereo
        {std::string("\x12\x08", 2), 1, 44100, 1, nullptr},                // LC 44.1 kHz mono
        {std::string("\x10\x10", 2), 1, 96000, 2, nullptr},                // index 0
        {std::string("\x13\x08\x56\xe5", 4), 1, 24000, 1, nullptr},        // index 6, extra bytes ignored
        {std::string("\x14\x10", 2), 1, 16000, 2, nullptr},                // index 8
        {std::string("\x12\x90", 2), 1, 32000, 2, nullptr},                // index 5
        {std::string("\x15\x88", 2), 1, 8000, 1, nullptr},                 // index 11
        {std::string("\x16\x08", 2), 1, 7350, 1, nullptr},                 // index 12
        {std::string("\x16\x90", 2), 1, 0, 2, "ERROR invalid samplerate index:13"},
        {std::string("\x17\x80\x2e\xe0\x10", 5), 1, 24000, 2, nullptr},  // index 15: rate in 24 bits
        {std::string("\x17\x88", 2), 1, 0, 1, "ERROR invalid samplerate index:15"},  // ... cut off
        {std::string("\xf8\x46\x40", 3), 1, 48000, 2, nullptr},           // object type 34 (escaped)
        {std::string("\x12", 1), 0, 0, 0, "too short"},
        {std::string(), 0, 0, 0, "too short"},
    };
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(i);
        testutil::Mp4Writer w;
        AddVideo(w, Gop(4, {1}));
        auto& a = w.addAudioTrack(0x40, c.config);
        for (int k = 0; k < 3; ++k) a.samples.push_back({std::string(20 + k, 'a'), true});
        auto r = Open(Write(w, "config" + std::to_string(i++) + ".mp4"));
        LogMark mark;
        _MediaInfo info{};
        ASSERT_EQ(r->GetMediaInfo(info), 0);
        // Video is unaffected by the audio configuration.
        EXPECT_EQ(info.hasVideo, 1);
        EXPECT_EQ(info.width, 64u);
        EXPECT_EQ(info.height, 32u);
        EXPECT_EQ(info.frames, 4u);
        EXPECT_NEAR(info.fps, 25.0, 1e-9);
        EXPECT_EQ(info.hasAudio, c.hasAudio);
        EXPECT_EQ(info.samplerate, c.rate);
        EXPECT_EQ(info.channels, c.channels);
        EXPECT_EQ(info.samples, c.hasAudio ? 3 * 1024 : 0);
        std::string log = mark.Since();
        if (c.logged) {
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        }
        unsigned char* data = nullptr;
        unsigned int size = 0;
        EXPECT_EQ(r->GetAudioSample(2, data, size), c.hasAudio ? 0 : 1);
        if (c.hasAudio) {
            EXPECT_EQ(size, 21u);
        }
        std::ostringstream record;
        record << "width:64 height:32 fps:25.000000 frames:4 samplerate:" << c.rate << " channels:" << c.channels
               << " samples:" << (c.hasAudio ? 3072 : 0);
        EXPECT_NE(log.find(record.str()), std::string::npos) << log;
    }
}

TEST(Reader, GopSize) {
    struct Case {
        unsigned samples;
        std::vector<unsigned> keys;
        int gop;
    };
    const Case cases[] = {
        {40, {1, 31}, 30},
        {7, {1, 3, 5}, 2},
        {3, {1, 2}, 1},
        {12, {1}, 12},      // one key sample: the whole track is one GOP
        {5, {1, 5}, 5},     // the last sample is not examined
        {2, {1, 2}, 2},
        {1, {1}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.samples);
        testutil::Mp4Writer w;
        AddVideo(w, Gop(c.samples, c.keys));
        auto r = Open(Write(w, "gop" + std::to_string(c.samples) + ".mp4"));
        LogMark mark;
        EXPECT_EQ(r->GetGopSize(), c.gop);
        EXPECT_NE(mark.Since().find("GOP SIZE:" + std::to_string(c.gop) + " "), std::string::npos) << mark.Since();
    }
    // No video samples, and no video at all.
    {
        testutil::Mp4Writer w;
        AddVideo(w, {});
        auto r = Open(Write(w, "gop_empty.mp4"));
        LogMark mark;
        EXPECT_EQ(r->GetGopSize(), 0);
        EXPECT_NE(mark.Since().find("Failed to GetGopSize()"), std::string::npos);
    }
    {
        testutil::Mp4Writer w;
        w.addAudioTrack(0x40, std::string("\x11\x90", 2)).samples.push_back({"abc", true});
        auto r = Open(Write(w, "gop_audio_only.mp4"));
        EXPECT_EQ(r->GetGopSize(), 0);
        unsigned char* ps = nullptr;
        unsigned int psSize = 0;
        LogMark mark;
        EXPECT_EQ(r->GetSpsPps(ps, psSize), 1);
        EXPECT_NE(mark.Since().find("ERROR GetSpsPps() failed because of NO video track"), std::string::npos);
        bool key;
        EXPECT_EQ(r->GetVideoSample(1, ps, psSize, key), 1);
    }
}

TEST(Reader, ParameterSets) {
    testutil::Mp4Writer w;
    auto& v = w.addVideoTrack("avc1", 64, 32, {kSpsBytes, std::string("\x67\x00", 2)}, {kPpsBytes, "\x68"});
    v.samples.push_back({Nal(kIdr, 4), true});
    auto r = Open(Write(w, "spspps.mp4"));
    unsigned char* ps = nullptr;
    unsigned int size = 0;
    ASSERT_EQ(r->GetSpsPps(ps, size), 0);
    std::string expect = std::string("\0\0\0\1", 4) + kSpsBytes + std::string("\0\0\0\1", 4) + kPpsBytes;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ps), size), expect);

    testutil::Mp4Writer none;
    none.addVideoTrack("avc1", 64, 32).writeAvcC = false;
    none.tracks()[0].samples.push_back({Nal(kIdr, 4), true});
    auto r2 = Open(Write(none, "no_avcc.mp4"));
    LogMark mark;
    EXPECT_EQ(r2->GetSpsPps(ps, size), 1);
    EXPECT_NE(mark.Since().find("ERROR Failed on MP4GetTrackH264SeqPictHeaders()"), std::string::npos);
}

// The leading-unit skip and start-code rewrite, including samples too short
// for a NAL header and lengths that run past the sample. Each case is the
// largest sample of its clip, so a read past it leaves the reader's buffer.
TEST(Reader, VideoSampleRewrite) {
    struct Case {
        const char* name;
        std::string sample;
        size_t offset;                // where data points, from the buffer start
        unsigned size;
        bool key;
        std::vector<size_t> codes;    // prefixes that became 00 00 00 01
    };
    const std::string aud = Nal(kAud, 1), sei = Nal(kSei, 7), idr = Nal(kIdr, 20);
    const size_t as = aud.size() + sei.size();
    const Case cases[] = {
        {"aud_sei_idr", aud + sei + idr, as, unsigned(idr.size()), true, {as}},
        {"sei_p_slice", sei + Nal(kSlice, 9), sei.size(), 14, false, {sei.size()}},
        {"sps_first", Nal(kSps, 5) + idr, 0, unsigned(10 + idr.size()), true, {0, 10}},
        {"idr_and_more", idr + Nal(kSlice, 3), 0, unsigned(idr.size() + 8), true, {0, 25}},
        // Several slices of one picture, SEI between them kept.
        {"four_slices", aud + idr + Nal(kIdr, 7) + sei + Nal(kIdr, 2), aud.size(), unsigned(25 + 12 + 12 + 7), true,
         {aud.size(), aud.size() + 25, aud.size() + 37, aud.size() + 49}},
        {"empty_unit_between", idr + std::string("\0\0\0\0", 4) + Nal(kSlice, 2), 0, 36, true, {0, 25, 29}},
        // A later length past the end stops the rewrite; the rest stays as it is.
        {"later_length_past_end", idr + std::string("\0\0\x10\0\x41\x01", 6), 0, 31, true, {0}},
        {"aud_sei_only", aud + sei, aud.size(), 0, false, {aud.size()}},
        {"aud_only", aud, 0, 0, false, {0}},
        {"aud_length_past_end", std::string("\0\0\0\x20\x09\xf0", 6), 0, 0, false, {0}},
        {"aud_length_overflow", std::string("\xff\xff\xff\xff\x09\xf0\x00\x00", 8), 0, 0, false, {0}},
        {"aud_then_3_bytes", aud + std::string("\0\0\0", 3), aud.size(), 3, false, {}},
        {"aud_then_4_bytes", aud + std::string("\0\0\0\x05", 4), aud.size(), 4, false, {}},
        {"four_bytes", std::string("\0\0\0\x01", 4), 0, 4, false, {}},
        {"one_byte", std::string("\x65", 1), 0, 1, false, {}},
        {"empty", std::string(), 0, 0, false, {}},
        {"idr_header_only", std::string("\0\0\0\x01\x65", 5), 0, 5, true, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::Mp4Writer w;
        AddVideo(w, {c.sample});
        auto r = Open(Write(w, std::string("rw_") + c.name + ".mp4"));
        ASSERT_EQ(r->m_videoMaxSampleSize, c.sample.size());
        unsigned char* data = nullptr;
        unsigned int size = 12345;
        bool key = !c.key;
        ASSERT_EQ(r->GetVideoSample(1, data, size, key), 0);
        EXPECT_EQ(data, r->m_pVideoSampleBuf + c.offset);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(key, c.key);
        std::string expect = c.sample;
        for (size_t at : c.codes) expect.replace(at, 4, std::string("\0\0\0\1", 4));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(r->m_pVideoSampleBuf), c.sample.size()), expect);
    }
}

// Length prefixes of 1 and 2 bytes (avcC): the sample comes out in Annex-B
// form all the same, in a buffer of its own.
TEST(Reader, ShortLengthPrefixes) {
    auto unit = [](unsigned bytes, uint8_t header, size_t payload) {
        std::string s;
        for (unsigned i = bytes; i-- > 0;) s += char(((payload + 1) >> (8 * i)) & 0xFF);
        return s + char(header) + std::string(payload, '\x33');
    };
    auto annexB = [](uint8_t header, size_t payload) {
        return std::string("\0\0\0\1", 4) + char(header) + std::string(payload, '\x33');
    };
    for (unsigned L : {1u, 2u}) {
        SCOPED_TRACE(L);
        struct Case {
            std::string sample, expect;
            bool key;
        };
        const Case cases[] = {
            {unit(L, kAud, 1) + unit(L, kIdr, 30) + unit(L, kIdr, 12), annexB(kIdr, 30) + annexB(kIdr, 12), true},
            {unit(L, kSei, 3) + unit(L, kSlice, 9), annexB(kSlice, 9), false},
            {unit(L, kSps, 4) + unit(L, 0x68, 2) + unit(L, kIdr, 5), annexB(kSps, 4) + annexB(0x68, 2) + annexB(kIdr, 5),
             true},
            // A length past the end: the bytes are passed on behind the last start code.
            {unit(L, kSlice, 4) + std::string(L, '\x7f') + "\x41", annexB(kSlice, 4) + std::string(L, '\x7f') + "\x41",
             false},
        };
        testutil::Mp4Writer w;
        auto& v = w.addVideoTrack("avc1", 64, 32, {kSpsBytes}, {kPpsBytes});
        v.nalLengthSize = static_cast<uint8_t>(L);
        for (const Case& c : cases) v.samples.push_back({c.sample, true});
        auto r = Open(Write(w, "prefix" + std::to_string(L) + ".mp4"));
        EXPECT_EQ(r->m_videoNalLengthSize, L);
        for (unsigned n = 1; n <= 4; ++n) {
            unsigned char* data = nullptr;
            unsigned int size = 0;
            bool key = false;
            ASSERT_EQ(r->GetVideoSample(n, data, size, key), 0);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), cases[n - 1].expect) << n;
            EXPECT_EQ(key, cases[n - 1].key) << n;
        }
    }
}

TEST(Reader, ContainerVariantsReadAlike) {
    // moov after mdat, co64 offsets and 64-bit box sizes give the same samples.
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        testutil::Mp4Writer w;
        AddVideo(w, {Nal(kAud, 1) + Nal(kIdr, 30), Nal(kSlice, 12), Nal(kSlice, 13), Nal(kIdr, 31),
                     Nal(kSlice, 14)});
        w.options.moovFirst = variant != 0;
        w.options.co64 = variant == 1;
        w.options.largeSizes = variant == 2;
        auto r = Open(Write(w, "variant" + std::to_string(variant) + ".mp4"));
        const unsigned sizes[5] = {35, 17, 18, 36, 19};
        const bool keys[5] = {true, false, false, true, false};
        for (unsigned n = 1; n <= 5; ++n) {
            unsigned char* data;
            unsigned int size;
            bool key;
            ASSERT_EQ(r->GetVideoSample(n, data, size, key), 0);
            EXPECT_EQ(size, sizes[n - 1]);
            EXPECT_EQ(key, keys[n - 1]);
        }
        EXPECT_EQ(r->GetGopSize(), 3);
    }
}
