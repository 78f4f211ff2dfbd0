// Which of a clip's tracks the stitcher uses: the calibration from any
// timed-text track, the video and sound a player presents, sound the clip
// reader does not decode carried over through FFmpeg, and tracks it does not
// use left alone. Clips are the sample clip re-muxed by ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SoundMatch.h"
#include "test_clips.h"

namespace {

using testutil::quote;

const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

// The sample clip (its sound, its calibration record, its timing) at a fifth
// of its size: what is checked here is tracks and sound, not pictures.
const std::string& smallSample() {
    static const std::string clip = testutil::makeClip(
        "tracks_small_sample.mp4", "-i " + quote(kSample) +
                                       " -map 0 -c copy -vf scale=384:192 -c:v libx264 -preset ultrafast");
    return clip;
}

using RunResult = testutil::StitcherRun;
RunResult stitch(const std::string& args) { return testutil::runStitcher(args); }

// The line of `text` that starts with `start` (empty when none).
std::string line(const std::string& text, const std::string& start) {
    const size_t at = text.find("\n" + start);
    if (at == std::string::npos) return text.compare(0, start.size(), start) == 0 ? text.substr(0, text.find('\n')) : "";
    return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

// A chirp (a sound whose lag is plain to see), 3 s at 48 kHz, stereo.
const char* kChirp = "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*(100*t+500*t*t))|0.5*sin(2*PI*(300*t+300*t*t)):s=48000:d=3' ";

// The sample clip with its sound replaced by the chirp in `codec`, plus `extra` arguments.
std::string withSound(const std::string& name, const std::string& codec, const std::string& extra = "") {
    return testutil::makeClip(name, "-i " + quote(smallSample()) + " " + kChirp + extra +
                                        "-map 0:v -map 1:a -map 0:s -c copy -c:a " + codec + " -shortest");
}

// Interleaved stereo 16-bit sound at 48 kHz of the output's sound and of
// stream `map` ("0:a:0" and the like) of the clip, decoded by one ffmpeg.
void decodeSounds(const std::string& out, const std::string& clip, const std::string& map, std::vector<int16_t>& got,
                  std::vector<int16_t>& in) {
    const std::string dir = testutil::makeTempDir("tracks_decoded");
    const std::string pcm = " -f s16le -ac 2 -ar 48000 ";
    const int rc = testutil::runCommand("ffmpeg -v error -nostdin -i " + quote(out) + " -i " + quote(clip) + " -map 0:a" +
                                        pcm + quote(dir + "/out.raw") + " -map 1" + map.substr(1) + pcm +
                                        quote(dir + "/clip.raw"));
    EXPECT_EQ(rc, 0) << out << " " << clip;
    got = testutil::s16le(testutil::readFile(dir + "/out.raw"));
    in = testutil::s16le(testutil::readFile(dir + "/clip.raw"));
}

// The lag of `out` behind `clip` (within 50 ms, from the left channel over
// the middle quarter second) and the SNR in dB with the lag taken out.
testutil::SoundMatch compareSound(const std::vector<int16_t>& clip, const std::vector<int16_t>& out, long offset) {
    const long n = static_cast<long>(out.size() / 2);
    testutil::SoundWindows w;
    w.offset = offset;
    w.maxLag = 2400;
    w.lagFrom = n / 2 - 6000;
    w.lagTo = n / 2 + 6000;
    w.lagChannel = 0;
    w.snrFrom = 2048;
    w.snrTo = n - 2048;
    return testutil::compareSound(clip, out, 2, w);
}

// Stitches `frames` frames (at 30 fps) of `clip` from frame `start` on and
// checks that the output's sound is stream `map` of the clip: in time (1 ms)
// and faithful.
void expectSoundOf(const std::string& clip, const std::string& map, double minSnr, int start = 1, int frames = 30) {
    const std::string out = testutil::makeTempDir("tracks_sound") + "/out.mp4";
    const RunResult r = stitch("--size 32 --preset ultrafast --start " + std::to_string(start) + " --frames " +
                               std::to_string(frames) + " " + quote(clip) + " " + quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    std::vector<int16_t> got, in;
    decodeSounds(out, clip, map, got, in);
    EXPECT_NEAR(got.size() / 2.0, frames * 1600.0, 48000 * 0.025);
    const testutil::SoundMatch m = compareSound(in, got, (start - 1) * 1600L);
    std::printf("%s: lag %ld samples, %.1f dB\n", clip.c_str(), m.lag, m.snr);
    EXPECT_LE(std::labs(m.lag), 48);
    EXPECT_GE(m.snr, minSnr);
}

// The calibration the sample clip's record holds, as --info shows it.
std::string sampleCalibration() {
    static const std::string text = line(stitch("--info " + quote(kSample)).out, "calibration: ");
    return text;
}

// The calibration records are found in any timed-text track, whatever its
// handler and place: a re-mux renames "text" to "sbtl", and chapter titles
// are a text track of their own.
TEST(Tracks, CalibrationFromAnyTextTrack) {
    ASSERT_NE(sampleCalibration().find("calibration: 2_"), std::string::npos) << sampleCalibration();
    EXPECT_EQ(sampleCalibration().find("default"), std::string::npos) << sampleCalibration();
    const std::string chapters = testutil::clipDir() + "/tracks_chapters.txt";
    testutil::writeFile(chapters, ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=One\n");
    const std::string clips[] = {
        testutil::makeClip("tracks_remuxed.mp4", "-i " + quote(kSample) + " -map 0 -c copy"),
        testutil::makeClip("tracks_chapters.mp4", "-i " + quote(kSample) + " -i " + quote(chapters) +
                                                      " -map 0 -map_chapters 1 -c copy"),
    };
    for (const std::string& clip : clips) {
        ASSERT_FALSE(clip.empty());
        const RunResult r = stitch("--info " + quote(clip));
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(line(r.out, "calibration: "), sampleCalibration()) << r.out;
        EXPECT_EQ(line(r.out, "  track 3: "), "  track 3: sbtl (tx3g), enabled: the calibration") << r.out;
    }
}

// Of two tracks of a kind, the one a player presents: the enabled one (the
// default), else the first.
TEST(Tracks, PresentedTrackIsUsed) {
    const std::string sine = "-f lavfi -i sine=frequency=880:sample_rate=48000:duration=3 ";
    const std::string twoSounds = testutil::makeClip(
        "tracks_two_sounds.mp4", "-i " + quote(smallSample()) + " " + kChirp + sine +
                                     "-map 0:v -map 1:a -map 2:a -map 0:s -c copy -c:a aac -b:a 192k -disposition:a:1 0 "
                                     "-shortest");
    const std::string secondPresented = testutil::makeClip(
        "tracks_second_sound_presented.mp4", "-i " + quote(twoSounds) +
                                                 " -map 0 -c copy -disposition:a:0 0 -disposition:a:1 default");
    const std::string preview = testutil::makeClip(
        "tracks_preview_h264.mp4", "-i " + quote(smallSample()) + " -f lavfi -i testsrc=size=480x240:rate=30 -map 0 -map 1:v "
                                   "-c copy -c:v:1 libx264 -preset ultrafast -shortest");
    ASSERT_FALSE(twoSounds.empty() || secondPresented.empty() || preview.empty());

    RunResult r = stitch("--info " + quote(twoSounds));
    EXPECT_EQ(line(r.out, "  track 2: "), "  track 2: sound (mp4a), enabled: the sound") << r.out;
    EXPECT_EQ(line(r.out, "  track 3: "), "  track 3: sound (mp4a), disabled: not used") << r.out;
    expectSoundOf(twoSounds, "0:a:0", 25);
    r = stitch("--info " + quote(secondPresented));
    EXPECT_EQ(line(r.out, "  track 3: "), "  track 3: sound (mp4a), enabled: the sound") << r.out;

    r = stitch("--info " + quote(preview));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(line(r.out, "video: ").find("video: H.264 384x192,"), 0u) << r.out;
    EXPECT_EQ(line(r.out, "  track 4: "), "  track 4: video (avc1) 480x240, disabled: not used") << r.out;
}

// Sound the clip reader does not decode comes through FFmpeg and goes out
// as AAC; tracks not used, whatever their codec, do not matter; sound that
// nothing decodes leaves the video silent with a warning.
TEST(Tracks, SoundAndTracksBeyondTheReader) {
    // Decoded, re-encoded as AAC and compared, each keeps about 30 dB.
    struct Sound {
        std::string clip;
        double minSnr;
    } sounds[] = {
        {withSound("tracks_mp3.mp4", "libmp3lame -b:a 192k"), 25},
        {withSound("tracks_opus.mp4", "libopus -b:a 192k"), 25},
        {withSound("tracks_pcm.mov", "pcm_s16le"), 25},
        // An added Opus track that is not presented is left alone.
        {testutil::makeClip("tracks_added_opus.mp4", "-i " + quote(withSound("tracks_aac.mp4", "aac -b:a 192k")) +
                                                        " -f lavfi -i sine=frequency=660:duration=3 -map 0 -map 1:a "
                                                        "-c copy -c:a:1 libopus -shortest"),
         25},
    };
    for (const Sound& s : sounds) {
        SCOPED_TRACE(s.clip);
        ASSERT_FALSE(s.clip.empty());
        expectSoundOf(s.clip, "0:a:0", s.minSnr);
    }
    // From a later frame: the sound before it is decoded and let go.
    expectSoundOf(sounds[1].clip, "0:a:0", 25, 68, 20);
    const RunResult info = stitch("--info " + quote(sounds[1].clip));
    EXPECT_NE(info.out.find("\naudio: opus 48000 Hz, 2 channels,"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("  track 2: sound (Opus), enabled: the sound, decoded through FFmpeg"), std::string::npos)
        << info.out;

    // Preview tracks the reader cannot decode.
    const std::string dir = testutil::makeTempDir("tracks_preview");
    std::string hevcPreview;
    for (const char* codec : {"mjpeg", "libx265 -preset ultrafast -x265-params log-level=error"}) {
        SCOPED_TRACE(codec);
        const std::string clip = testutil::makeClip(
            std::string("tracks_preview_") + (codec[0] == 'm' ? "mjpeg" : "hevc") + ".mp4",
            "-i " + quote(smallSample()) + " -f lavfi -i testsrc=size=480x240:rate=30 -map 0 -map 1:v -c copy -c:v:1 " +
                codec + " -shortest");
        ASSERT_FALSE(clip.empty());
        hevcPreview = clip;
        const RunResult r = stitch("-y --size 32 --frame 2 " + quote(clip) + " " + quote(dir + "/p.png"));
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.err.find("has 2 video tracks; track 1 is stitched"), std::string::npos) << r.err;
    }

    // Sound nothing decodes (its entry renamed), and an HEVC main video.
    std::string bytes = testutil::readFile(sounds[1].clip);
    const size_t entry = bytes.find("Opus");
    ASSERT_NE(entry, std::string::npos);
    bytes.replace(entry, 4, "Qpux");
    const std::string silent = dir + "/silent.mp4";
    ASSERT_TRUE(testutil::writeFile(silent, bytes));
    RunResult r = stitch("-y --size 32 --preset ultrafast --frames 5 " + quote(silent) + " " + quote(dir + "/s.mp4"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("(track 2, Qpux) cannot be decoded"), std::string::npos) << r.err;
    EXPECT_EQ(testutil::captureCommand("ffprobe -v error -select_streams a -show_entries stream=index -of csv " +
                                       quote(dir + "/s.mp4")),
              "");
    r = stitch("-y --size 32 --no-audio --frames 5 " + quote(sounds[1].clip) + " " + quote(dir + "/n.mp4"));
    EXPECT_EQ(r.code, 0) << r.err;

    // The main video is HEVC: alone, or presented while the H.264 track is not.
    const std::string hevcClips[] = {
        testutil::makeClip("tracks_main_hevc.mp4", "-i " + quote(smallSample()) + " -map 0 -c copy -c:v libx265 -preset "
                                                   "ultrafast -x265-params log-level=error -frames:v 10"),
        testutil::makeClip("tracks_hevc_presented.mp4", "-i " + quote(hevcPreview) +
                                                            " -map 0 -c copy -disposition:v:0 0 -disposition:v:1 default"),
    };
    for (const std::string& hevc : hevcClips) {
        r = stitch("-y --size 32 " + quote(hevc) + " " + quote(dir + "/h.mp4"));
        EXPECT_EQ(r.code, 3);
        EXPECT_NE(r.err.find("its main video is not H.264 (hevc)"), std::string::npos) << r.err;
    }
}

}  // namespace
