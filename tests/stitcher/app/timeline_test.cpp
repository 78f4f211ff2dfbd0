// The stitched clip is the clip as played: clips trimmed by an edit list,
// with sound that starts after the picture, and with a variable frame rate
// are stitched, and the output's frames, their times and its sound are
// checked against a flash and a click that the clip plays together.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_clips.h"

namespace {

using testutil::quote;

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const double kFrame = 1 / 30.0;

int stitch(const std::string& args, std::string* out = nullptr) {
    int rc = -1;
    std::string said = testutil::captureCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + quote(kStitcher) +
                                 " --engine cpu -y --size 32 --preset ultrafast " + args + " 2>/dev/null",
                             &rc);
    if (out) *out = said;
    return rc;
}

// 30 fps, 3 s, B-frames; black but for a white frame `flashFrame`; silent
// but for a 1 kHz click from `click` seconds on. `video` filters go after the flash.
std::string clip(const std::string& name, int flashFrame, double click, const std::string& video = "") {
    char args[1024];
    std::snprintf(args, sizeof args,
                  "-f lavfi -i \"color=c=black:s=320x160:r=30:d=3,drawbox=c=white:t=fill:enable='eq(n,%d)'%s\" "
                  "-f lavfi -i \"aevalsrc='0.8*between(t,%.3f,%.3f)*sin(2*PI*1000*t)':s=48000:d=3.3\" "
                  "-fps_mode passthrough -c:v libx264 -g 30 -bf 2 -pix_fmt yuv420p -c:a aac",
                  flashFrame, video.c_str(), click, click + 0.02);
    return testutil::makeClip(name, args);
}

struct Played {
    std::vector<double> frameTimes;  // of the pictures, as ffmpeg plays them
    double flash = -1;               // time of the brightest picture
    double click = -1;               // when the sound's click begins
};

// The video or picture file as ffmpeg plays it; a picture has no sound to
// play. One ffmpeg prints the pictures' brightness and writes the sound as
// 48 kHz mono samples.
Played play(const std::string& path, bool sound = true) {
    Played p;
    static const std::string pcmFile = testutil::makeTempDir("timeline_play") + "/sound.raw";
    std::remove(pcmFile.c_str());
    std::stringstream stats(testutil::captureCommand(
        "ffmpeg -v error -nostdin -i " + quote(path) +
        " -vf signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=- -an -f null -" +
        (sound ? " -vn -ac 1 -ar 48000 -f s16le " + quote(pcmFile) : std::string())));
    std::string line;
    double time = 0, brightest = -1;
    while (std::getline(stats, line)) {
        size_t at = line.find("pts_time:");
        if (at != std::string::npos) {
            time = std::atof(line.c_str() + at + 9);
            p.frameTimes.push_back(time);
        } else if ((at = line.find("YAVG=")) != std::string::npos && std::atof(line.c_str() + at + 5) > brightest) {
            brightest = std::atof(line.c_str() + at + 5);
            p.flash = time;
        }
    }
    if (brightest < 100) p.flash = -1;  // no white frame
    if (!sound) return p;
    const double start = std::atof(testutil::captureCommand("ffprobe -v error -select_streams a -show_entries "
                                                            "stream=start_time -of csv=p=0 " + quote(path)).c_str());
    const std::string pcm = testutil::readFile(pcmFile);
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const int16_t v = static_cast<int16_t>(static_cast<uint8_t>(pcm[i]) | static_cast<uint8_t>(pcm[i + 1]) << 8);
        if (std::abs(v) > 3000) {
            p.click = start + static_cast<double>(i / 2) / 48000;
            break;
        }
    }
    return p;
}

TEST(Timeline, TrimmedDelayedAndVariableRateClipsPlayAsTheClip) {
    // Flash and click at 1.5 s.
    const std::string base = clip("tl_base.mp4", 45, 1.5);
    ASSERT_FALSE(base.empty());
    // A gap of 0.3 s after frame 12: frame 37 and the click at 1.5 s.
    const std::string vfr = clip("tl_vfr.mp4", 36, 1.5, ",setpts='PTS+gt(N\\,11)*0.3/TB'");
    const std::string trimmed = testutil::makeClip("tl_trimmed.mp4", "-ss 0.5 -i " + quote(base) + " -c copy");
    const std::string delayed = testutil::makeClip(
        "tl_delayed.mp4", "-i " + quote(base) + " -itsoffset 0.5 -i " + quote(base) + " -map 0:v -map 1:a -c copy");
    ASSERT_FALSE(vfr.empty() || trimmed.empty() || delayed.empty());
    struct Case {
        const char* name;
        std::string clip, args;
        size_t first, frames;  // the frames written, from 0
        double flash, click;   // as the clip plays them, from the first frame written
    } cases[] = {
        {"trimmed", trimmed, "", 0, 75, 1.0, 1.0},
        {"trimmed, frames 16 to 45", trimmed, "--start 16 --frames 30", 15, 30, 0.5, 0.5},
        {"sound delayed by 0.5 s", delayed, "", 0, 90, 1.5, 2.0},
        {"variable frame rate", vfr, "", 0, 90, 1.5, 1.5},
        {"variable frame rate from frame 20", vfr, "--start 20 --frames 40", 19, 40, 1.5 - 0.3 - 19 / 30.0,
         1.5 - 0.3 - 19 / 30.0},
    };
    const std::string dir = testutil::makeTempDir("stitch_timeline");
    // Each clip played once, whichever cases stitch it.
    std::map<std::string, Played> played;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir + "/out.mp4";
        ASSERT_EQ(stitch(c.args + " " + quote(c.clip) + " " + quote(out)), 0);
        if (!played.count(c.clip)) played[c.clip] = play(c.clip);
        const Played& in = played[c.clip];
        const Played got = play(out);
        ASSERT_EQ(got.frameTimes.size(), c.frames);
        EXPECT_NEAR(got.flash, c.flash, kFrame);
        EXPECT_NEAR(got.click, c.click, kFrame);
        EXPECT_NEAR(got.click - got.flash, c.click - c.flash, kFrame);
        // Each frame keeps its time: the clip's, from the first frame written.
        ASSERT_GE(in.frameTimes.size(), c.first + c.frames);
        for (size_t i = 0; i < c.frames; ++i)
            ASSERT_NEAR(got.frameTimes[i], in.frameTimes[c.first + i] - in.frameTimes[c.first], 1e-3) << "frame " << i + 1;
    }
    // The frames shown, their usual rate (the pause left out) and how long they play.
    std::string info;
    ASSERT_EQ(stitch("--info " + quote(vfr), &info), 0);
    EXPECT_NE(info.find("90 frames at 30 fps (30/1), 3.300 s"), std::string::npos) << info;
    ASSERT_EQ(stitch("--info " + quote(trimmed), &info), 0);
    EXPECT_NE(info.find("75 frames at 30 fps (30/1), 2.500 s"), std::string::npos) << info;
    // Picture sequences are numbered by the frames shown: 31 of the trimmed clip is the flash.
    ASSERT_EQ(stitch("--start 30 --frames 2 " + quote(trimmed) + " " + quote(dir + "/f%03d.png")), 0);
    EXPECT_LT(play(dir + "/f030.png", false).flash, 0);
    EXPECT_GE(play(dir + "/f031.png", false).flash, 0);
}

}  // namespace
