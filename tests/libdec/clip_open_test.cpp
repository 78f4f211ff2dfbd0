// Opening a clip through the internal interface: the session with what the
// container knows, or the kind of refusal and its reason.
#include <gtest/gtest.h>

#include <string>

#include "isobmff/Mp4Container.h"
#include "libdec.h"
#include "libdec_internal.h"
#include "log_home.h"
#include "test_clips.h"

namespace {

::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new loghome::HomeEnv("clip_open_home"));

using libdec::ClipOpening;
using libdec::ClipRefusal;

const char kTestSrc[] = "-f lavfi -i testsrc=size=64x48:rate=25:duration=1 ";

std::string Dir() {
    static std::string dir = testutil::makeTempDir("clip_open");
    return dir;
}

ClipOpening Refused(const std::string& path) {
    ClipOpening o;
    void* h = libdec::OpenClip(path.c_str(), o);
    EXPECT_EQ(h, nullptr) << path;
    if (h) PRDClose(h);
    return o;
}

// Hostile and odd files are refused for what they are.
TEST(ClipOpen, RefusalsNameTheirKind) {
    const std::string notes = Dir() + "/notes.mp4";
    ASSERT_TRUE(testutil::writeFile(notes, "these are notes, not a clip\n"));
    const std::string mkv = testutil::makeClip("open_h264.mkv", std::string(kTestSrc) + "-c:v libx264 -pix_fmt yuv420p");
    const std::string frag = testutil::makeClip(
        "open_frag.mp4", std::string(kTestSrc) + "-c:v libx264 -pix_fmt yuv420p -movflags frag_keyframe+empty_moov");
    const std::string sound = testutil::makeClip("open_sound.mp4", "-f lavfi -i sine=duration=1 -c:a aac");
    const std::string mpeg4 = testutil::makeClip("open_mpeg4.mp4", std::string(kTestSrc) + "-c:v mpeg4");
    for (const std::string& p : {mkv, frag, sound, mpeg4}) ASSERT_FALSE(p.empty());

    struct Case {
        std::string path;
        ClipRefusal kind;
        const char* reason;
    };
    const Case cases[] = {
        {Dir() + "/missing.mp4", ClipRefusal::NotAFile, "No such file"},
        {Dir(), ClipRefusal::NotAFile, "folder"},
        {notes, ClipRefusal::NotMp4, "not an MP4 file"},
        {mkv, ClipRefusal::NotMp4, "(it is Matroska / WebM)"},
        {frag, ClipRefusal::Fragmented, "fragmented MP4"},
        {sound, ClipRefusal::NoVideo, "no video track"},
        {mpeg4, ClipRefusal::VideoNotH264, "not H.264 (mpeg4)"},
    };
    for (const Case& c : cases) {
        ClipOpening o = Refused(c.path);
        EXPECT_EQ(o.refusal, c.kind) << c.path << ": " << o.reason;
        EXPECT_NE(o.reason.find(c.reason), std::string::npos) << c.path << ": " << o.reason;
    }
    EXPECT_EQ(Refused(mkv).containerKind, "Matroska / WebM");
    EXPECT_TRUE(Refused(frag).fragmented);
}

// A clip cut short keeps the frames inside the file and says how many the
// index named; cut before its first frame ends, it is refused as cut short.
TEST(ClipOpen, CutShortClipTellsTheFramesLost) {
    const std::string full = testutil::makeClip(
        "open_faststart.mp4", std::string(kTestSrc) + "-c:v libx264 -pix_fmt yuv420p -g 5 -movflags +faststart");
    ASSERT_FALSE(full.empty());
    ClipOpening o;
    void* h = libdec::OpenClip(full.c_str(), o);
    ASSERT_NE(h, nullptr) << o.reason;
    PRDClose(h);
    EXPECT_EQ(o.refusal, ClipRefusal::None);
    EXPECT_EQ(o.videoCodec, "h264");
    EXPECT_FALSE(o.fragmented);
    EXPECT_EQ(o.indexedSamples, 25);
    EXPECT_EQ(o.samplesInFile, 25);

    const std::string bytes = testutil::readFile(full);
    std::unique_ptr<mp4::File> file = mp4::File::open(full.c_str());
    ASSERT_TRUE(file && !file->tracks().empty());
    const mp4::Sample& first = file->tracks()[0].samples.at(0);
    const mp4::Sample& tenth = file->tracks()[0].samples.at(9);

    const std::string half = Dir() + "/half.mp4";
    ASSERT_TRUE(testutil::writeFile(half, bytes.substr(0, tenth.offset + tenth.size)));
    h = libdec::OpenClip(half.c_str(), o);
    ASSERT_NE(h, nullptr) << o.reason;
    PRDClose(h);
    EXPECT_EQ(o.indexedSamples, 25);
    EXPECT_EQ(o.samplesInFile, 10);

    const std::string none = Dir() + "/none.mp4";
    ASSERT_TRUE(testutil::writeFile(none, bytes.substr(0, first.offset + first.size - 1)));
    o = Refused(none);
    EXPECT_EQ(o.refusal, ClipRefusal::CutShort) << o.reason;
    EXPECT_NE(o.reason.find("frame 1 of 25 lies beyond its end"), std::string::npos) << o.reason;
}

}  // namespace
