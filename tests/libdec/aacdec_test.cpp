// AAC decoder alone: configuration, rate index, mono path, frames taken from
// a clip made by the ffmpeg command.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "aacdec/CAacDec.h"
#include "decode_helpers.h"
#include "mp4read/CMp4Read.h"

using namespace dectest;

namespace {

std::vector<std::string> Frames(const ClipRecipe& recipe) {
    CMp4Read rd(Make(recipe).c_str());
    std::vector<std::string> frames;
    unsigned char* data = nullptr;
    unsigned int size = 0;
    for (unsigned int n = 1; rd.GetAudioSample(n, data, size) == 0; ++n)
        frames.emplace_back(reinterpret_cast<char*>(data), size);
    return frames;
}

TEST(AacDec, SamplerateIndexNearestRate) {
    struct Row {
        unsigned int rate;
        unsigned char index;
    };
    const Row rows[] = {{4294967295u, 0}, {96000, 0}, {92017, 0}, {92016, 1}, {88200, 1}, {75132, 1},
                        {75131, 2},       {64000, 2}, {55426, 2}, {55425, 3}, {48000, 3}, {46009, 3},
                        {46008, 4},       {44100, 4}, {37566, 4}, {37565, 5}, {32000, 5}, {27713, 5},
                        {27712, 6},       {24000, 6}, {23004, 6}, {23003, 7}, {22050, 7}, {18783, 7},
                        {18782, 8},       {16000, 8}, {13856, 8}, {13855, 9}, {12000, 9}, {11502, 9},
                        {11501, 10},      {11025, 10}, {9391, 10}, {9390, 11}, {8000, 11}, {0, 11}};
    CAacDec d(48000, 2);
    for (const Row& r : rows) EXPECT_EQ(r.index, d.GetSamplerateIndex(r.rate)) << r.rate;
}

TEST(AacDec, ConfigurationBytes) {
    struct Row {
        unsigned int rate;
        unsigned char channels, b0, b1;
    };
    const Row rows[] = {{48000, 2, 0x11, 0x90}, {44100, 1, 0x12, 0x08}, {0, 2, 0x15, 0x90},
                        {96000, 6, 0x10, 0x30}, {22050, 1, 0x13, 0x88}, {16000, 15, 0x14, 0x78}};
    CAacDec d(48000, 2);
    for (const Row& r : rows) {
        unsigned char c[2] = {0, 0};
        d.MakeConfig(r.rate, r.channels, c);
        EXPECT_EQ(r.b0, c[0]) << r.rate << "/" << int(r.channels);
        EXPECT_EQ(r.b1, c[1]) << r.rate << "/" << int(r.channels);
    }
}

TEST(AacDec, StereoToMomoKeepsFirstChannelWithinRoom) {
    const short in[8] = {1, -1, 2, -2, 3, -3, 4, -4};
    struct Row {
        unsigned int inBytes, room, written;
    };
    const Row rows[] = {{8, 2, 2}, {8, 3, 2}, {8, 100, 4}, {16, 100, 8}, {16, 6, 6}, {6, 100, 2}, {0, 10, 0},
                        {16, 0, 0}};
    CAacDec d(48000, 2);
    for (const Row& r : rows) {
        short out[8];
        std::memset(out, 0x55, sizeof out);
        unsigned int w = d.StereoToMomo(reinterpret_cast<unsigned char*>(const_cast<short*>(in)), r.inBytes,
                                        reinterpret_cast<unsigned char*>(out), r.room);
        EXPECT_EQ(r.written, w) << r.inBytes << "/" << r.room;
        for (unsigned int k = 0; k < w / 2; ++k) EXPECT_EQ(in[2 * k], out[k]);
        EXPECT_EQ(0x5555, static_cast<unsigned short>(out[w / 2])) << "wrote past the room";
    }
}

TEST(AacDec, FrameSizesAndRoom) {
    struct Case {
        const ClipRecipe* clip;
        unsigned int rate;
        unsigned char channels;
        unsigned int frameBytes;
    };
    for (const Case& c : {Case{&kStereo, 48000, 2, 4096}, Case{&kMono, 44100, 1, 2048}}) {
        std::vector<std::string> frames = Frames(*c.clip);
        ASSERT_GT(frames.size(), 100u);
        CAacDec full(c.rate, c.channels), cut(c.rate, c.channels);
        EXPECT_EQ(c.rate, full.OutputRate());
        EXPECT_EQ(c.channels, full.OutputChannels());
        EXPECT_EQ(1024u, full.FrameLength());
        std::vector<unsigned char> a(8192), b(8192, 0xAA), first;
        // Every frame gives its samples, the first one too; the room is
        // filled with whole 16-bit samples only.
        for (size_t i = 0; i < 20; ++i) {
            unsigned char* in = reinterpret_cast<unsigned char*>(&frames[i][0]);
            unsigned int room = a.size();
            ASSERT_EQ(0, full.Decode(in, frames[i].size(), a.data(), room)) << i;
            EXPECT_EQ(c.frameBytes, room) << i;
            if (i == 0) first.assign(a.begin(), a.begin() + room);
            unsigned int small = 101;
            ASSERT_EQ(0, cut.Decode(in, frames[i].size(), b.data(), small)) << i;
            EXPECT_EQ(100u, small);
            EXPECT_EQ(0, std::memcmp(a.data(), b.data(), 100)) << i;
            EXPECT_EQ(0xAA, b[100]);
        }
        // After a reset the decoder has forgotten every frame before.
        ASSERT_TRUE(full.Reset());
        unsigned int room = a.size();
        ASSERT_EQ(0, full.Decode(reinterpret_cast<unsigned char*>(&frames[0][0]), frames[0].size(), a.data(), room));
        EXPECT_EQ(first, std::vector<unsigned char>(a.begin(), a.begin() + room));
    }
}

TEST(AacDec, BadFrameFailsAndDecodingGoesOn) {
    ASSERT_TRUE(kHomeReady);
    std::vector<std::string> frames = Frames(kStereo);
    ASSERT_GT(frames.size(), 10u);
    CAacDec d(48000, 2);
    std::vector<unsigned char> out(8192, 0x11);
    unsigned int room = 0;
    for (int i = 0; i < 5; ++i) {
        room = out.size();
        ASSERT_EQ(0, d.Decode(reinterpret_cast<unsigned char*>(&frames[i][0]), frames[i].size(), out.data(), room));
    }
    LogWatch log;
    unsigned char junk[64];
    for (size_t i = 0; i < sizeof junk; ++i) junk[i] = static_cast<unsigned char>(i * 37 + 0xF1);
    std::vector<unsigned char> before = out;
    room = 1234;
    EXPECT_EQ(1, d.Decode(junk, sizeof junk, out.data(), room));
    EXPECT_EQ(1234u, room);
    EXPECT_EQ(before, out);
    EXPECT_EQ(1u, CountOf(log.Since(), "ERROR AAC decoder fail to decode. Error Code:")) << log.Since();
    room = out.size();
    EXPECT_EQ(0, d.Decode(reinterpret_cast<unsigned char*>(&frames[6][0]), frames[6].size(), out.data(), room));
    EXPECT_EQ(4096u, room);
}

// The clip's own configuration is used when the library takes it; one it
// refuses falls back to the configuration built from rate and channels.
TEST(AacDec, ClipConfigurationOrBuiltOne) {
    ASSERT_TRUE(kHomeReady);
    std::vector<std::string> frames = Frames(kStereo);
    const unsigned char own[] = {0x11, 0x90, 0x56, 0xe5, 0x00};  // as the ffmpeg command writes it
    const unsigned char bad[] = {0xff, 0xff, 0xff};
    LogWatch log;
    CAacDec a(own, sizeof own, 48000, 2);
    EXPECT_EQ(0u, CountOf(log.Since(), "refused")) << log.Since();
    CAacDec b(bad, sizeof bad, 48000, 2);
    EXPECT_EQ(1u, CountOf(log.Since(), "INFO  The clip's audio configuration is refused")) << log.Since();
    for (CAacDec* d : {&a, &b}) {
        EXPECT_EQ(48000u, d->OutputRate());
        EXPECT_EQ(2u, d->OutputChannels());
        std::vector<unsigned char> out(4096);
        unsigned int room = out.size();
        EXPECT_EQ(0, d->Decode(reinterpret_cast<unsigned char*>(&frames[3][0]), frames[3].size(), out.data(), room));
        EXPECT_EQ(4096u, room);
    }
}

TEST(AacDec, RejectedConfigurationThrowsAfterLogging) {
    ASSERT_TRUE(kHomeReady);
    LogWatch log;
    // Channel configurations above 7 are reserved.
    EXPECT_THROW(CAacDec(48000, 9), std::runtime_error);
    std::string text = log.Since();
    EXPECT_EQ(1u, CountOf(text, "INFO  Failed to initialize AAC decoder. Error Code:-")) << text;
}

}  // namespace
