// Clip session through the exported functions: opening and refusing clips,
// the media record, tear-down, null handles, and clips shorter than one GOP.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}
#include <fcntl.h>
#include <unistd.h>

#include "Mp4Writer.h"
#include "control/CControl.h"
#include "isobmff/Mp4Container.h"
#include "libdec.h"
#include "mp4read/CMp4Read.h"
#include "mp4read/OffsetString.h"
#include "log_home.h"
#include "test_clips.h"

namespace {

::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new loghome::HomeEnv("session_home"));
using loghome::LogMark;

std::string TmpPath(const std::string& name) {
    static std::string dir = testutil::makeTempDir("session_clips");
    return dir + "/" + name;
}

const char kVideoArgs[] = "-c:v libx264 -pix_fmt yuv420p -bf 0 ";

// 64x48 at 25 fps, IDR every 10 frames, stereo AAC at 48 kHz.
std::string AvClip() {
    return testutil::makeClip("session_av.mp4",
                              "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                              "sine=frequency=440:sample_rate=48000 -t 2 " +
                                  std::string(kVideoArgs) +
                                  "-x264-params keyint=10:min-keyint=10:scenecut=0 -c:a aac -ac 2 -shortest");
}

// Video only, `frames` frames, a single key sample at the start.
std::string OneGopClip(int frames) {
    return testutil::makeClip("session_onegop" + std::to_string(frames) + ".mp4",
                              "-f lavfi -i testsrc=size=48x32:rate=25 -frames:v " + std::to_string(frames) +
                                  " " + kVideoArgs + "-x264-params keyint=1000:scenecut=0");
}

// 64x48 at 25 fps, 2 s, mono AAC, moov before the samples.
std::string FaststartClip() {
    return testutil::makeClip("session_faststart.mp4",
                              "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                              "-t 2 " + std::string(kVideoArgs) + "-g 10 -c:a aac -shortest -movflags +faststart");
}

// Every picture of the clip as FFmpeg itself decodes it to BGR.
std::vector<std::string> ReferenceFrames(const std::string& path, unsigned width, unsigned height) {
    std::string raw = testutil::captureCommand("ffmpeg -v error -nostdin -i '" + path +
                                               "' -f rawvideo -pix_fmt bgr24 -");
    std::vector<std::string> frames;
    size_t size = size_t(width) * height * 3;
    for (size_t at = 0; at + size <= raw.size(); at += size) frames.push_back(raw.substr(at, size));
    return frames;
}

// Largest per-byte difference and mean absolute difference of two pictures.
void Compare(const unsigned char* got, const std::string& want, int& maxDiff, double& meanDiff) {
    maxDiff = 0;
    double sum = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        int d = std::abs(int(got[i]) - int(static_cast<unsigned char>(want[i])));
        maxDiff = std::max(maxDiff, d);
        sum += d;
    }
    meanDiff = want.empty() ? 0 : sum / want.size();
}

std::string Picture(void* h, long long frame, size_t bytes) {
    unsigned char* out = nullptr;
    if (PRDGetVideoFrame(h, frame, out) != 0 || out == nullptr) return std::string();
    return std::string(reinterpret_cast<char*>(out), bytes);
}

CControl* Session(void* h) { return static_cast<CControl*>(h); }

}  // namespace

TEST(Session, OpensClipWithRecordAndTearsDown) {
    std::string path = AvClip();
    ASSERT_FALSE(path.empty());
    std::string audioPackets = testutil::captureCommand(
        "ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" +
        path + "'");
    LogMark mark;
    void* h = PRDOpen(path.c_str());
    ASSERT_NE(h, nullptr);
    _MediaInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(PRDGetMediaInfo(h, info), 0);
    EXPECT_EQ(info.hasVideo, 1);
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 48u);
    EXPECT_EQ(info.frames, 50u);
    EXPECT_DOUBLE_EQ(info.fps, 25.0);
    EXPECT_EQ(info.hasAudio, 1);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 48000u);
    EXPECT_EQ(info.samples, std::stoll(audioPackets) * 1024);

    CControl* s = Session(h);
    EXPECT_NE(s->m_pMp4Read, nullptr);
    EXPECT_NE(s->m_pH264Dec, nullptr);
    EXPECT_NE(s->m_pAacDec, nullptr);
    EXPECT_EQ(s->m_gopSize, 10);
    EXPECT_EQ(s->m_nextSample, 1u);
    EXPECT_EQ(s->m_nextFrame, 1u);
    ASSERT_NE(s->m_pAudioBuf, nullptr);
    EXPECT_EQ(s->m_audioBufSize, 0x20000u);
    EXPECT_TRUE(std::all_of(s->m_pAudioBuf, s->m_pAudioBuf + s->m_audioBufSize, [](unsigned char c) { return c == 0; }));
    EXPECT_EQ(std::memcmp(&s->m_mediaInfo, &info, sizeof(info)), 0);

    // The first picture matches FFmpeg's own decode (same colour conversion; at
    // most a few levels of rounding apart).
    auto ref = ReferenceFrames(path, 64, 48);
    ASSERT_EQ(ref.size(), 50u);
    unsigned char* out = nullptr;
    ASSERT_EQ(PRDGetVideoFrame(h, 1, out), 0);
    ASSERT_NE(out, nullptr);
    int maxDiff;
    double meanDiff;
    Compare(out, ref[0], maxDiff, meanDiff);
    EXPECT_LE(maxDiff, 4);
    EXPECT_LT(meanDiff, 1.0);

    PRDClose(h);
    std::string log = mark.Since();
    for (std::string line : {"INFO  filename:" + path + " ", "INFO  h264 dec new ok file:" + path + " ",
                             "INFO  AAC dec new ok:" + path + " ", "INFO  control init success:" + path + " ",
                             std::string("INFO  Deinit "), std::string("INFO  handle:")}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

// Clips that the session refuses, each with the session's summary line.
TEST(Session, OpenRefusals) {
    std::string video = OneGopClip(5);
    std::unique_ptr<mp4::File> src = mp4::File::open(video.c_str());
    ASSERT_TRUE(src);

    struct Case {
        const char* name;
        std::string path;
        const char* logged;
    };
    std::vector<Case> cases;
    cases.push_back({"missing", TmpPath("missing.mp4"), "ERROR Failed to initialize CControl "});
    {
        testutil::Mp4Writer w;
        cases.push_back({"no_tracks", TmpPath("no_tracks.mp4"), "ERROR Failed to initialize CControl "});
        w.writeFile(cases.back().path);
    }
    {
        testutil::Mp4Writer w;
        w.addAudioTrack(0x40, std::string("\x11\x90", 2)).samples.push_back({"abc", true});
        cases.push_back({"audio_only", TmpPath("audio_only.mp4"), "ERROR handle:"});
        w.writeFile(cases.back().path);
    }
    {
        testutil::Mp4Writer w;
        auto* v = w.addCopyOf(*src, src->tracks()[0].id);
        ASSERT_NE(v, nullptr);
        v->rawSampleEntry.clear();
        v->sampleEntry = "hvc1";
        w.addAudioTrack(0x40, std::string("\x11\x90", 2)).samples.push_back({"abc", true});
        cases.push_back({"hevc", TmpPath("hevc.mp4"), "INFO  The track is not avc1"});
        w.writeFile(cases.back().path);
    }
    {
        testutil::Mp4Writer w;
        w.addVideoTrack("avc1", 64, 32).samples.clear();
        cases.push_back({"no_video_samples", TmpPath("no_video_samples.mp4"),
                         "ERROR The video track has no samples in its index: "});
        w.writeFile(cases.back().path);
    }
    {
        std::string frag = testutil::makeClip(
            "session_fragmented.mp4", "-f lavfi -i testsrc=size=48x32:rate=25 -frames:v 20 " + std::string(kVideoArgs) +
                                          "-g 5 -movflags frag_keyframe+empty_moov");
        cases.push_back({"fragmented", frag, "ERROR Fragmented MP4 (movie fragments) is not supported: "});
    }
    {
        // Cut inside the first video sample: nothing of the track is usable.
        std::string faststart = FaststartClip();
        std::unique_ptr<mp4::File> f = mp4::File::open(faststart.c_str());
        ASSERT_TRUE(f);
        cases.push_back({"cut_in_first_sample", TmpPath("cut_first.mp4"),
                         "ERROR None of the 50 samples of the video track lies wholly inside the file: "});
        testutil::writeFile(cases.back().path,
                            testutil::readFile(faststart).substr(0, f->tracks()[0].samples[0].offset + 1));
    }
    {
        cases.push_back({"garbage", TmpPath("garbage.mp4"), "ERROR Failed to initialize CMp4read"});
        testutil::writeFile(cases.back().path, std::string(1000, '\x17'));
    }
    {
        std::string bytes = testutil::readFile(video);
        cases.push_back({"truncated", TmpPath("truncated.mp4"), "ERROR Failed to initialize CControl "});
        testutil::writeFile(cases.back().path, bytes.substr(0, 40));
    }
    {
        // The picture decoder cannot be set up for a 0 x 0 picture: its own code is reported.
        testutil::Mp4Writer w;
        auto* v = w.addCopyOf(*src, src->tracks()[0].id);
        ASSERT_NE(v, nullptr);
        v->rawSampleEntry.clear();
        v->width = 0;
        v->height = 0;
        cases.push_back({"zero_size", TmpPath("zero_size.mp4"), "ERROR Failed to initialize H264Dec"});
        w.writeFile(cases.back().path);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogMark mark;
        EXPECT_EQ(PRDOpen(c.path.c_str()), nullptr);
        std::string log = mark.Since();
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        std::string summary = std::string(c.name) == "zero_size" ? "ERROR catch error:1 " + c.path + " "
                                                                 : "ERROR Failed to initialize CControl " + c.path + " ";
        EXPECT_NE(log.find(summary), std::string::npos) << log;
        EXPECT_NE(log.find("INFO  Deinit "), std::string::npos) << log;
        EXPECT_EQ(log.find("control init success"), std::string::npos) << log;
    }
    LogMark mark;
    EXPECT_EQ(PRDOpen(nullptr), nullptr);
    EXPECT_NE(mark.Since().find("ERROR Filename is empty."), std::string::npos) << mark.Since();
}

TEST(Session, NullHandle) {
    _MediaInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    char marker = 'm';
    char* text = &marker;
    unsigned char* pic = reinterpret_cast<unsigned char*>(&marker);
    EXPECT_EQ(PRDGetMediaInfo(nullptr, info), 1);
    EXPECT_EQ(info.width, 0x5A5A5A5Au);
    EXPECT_EQ(PRDGetOffset(nullptr, text), 1);
    EXPECT_EQ(text, &marker);
    EXPECT_EQ(PRDGetVideoComment(nullptr, text), 1);
    EXPECT_EQ(text, &marker);
    EXPECT_EQ(PRDGetVideoFrame(nullptr, 1, pic), 1);
    EXPECT_EQ(PRDGetAudioSample(nullptr, 0, 4096, pic), 1);
    EXPECT_EQ(pic, reinterpret_cast<unsigned char*>(&marker));
    PRDClose(nullptr);
}

TEST(Session, DeinitTwiceOnlyLogs) {
    CControl c;
    ASSERT_EQ(c.Init(OneGopClip(5).c_str()), 0);
    c.Deinit();
    EXPECT_EQ(c.m_pMp4Read, nullptr);
    EXPECT_EQ(c.m_pH264Dec, nullptr);
    EXPECT_EQ(c.m_pAacDec, nullptr);
    EXPECT_EQ(c.m_pAudioBuf, nullptr);
    LogMark mark;
    c.Deinit();
    std::string log = mark.Since();
    EXPECT_NE(log.find("INFO  Deinit "), std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

// Clips shorter than one GOP (one key sample) and of one or two samples open,
// and every frame decodes the same in any order of requests.
TEST(Session, ClipsShorterThanOneGop) {
    for (int frames : {1, 2, 3, 20}) {
        SCOPED_TRACE(frames);
        std::string path = OneGopClip(frames);
        void* h = PRDOpen(path.c_str());
        ASSERT_NE(h, nullptr);
        _MediaInfo info{};
        PRDGetMediaInfo(h, info);
        ASSERT_EQ(info.frames, unsigned(frames));
        EXPECT_EQ(Session(h)->m_gopSize, frames);
        const size_t bytes = size_t(info.width) * info.height * 3;

        auto ref = ReferenceFrames(path, info.width, info.height);
        ASSERT_EQ(ref.size(), size_t(frames));
        std::vector<std::string> seq;
        for (int f = 1; f <= frames; ++f) {
            seq.push_back(Picture(h, f, bytes));
            ASSERT_EQ(seq.back().size(), bytes) << f;
            int maxDiff;
            double meanDiff;
            Compare(reinterpret_cast<const unsigned char*>(seq.back().data()), ref[f - 1], maxDiff, meanDiff);
            EXPECT_LE(maxDiff, 4) << f;
            EXPECT_LT(meanDiff, 1.0) << f;
        }
        unsigned char* out = nullptr;
        EXPECT_EQ(PRDGetVideoFrame(h, frames + 1, out), 1);

        std::vector<int> order;
        for (int f = frames; f >= 1; --f) order.push_back(f);
        std::mt19937 rng(frames);
        for (int i = 0; i < 2 * frames; ++i) order.push_back(1 + int(rng() % frames));
        for (int f : order) EXPECT_EQ(Picture(h, f, bytes), seq[f - 1]) << "frame " << f;
        PRDClose(h);
    }
}

// An audio configuration too short to name rate and channels: the clip opens
// without sound and its pictures are those of the same video alone.
TEST(Session, ShortAudioConfigurationKeepsVideo) {
    std::string video = OneGopClip(5);
    std::unique_ptr<mp4::File> src = mp4::File::open(video.c_str());
    ASSERT_TRUE(src);
    for (std::string config : {std::string(), std::string("\x11", 1)}) {
        SCOPED_TRACE(config.size());
        testutil::Mp4Writer w;
        ASSERT_NE(w.addCopyOf(*src, src->tracks()[0].id), nullptr);
        auto& a = w.addAudioTrack(0x40, config);
        for (int i = 0; i < 4; ++i) a.samples.push_back({std::string(30, char(i)), true});
        std::string path = TmpPath("short_config" + std::to_string(config.size()) + ".mp4");
        ASSERT_TRUE(w.writeFile(path));

        LogMark mark;
        void* h = PRDOpen(path.c_str());
        ASSERT_NE(h, nullptr) << mark.Since();
        EXPECT_NE(mark.Since().find("ERROR handle:"), std::string::npos);
        _MediaInfo info{};
        PRDGetMediaInfo(h, info);
        EXPECT_EQ(info.hasVideo, 1);
        EXPECT_EQ(info.frames, 5u);
        EXPECT_EQ(info.hasAudio, 0);
        EXPECT_EQ(info.samplerate, 0u);
        EXPECT_EQ(info.channels, 0);
        EXPECT_EQ(info.samples, 0);
        EXPECT_EQ(Session(h)->m_pAacDec, nullptr);
        unsigned char* out = nullptr;
        EXPECT_EQ(PRDGetAudioSample(h, 0, 2048, out), 1);
        EXPECT_EQ(out, nullptr);

        void* plain = PRDOpen(video.c_str());
        ASSERT_NE(plain, nullptr);
        const size_t bytes = size_t(info.width) * info.height * 3;
        for (int f : {1, 4, 2}) EXPECT_EQ(Picture(h, f, bytes), Picture(plain, f, bytes)) << f;
        PRDClose(plain);
        PRDClose(h);
    }
}

// A protected entry recording "264b" decodes like the plain track.
TEST(Session, ProtectedEntryDecodesLikePlain) {
    std::string video = OneGopClip(5);
    std::unique_ptr<mp4::File> src = mp4::File::open(video.c_str());
    ASSERT_TRUE(src);
    testutil::Mp4Writer w;
    auto* v = w.addCopyOf(*src, src->tracks()[0].id);
    ASSERT_NE(v, nullptr);
    v->rawSampleEntry.clear();
    v->sampleEntry = "encv";
    v->originalFormat = "264b";
    std::string path = TmpPath("encv264b.mp4");
    ASSERT_TRUE(w.writeFile(path));
    void* h = PRDOpen(path.c_str());
    void* plain = PRDOpen(video.c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_NE(plain, nullptr);
    _MediaInfo a{}, b{};
    PRDGetMediaInfo(h, a);
    PRDGetMediaInfo(plain, b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
    const size_t bytes = size_t(a.width) * a.height * 3;
    for (int f : {1, 2, 5, 3}) EXPECT_EQ(Picture(h, f, bytes), Picture(plain, f, bytes)) << f;
    PRDClose(plain);
    PRDClose(h);
}

TEST(Session, OffsetAndComment) {
    std::string video = OneGopClip(5);
    std::unique_ptr<mp4::File> src = mp4::File::open(video.c_str());
    ASSERT_TRUE(src);
    testutil::Mp4Writer w;
    ASSERT_NE(w.addCopyOf(*src, src->tracks()[0].id), nullptr);
    w.setTag("\xA9" "cmt", "taken on the roof");
    std::string tagged = TmpPath("comment.mp4");
    ASSERT_TRUE(w.writeFile(tagged));

    struct Case {
        std::string path;
        const char* comment;
    };
    for (const Case& c : {Case{video, "unknown"}, Case{tagged, "taken on the roof"}}) {
        SCOPED_TRACE(c.path);
        void* h = PRDOpen(c.path.c_str());
        ASSERT_NE(h, nullptr);
        char* offset = nullptr;
        EXPECT_EQ(PRDGetOffset(h, offset), 0);
        ASSERT_NE(offset, nullptr);
        EXPECT_STREQ(offset, DEFAULT_OFFSET);
        char* comment = nullptr;
        EXPECT_EQ(PRDGetVideoComment(h, comment), 0);
        ASSERT_NE(comment, nullptr);
        EXPECT_STREQ(comment, c.comment);
        delete[] comment;
        PRDClose(h);
    }
}

// A faststart recording cut short (a dead battery): it opens with the frames
// and audio samples that lie wholly inside the file, says how many were lost,
// and those frames are the ones of the whole clip.
TEST(Session, CutShortClipOpensWithWholeSamples) {
    std::string whole = FaststartClip();
    std::unique_ptr<mp4::File> src = mp4::File::open(whole.c_str());
    ASSERT_TRUE(src);
    const mp4::Track& v = src->tracks()[0];
    const mp4::Track& a = src->tracks()[1];
    ASSERT_EQ(v.handler, "vide");
    ASSERT_EQ(a.handler, "soun");
    ASSERT_EQ(v.samples.size(), 50u);
    // Cut in the middle of video sample 31.
    const size_t cut = v.samples[30].offset + v.samples[30].size / 2;
    size_t audioInside = 0;
    while (audioInside < a.samples.size() && a.samples[audioInside].offset + a.samples[audioInside].size <= cut)
        ++audioInside;
    ASSERT_GT(audioInside, 10u);
    ASSERT_LT(audioInside, a.samples.size());
    std::string path = TmpPath("cut_short.mp4");
    ASSERT_TRUE(testutil::writeFile(path, testutil::readFile(whole).substr(0, cut)));

    LogMark mark;
    void* h = PRDOpen(path.c_str());
    ASSERT_NE(h, nullptr) << mark.Since();
    std::string log = mark.Since();
    EXPECT_NE(log.find("video track 1: 20 of its 50 samples lie outside the file (cut short?); using the first 30"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("audio track 2: " + std::to_string(a.samples.size() - audioInside) + " of its"),
              std::string::npos)
        << log;
    _MediaInfo info{};
    PRDGetMediaInfo(h, info);
    EXPECT_EQ(info.frames, 30u);
    EXPECT_EQ(info.samples, static_cast<int64_t>(audioInside) * 1024);

    void* full = PRDOpen(whole.c_str());
    ASSERT_NE(full, nullptr);
    const size_t bytes = size_t(info.width) * info.height * 3;
    for (int f : {1, 30, 12, 29, 21}) EXPECT_EQ(Picture(h, f, bytes), Picture(full, f, bytes)) << f;
    unsigned char* out = nullptr;
    EXPECT_EQ(PRDGetVideoFrame(h, 31, out), 1);
    unsigned char* pcm = nullptr;
    const long long req = static_cast<long long>(audioInside - 2) * 1024;
    const size_t pcmBytes = size_t(req) * 2 * info.channels;
    ASSERT_EQ(PRDGetAudioSample(full, 0, req, pcm), 0);
    std::string fullPcm(reinterpret_cast<char*>(pcm), pcmBytes);
    ASSERT_EQ(PRDGetAudioSample(h, 0, req, pcm), 0);
    EXPECT_TRUE(std::string(reinterpret_cast<char*>(pcm), pcmBytes) == fullPcm) << "the sound differs";
    PRDClose(full);
    PRDClose(h);
}

// FFmpeg's messages about the session's decoder go into the log at their
// level, none to the host's standard error; the host's own FFmpeg messages
// still reach it.
TEST(Session, FfmpegMessagesGoToTheLog) {
    std::string clean = OneGopClip(20);
    std::unique_ptr<mp4::File> src = mp4::File::open(clean.c_str());
    ASSERT_TRUE(src);
    const mp4::Sample& bad = src->tracks()[0].samples[4];
    std::string path = testutil::damagedCopy(clean, bad.offset, bad.size);

    std::string errPath = TmpPath("stderr.txt");
    std::fflush(stderr);
    int saved = ::dup(2);
    int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ::dup2(fd, 2);
    LogMark mark;
    void* h = PRDOpen(path.c_str());
    for (int f = 1; h && f <= 8; ++f) {
        unsigned char* out = nullptr;
        PRDGetVideoFrame(h, f, out);
    }
    PRDClose(h);
    AVClass hostClass{};
    hostClass.class_name = "host";
    hostClass.item_name = av_default_item_name;
    hostClass.version = LIBAVUTIL_VERSION_INT;
    struct {
        const AVClass* cls;
    } host{&hostClass};
    av_log(&host, AV_LOG_ERROR, "the host's own message\n");
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fd);
    ASSERT_NE(h, nullptr);
    std::string err = testutil::readFile(errPath), log = mark.Since();
    EXPECT_NE(err.find("the host's own message"), std::string::npos) << err;
    EXPECT_EQ(err.find("h264"), std::string::npos) << err;
    // The priming packet's complaint is the decoder's silent first error; the
    // damaged sample's is logged.
    size_t n = 0;
    for (size_t p = log.find("ERROR [h264] no frame!"); p != std::string::npos; p = log.find("ERROR [h264] no frame!", p + 1))
        ++n;
    EXPECT_EQ(1u, n) << log;
}
