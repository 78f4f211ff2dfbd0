// The reader on a small clip whose frames are grey levels that rise frame by
// frame and whose sound is silent but for a click: its frames in order with
// their times, the sound that plays during each, and a damaged frame that
// shows the last good picture with a warning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Clip.h"
#include "LookAhead.h"
#include "Reader.h"
#include "test_clips.h"

using namespace stitcher;

namespace {

// 64x32, 30 fps, 12 frames, key frames 1, 5 and 9. Frame k is grey at luma
// 16 + 12 (k - 1); the mono sound is silent but for a 20 ms click that starts
// with frame 7 (at 0.2 s).
std::string rampClip() {
    return testutil::makeClip(
        "reader_ramp.mp4",
        "-f lavfi -i \"color=c=black:s=64x32:r=30:d=0.4,format=yuv420p,geq=lum='16+N*12':cb=128:cr=128\" "
        "-f lavfi -i \"aevalsrc='0.8*between(t,0.2,0.22)*sin(2*PI*1000*t)':s=48000:d=0.5\" "
        "-c:v libx264 -g 4 -bf 0 -sc_threshold 0 -pix_fmt yuv420p -c:a aac");
}

// The video packet of frame `frame` (no B-frames: decoding order is display
// order) as (file offset, size).
std::pair<uint64_t, uint64_t> videoPacket(const std::string& clip, int frame) {
    std::stringstream table(testutil::captureCommand(
        "ffprobe -v error -select_streams v -show_entries packet=pos,size -of csv=p=0 '" + clip + "'"));
    std::string line;
    for (int k = 1; std::getline(table, line); ++k) {
        if (k != frame) continue;
        const size_t comma = line.find(',');
        return {std::stoull(line.substr(comma + 1)), std::stoull(line.substr(0, comma))};
    }
    ADD_FAILURE() << clip << " has no frame " << frame;
    return {0, 0};
}

double mean(const HugePageVector<uint8_t>& bytes) {
    double sum = 0;
    for (uint8_t b : bytes) sum += b;
    return bytes.empty() ? -1 : sum / bytes.size();
}

int peak(const std::vector<int16_t>& pcm) {
    int p = 0;
    for (int16_t s : pcm) p = std::max(p, std::abs(static_cast<int>(s)));
    return p;
}

// Frames 2 to 11 with their sound, frame 8 damaged.
TEST(Reader, FramesInOrderWithTheirSoundAndTheLastGoodPictureForADamagedOne) {
    const std::string clean = rampClip();
    ASSERT_FALSE(clean.empty());
    const auto bad = videoPacket(clean, 8);
    const std::string path = testutil::damagedCopy(clean, bad.first, bad.second, false);
    ASSERT_FALSE(path.empty());
    std::unique_ptr<Clip> clip;
    Status opened = Clip::open(path, clip);
    ASSERT_TRUE(opened.ok()) << opened.message();

    ReadSpec wanted;
    wanted.first = 2;
    wanted.count = 10;
    wanted.fps = {30, 1};
    wanted.audio = true;
    wanted.audioRate = 48000;
    wanted.audioChannels = 1;
    std::vector<std::string> warnings;
    Reader reader(*clip, wanted, [&](const std::string& w) { warnings.push_back(w); });
    EXPECT_EQ(reader.total(), 10);

    std::vector<FrameItem> items;
    while (!reader.ended() && items.size() < 12) {
        FrameItem item;
        const Status read = reader.next(item);
        ASSERT_TRUE(read.ok()) << read.message();
        items.push_back(std::move(item));
    }
    ASSERT_EQ(items.size(), 10u);
    const int ts = reader.timescale();
    for (size_t i = 0; i < items.size(); ++i) {
        const FrameItem& item = items[i];
        const long long f = 2 + static_cast<long long>(i);
        EXPECT_EQ(item.frame, f);
        EXPECT_EQ(item.pts * 30, static_cast<int64_t>(i) * ts) << "frame " << f;
        EXPECT_EQ(item.duration * 30, ts) << "frame " << f;
        EXPECT_EQ(item.damaged, f == 8) << "frame " << f;
        ASSERT_EQ(item.picture.size(), 64u * 32 * 3);
        // Full-range BGR of the luma: (Y - 16) * 255 / 219.
        const long long shows = f == 8 ? 7 : f;
        EXPECT_NEAR(mean(item.picture), 12.0 * (shows - 1) * 255 / 219, 3) << "frame " << f;
        // 1600 samples a frame; the click is in frame 7's and nowhere well before it.
        EXPECT_EQ(item.audioSamples, 1600) << "frame " << f;
        EXPECT_EQ(item.audio.size(), 1600u) << "frame " << f;
        if (f < 6) {
            EXPECT_LT(peak(item.audio), 300) << "frame " << f;
        }
        if (f == 7) {
            EXPECT_GT(peak(item.audio), 16000);
        }
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].frame != 7) {
            EXPECT_LT(peak(items[i].audio), peak(items[5].audio) / 2) << "frame " << items[i].frame;
        }
    }
    EXPECT_TRUE(items[6].picture == items[5].picture) << "frame 8 does not show frame 7's picture";
    EXPECT_EQ(reader.damagedFrames(), std::vector<long long>{8});
    EXPECT_EQ(warnings, std::vector<std::string>{"frame 8 cannot be decoded; the picture of frame 7 stands in for it"});
}

// Frames decoded ahead for a measure (3, 6 twice and 10): its pictures are
// those a session without it decodes, each let go once read as often as
// asked (nothing else held); a budget smaller than the pictures would take
// decodes nothing ahead; and a reader of frames 2 to 11 on the clip's
// session afterwards (which the look-ahead left further on) decodes, packed
// or in the decoder's planes, what a reader on a fresh session does.
TEST(Reader, FramesDecodedAheadAreThoseDecodedAnew) {
    const std::string path = rampClip();
    ASSERT_FALSE(path.empty());
    std::unique_ptr<Clip> clip, fresh;
    ASSERT_TRUE(Clip::open(path, clip).ok());
    ASSERT_TRUE(Clip::open(path, fresh).ok());
    const size_t bytes = 64 * 32 * 3;
    std::atomic<bool> interrupted{false};
    LookAhead::Ask ask;
    ask.measured = {3, 6, 6, 10};
    ask.budget = 2 * 64 * 32 * 3 / 2;
    EXPECT_EQ(LookAhead::start(*clip, ask, interrupted), nullptr) << "three pictures held within the room of two";
    ask.budget = 64 << 20;
    std::unique_ptr<LookAhead> ahead = LookAhead::start(*clip, ask, interrupted);
    ASSERT_NE(ahead, nullptr);
    HugePageVector<uint8_t> got(bytes), truth(bytes);
    for (const long long f : ask.measured) {
        ASSERT_TRUE(ahead->read(f, got.data())) << "frame " << f;
        ASSERT_TRUE(fresh->readFrame(f, truth.data()).ok());
        EXPECT_TRUE(got == truth) << "measured frame " << f;
    }
    EXPECT_FALSE(ahead->read(6, got.data())) << "frame 6 read a third time";
    ahead->finish();
    EXPECT_EQ(ahead->heldBytes(), 0u) << "pictures left behind";
    ReadSpec wanted;
    wanted.first = 2;
    wanted.count = 10;
    wanted.fps = {30, 1};
    for (const bool planes : {false, true}) {
        wanted.sourcePictures = planes;
        Reader reader(*clip, wanted, Warn()), anew(*fresh, wanted, Warn());
        while (!reader.ended()) {
            FrameItem a, b;
            ASSERT_TRUE(reader.next(a).ok());
            ASSERT_TRUE(anew.next(b).ok());
            EXPECT_EQ(a.source != nullptr, planes);
            for (FrameItem* item : {&a, &b}) {
                if (item->source) {
                    ASSERT_TRUE(item->source->toBgr(0, 32, 0, 64, item->picture.data(), 64 * 3));
                }
            }
            EXPECT_TRUE(a.picture == b.picture) << "frame " << a.frame << (planes ? " in planes" : " packed");
        }
    }
}

}  // namespace
