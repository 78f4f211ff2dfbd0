// Four-channel sound through the stitcher: each channel stays in its place,
// and a clip's spatial sound marking (an SA3D box in the audio sample entry)
// reaches the video; a clip without one gives a video without one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "AudioEntryPatch.h"
#include "libdec.h"
#include "libdec_internal.h"
#include "test_clips.h"

namespace {

using testutil::quote;

const std::string kStitcher = std::string(DFS_BINARY_DIR) + "/stitcher/stitcher";
const double kTones[4] = {500, 700, 900, 1100};

// Four channels (4.0), a tone each, and a 2:1 picture.
std::string fourChannelClip() {
    std::string inputs, labels;
    for (int c = 0; c < 4; ++c) {
        inputs += "-f lavfi -i sine=frequency=" + std::to_string(static_cast<int>(kTones[c])) +
                  ":sample_rate=48000:duration=2 ";
        labels += "[" + std::to_string(c + 1) + ":a]";
    }
    return testutil::makeClip("spatial_four.mp4", "-f lavfi -i testsrc=size=320x160:rate=25:duration=2 " + inputs +
                                                      "-filter_complex '" + labels +
                                                      "join=inputs=4:channel_layout=4.0[a]' -map 0:v -map '[a]' "
                                                      "-c:v libx264 -bf 0 -g 25 -pix_fmt yuv420p -c:a aac -b:a 256k");
}

void put32(std::string& s, uint32_t v) {
    for (int i = 3; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// First-order ambisonics (ACN, SN3D) with the given channel map.
std::string sa3d(const std::vector<uint32_t>& map) {
    std::string b;
    put32(b, static_cast<uint32_t>(20 + 4 * map.size()));
    b += "SA3D";
    b += std::string("\0\0", 2);  // version 0, periphonic
    put32(b, 1);                  // order
    b += std::string("\0\0", 2);  // ACN, SN3D
    put32(b, static_cast<uint32_t>(map.size()));
    for (uint32_t m : map) put32(b, m);
    return b;
}

// A copy of `clip` whose audio sample entry ends in `box`.
std::string withAudioEntryBox(const std::string& clip, const std::string& box, const std::string& name) {
    std::string path = testutil::makeTempDir("spatial_clip") + "/" + name;
    return testutil::appendToAudioEntry(clip, box, path) ? path : "";
}

std::vector<int16_t> decodeSound(const std::string& path) {
    int rc = 0;
    std::string raw =
        testutil::captureCommand("ffmpeg -v error -nostdin -i " + quote(path) + " -vn -f s16le -ac 4 -", &rc);
    EXPECT_EQ(rc, 0) << path;
    std::vector<int16_t> pcm(raw.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(static_cast<uint8_t>(raw[2 * i]) | (static_cast<uint8_t>(raw[2 * i + 1]) << 8));
    return pcm;
}

// The tone (index into kTones) loudest in channel c (Goertzel).
int loudestTone(const std::vector<int16_t>& pcm, int c) {
    int loudest = 0;
    double best = -1;
    for (int t = 0; t < 4; ++t) {
        const double w = 2 * M_PI * kTones[t] / 48000, k = 2 * std::cos(w);
        double s1 = 0, s2 = 0;
        for (size_t i = c; i < pcm.size(); i += 4) {
            double s = pcm[i] + k * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        const double p = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (p > best) best = p, loudest = t;
    }
    return loudest;
}

// The SA3D box of a file's audio, as the reader sees it; empty without one.
std::string spatialBox(const std::string& path) {
    void* h = PRDOpen(path.c_str());
    EXPECT_NE(nullptr, h) << path;
    std::vector<uint8_t> box;
    libdec::AudioSpatialBox(h, box);
    PRDClose(h);
    return std::string(box.begin(), box.end());
}

TEST(SpatialAudio, FourChannelsKeepTheirPlacesAndTheirMarking) {
    const std::string plain = fourChannelClip();
    ASSERT_FALSE(plain.empty());
    const std::string box = sa3d({0, 3, 1, 2});
    const std::string marked = withAudioEntryBox(plain, box, "marked.mp4");
    ASSERT_FALSE(marked.empty());
    ASSERT_EQ(box, spatialBox(marked));
    ASSERT_EQ("", spatialBox(plain));
    // A malformed marking (a channel map entry past the channel count) is not carried.
    const std::string bad = withAudioEntryBox(plain, sa3d({0, 1, 2, 4}), "bad.mp4");

    const std::string dir = testutil::makeTempDir("spatial_out");
    struct Case {
        std::string clip, expect;
    } cases[] = {{marked, box}, {plain, ""}, {bad, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clip);
        const std::string out = dir + "/out.mp4";
        int rc = 0;
        std::string err = testutil::captureCommand(quote(kStitcher) + " -y --engine cpu --size 32 --preset ultrafast " +
                                                       quote(c.clip) + " " + quote(out) + " 2>&1",
                                                   &rc);
        ASSERT_EQ(0, rc) << err;
        EXPECT_EQ(c.expect, spatialBox(out));
        // Every byte the index points at is where it says: both streams decode cleanly.
        EXPECT_EQ("", testutil::captureCommand("ffmpeg -v error -nostdin -i " + quote(out) + " -f null - 2>&1 | head -c 300"));
        auto in = decodeSound(c.clip), got = decodeSound(out);
        ASSERT_GT(got.size(), 48000u * 4);
        std::set<int> distinct;
        for (int ch = 0; ch < 4; ++ch) {
            distinct.insert(loudestTone(in, ch));
            EXPECT_EQ(loudestTone(in, ch), loudestTone(got, ch)) << "channel " << ch;
        }
        EXPECT_EQ(4u, distinct.size()) << "the clip's channels should carry four different tones";
    }
}

}  // namespace
