// The clip's metadata in the video, read back with ffprobe and ffmpeg as a
// user would: the recording's time, place, title and comment, its chapters
// and timecode moved to the stretch stitched, and its camera-motion track
// kept only where the video's view is the camera's; a plan's joined video
// carries the same as a whole run.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Mp4AddTrack.h"
#include "test_clips.h"

namespace {

using testutil::quote;

const std::string kSample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

// The camera-motion samples of the clip: one every 100 ms, each an angle-axis
// record (type 0) whose values tell them apart.
stitcher::CopiedTrack motionTrack() {
    stitcher::CopiedTrack t;
    t.handler = "camm";
    t.timescale = 1000;
    t.sampleEntry = {0, 0, 0, 16, 'c', 'a', 'm', 'm', 0, 0, 0, 0, 0, 0, 0, 1};
    for (int k = 0; k < 7; ++k) {
        stitcher::CopiedTrack::Sample s;
        s.time = 100 * k;
        s.duration = 100;
        s.data.assign(16, 0);
        const float v[3] = {0.01f * k, -0.02f * k, 0.5f + k};
        std::memcpy(s.data.data() + 4, v, sizeof v);
        t.samples.push_back(s);
    }
    return t;
}

// A clip of 21 frames (30 fps) with every kind of metadata.
const std::string& clip() {
    static const std::string path = [] {
        const std::string dir = testutil::makeTempDir("metaclip");
        const std::string chapters = dir + "/chapters.txt";
        testutil::writeFile(chapters, ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=300\ntitle=Quay\n"
                                      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=300\nEND=700\ntitle=Bridge\n");
        const std::string p = dir + "/tagged.mp4";
        if (testutil::runCommand("ffmpeg -v error -nostdin -y -i " + quote(kSample) + " -i " + quote(chapters) +
                                 " -map 0 -map_chapters 1 -t 0.7 -c copy -metadata creation_time=2024-05-06T07:08:09Z"
                                 " -metadata location=+48.8584+002.2945/ -metadata title=Harbour"
                                 " -metadata comment='Walk by the quay' -timecode 10:00:00:00 " + quote(p)) != 0)
            return std::string();
        bool intact = true;
        return stitcher::addCopiedTrack(p, motionTrack(), intact).ok() ? p : std::string();
    }();
    return path;
}

std::string probe(const std::string& path, const std::string& what) {
    return testutil::captureCommand("ffprobe -v error " + what + " -of default=nw=1 " + quote(path));
}

// The camera-motion stream: when each sample is shown, then its bytes, 16
// to a line (" %02x" each). One ffprobe reads the data streams, their
// packets and the packets' bytes.
std::string motion(const std::string& path) {
    std::istringstream in(probe(path, "-select_streams d -show_data -show_entries "
                                      "stream=index,codec_tag_string:packet=stream_index,pts_time,data"));
    struct Packet {
        std::string index, time, bytes;
    };
    std::vector<Packet> packets;
    std::string camm, index;
    bool inData = false;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 13, "stream_index=") == 0) {
            packets.push_back({line.substr(13), "", ""});
            inData = false;
        } else if (line.compare(0, 9, "pts_time=") == 0 && !packets.empty()) {
            packets.back().time = line;
        } else if (line == "data=") {
            inData = true;
        } else if (inData && line.size() > 10 && line[8] == ':' && !packets.empty()) {
            // "00000000: 0000 0ad7 ...  text": hex digits in groups, then two spaces and the bytes as text.
            for (size_t at = 10; at < line.size() && (line[at] != ' ' || line[at + 1] != ' '); ++at)
                if (line[at] != ' ') packets.back().bytes += line[at];
        } else if (line.compare(0, 6, "index=") == 0) {
            index = line.substr(6);
            inData = false;
        } else if (line == "codec_tag_string=camm") {
            camm = index;
        } else {
            inData = false;
        }
    }
    if (camm.empty()) return "";
    std::string times, bytes;
    size_t count = 0;
    for (const Packet& p : packets) {
        if (p.index != camm) continue;
        times += p.time + "\n";
        for (size_t i = 0; i + 2 <= p.bytes.size(); i += 2, ++count)
            bytes += " " + p.bytes.substr(i, 2) + (count % 16 == 15 ? "\n" : "");
    }
    return times + bytes;
}

TEST(Metadata, CarriedOverForTheStretchStitched) {
    ASSERT_FALSE(clip().empty());
    ASSERT_NE(motion(clip()), "");
    const std::string dir = testutil::makeTempDir("meta");
    // Frames 6 to 15: from 1/6 s to 1/2 s of the clip.
    const std::string range = "-y --size 16 --start 6 --frames 10 --color-match off ";
    testutil::StitcherRun r = testutil::runStitcher(range + quote(clip()) + " " + quote(dir + "/whole.mp4"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("the camera-motion track (camm) is kept"), std::string::npos) << r.err;
    const std::string whole = dir + "/whole.mp4";
    // The video's timecode, the chapters and the file's tags, in the order ffprobe prints them.
    EXPECT_EQ(probe(whole, "-select_streams v -show_entries stream_tags=timecode:chapter=start_time,end_time:"
                           "chapter_tags=title:format_tags=creation_time,location,title,comment"),
              "TAG:timecode=10:00:00:05\n"
              "start_time=0.000000\nend_time=0.133000\nTAG:title=Quay\n"
              "start_time=0.133000\nend_time=0.333000\nTAG:title=Bridge\n"
              "TAG:creation_time=2024-05-06T07:08:09.000000Z\nTAG:title=Harbour\nTAG:comment=Walk by the quay\n"
              "TAG:location=+48.8584+002.2945/\n");
    // The motion samples of 0.2, 0.3 and 0.4 s, from the video's start.
    const std::string kept = motion(whole);
    EXPECT_EQ(kept.substr(0, kept.find(' ')), "pts_time=0.033000\npts_time=0.133000\npts_time=0.233000\n");
    std::string want;
    for (int k = 2; k <= 4; ++k) {
        char line[80];
        const stitcher::CopiedTrack t = motionTrack();
        const auto& d = t.samples[static_cast<size_t>(k)].data;
        for (size_t i = 0; i < d.size(); ++i) {
            std::snprintf(line, sizeof line, " %02x", d[i]);
            want += line;
            if (i % 16 == 15) want += "\n";
        }
    }
    EXPECT_EQ(kept.substr(kept.find(' ')), want);

    r = testutil::runStitcher("--info --start 6 --frames 10 " + quote(clip()));
    EXPECT_NE(r.out.find("carried over into the video: creation time 2024-05-06T07:08:09.000000Z, location "
                         "+48.8584+002.2945/, title Harbour, comment Walk by the quay, 2 chapters, timecode 10:00:00:05\n"
                         "  the camera-motion track (camm) is kept"),
              std::string::npos)
        << r.out;

    // A turned view no longer matches the motion the track describes.
    r = testutil::runStitcher(range + "--yaw 30 " + quote(clip()) + " " + quote(dir + "/turned.mp4"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("the camera-motion track (camm) is dropped"), std::string::npos) << r.err;
    EXPECT_EQ(motion(dir + "/turned.mp4"), "");
    EXPECT_NE(probe(dir + "/turned.mp4", "-show_entries format_tags=title"), "");

    // The farm's joined video carries what the whole run's does.
    r = testutil::runStitcher(range + "--plan-out " + quote(dir + "/plan.json") + " --segments 2 " + quote(clip()));
    ASSERT_EQ(r.code, 0) << r.err;
    for (int k = 1; k <= 2; ++k)
        ASSERT_EQ(testutil::runStitcher("-y --plan " + quote(dir + "/plan.json") + " --segment " + std::to_string(k) +
                                        "/2 " + quote(clip()) + " " + quote(dir + "/s" + std::to_string(k) + ".mp4"))
                      .code,
                  0);
    r = testutil::runStitcher("-y --join " + quote(dir + "/joined.mp4") + " --plan " + quote(dir + "/plan.json") + " " +
                              quote(dir + "/s1.mp4") + " " + quote(dir + "/s2.mp4"));
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string described = "-show_chapters -show_entries format_tags:stream=codec_type,codec_tag_string:stream_tags";
    EXPECT_EQ(probe(dir + "/joined.mp4", described), probe(whole, described));
    EXPECT_EQ(motion(dir + "/joined.mp4"), kept);
}

}  // namespace
