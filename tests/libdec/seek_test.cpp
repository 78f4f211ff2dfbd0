// Random access by frame number: every picture, whatever the order of the
// requests, must be bit-exact with the one decoded in order, and the in-order
// pictures must match the ffmpeg command's own decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "Mp4Writer.h"
#include "control/CControl.h"
#include "decode_helpers.h"
#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"

using namespace dectest;

namespace {

class SeekTest : public ::testing::TestWithParam<ClipRecipe> {};

// Tolerance against the clip's pictures as a player shows them (see
// FfmpegBgr): the decoder rounds within 0.53 of a level, so one step of
// rounding here and there.
constexpr double kMaxMeanAbs = 0.05;
constexpr int kMaxAbs = 1;

TEST_P(SeekTest, InOrderMatchesFfmpegAndEndsAtLastFrame) {
    std::string path = Make(GetParam());
    ASSERT_FALSE(path.empty());
    std::string ref = FfmpegBgr(path);
    Session s(path);
    ASSERT_NE(nullptr, s.handle());
    const size_t n = s.frameBytes();
    ASSERT_EQ(ref.size(), n * s.info().frames) << "ffmpeg gives a different picture count";
    unsigned char* first = nullptr;
    for (unsigned int f = 1; f <= s.info().frames; ++f) {
        unsigned char* out = nullptr;
        ASSERT_EQ(0, PRDGetVideoFrame(s.handle(), f, out)) << "frame " << f;
        ASSERT_NE(nullptr, out);
        if (!first) first = out;
        EXPECT_EQ(first, out) << "the picture buffer moved";
        Diff d = Compare(out, reinterpret_cast<const unsigned char*>(ref.data()) + (f - 1) * n, n);
        EXPECT_LE(d.meanAbs, kMaxMeanAbs) << "frame " << f;
        EXPECT_LE(d.maxAbs, kMaxAbs) << "frame " << f;
    }
    unsigned char* out = nullptr;
    EXPECT_EQ(1, PRDGetVideoFrame(s.handle(), s.info().frames + 1, out));
    EXPECT_EQ(1, PRDGetVideoFrame(s.handle(), s.info().frames + 40, out));
}

TEST_P(SeekTest, AnyOrderIsBitExact) {
    std::string path = Make(GetParam());
    ASSERT_FALSE(path.empty());
    std::vector<uint64_t> sums = SequentialSums(path);
    ASSERT_FALSE(sums.empty());
    const long long frames = static_cast<long long>(sums.size());

    std::vector<std::pair<const char*, std::vector<long long>>> orders;
    std::vector<long long> all;
    for (long long f = 1; f <= frames; ++f) all.push_back(f);
    std::vector<long long> shuffled = all;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    orders.push_back({"shuffled", shuffled});
    orders.push_back({"backwards", std::vector<long long>(all.rbegin(), all.rend())});
    std::vector<long long> repeated;
    for (size_t i = 0; i < 40 && i < shuffled.size(); ++i) {
        repeated.push_back(shuffled[i]);
        repeated.push_back(shuffled[i]);
    }
    orders.push_back({"repeated", repeated});
    std::vector<long long> boundaries;
    for (long long k : {10LL, 11LL, 30LL, 31LL, 60LL, 61LL, 70LL, 71LL, 100LL, 101LL})
        for (long long d : {-2LL, 0LL, 2LL, -1LL, 1LL})
            if (k + d >= 1 && k + d <= frames) boundaries.push_back(k + d);
    orders.push_back({"gop boundaries", boundaries});
    orders.push_back({"last frames", {frames, frames - 1, frames, frames - 2, 1, frames, frames - 3, frames - 1}});
    // Long jumps both ways and a step back by one.
    orders.push_back({"jumps", {5, frames - 5, 2, frames - 1, frames / 2, frames / 2 - 1, frames / 2 + 1}});
    std::vector<long long> strides;  // short steps forward, as a sampling of the clip takes them
    for (long long f = 3; f <= frames; f += 4 + f % 3) strides.push_back(f);
    orders.push_back({"strides", strides});

    // The same with the pictures passed over left undecoded where they can
    // be, and with that and seeks from the frame's own group, as hosts set them.
    for (const int mode : {0, 1, 2}) {
        Session s(path);
        ASSERT_NE(nullptr, s.handle());
        libdec::SkipPassedPictures(s.handle(), mode >= 1);
        libdec::SeekFromOwnGroup(s.handle(), mode == 2);
        const char* how = mode == 0 ? "" : mode == 1 ? "skipping, " : "skipping from the own group, ";
        for (const auto& o : orders) {
            for (long long f : o.second) {
                if (f < 1 || f > frames) continue;
                ASSERT_EQ(sums[f - 1], s.FrameSum(f)) << how << o.first << ": frame " << f;
            }
        }
    }
}

TEST_P(SeekTest, UsableAfterRequestsPastTheEnd) {
    std::string path = Make(GetParam());
    std::vector<uint64_t> sums = SequentialSums(path);
    ASSERT_FALSE(sums.empty());
    const long long frames = static_cast<long long>(sums.size());
    Session s(path);
    unsigned char* out = nullptr;
    const long long a = std::min(3LL, frames), b = std::min(4LL, frames);
    EXPECT_EQ(0, PRDGetVideoFrame(s.handle(), a, out));
    EXPECT_EQ(1, PRDGetVideoFrame(s.handle(), frames + 500, out));  // far ahead: the key search fails
    EXPECT_EQ(sums[b - 1], s.FrameSum(b)) << "the session moved although nothing was decoded";
    EXPECT_EQ(1, PRDGetVideoFrame(s.handle(), frames + 1, out));  // drains, then fails
    EXPECT_EQ(1, PRDGetVideoFrame(s.handle(), frames + 1, out));
    EXPECT_EQ(sums[frames - 1], s.FrameSum(frames));
    EXPECT_EQ(sums[0], s.FrameSum(1));
    EXPECT_EQ(sums[frames / 2], s.FrameSum(frames / 2 + 1));
}

INSTANTIATE_TEST_SUITE_P(Clips, SeekTest,
                         ::testing::Values(kClipB30, kClipNoB30, kClipB100, kClipNoB100, kClipBOneKey,
                                           kClipBIrregular, kClipTwoFrames, kClipOneFrame, kClipSlices, kClipOpenGop),
                         [](const ::testing::TestParamInfo<ClipRecipe>& i) {
                             std::string n = i.param.name;
                             n = n.substr(4, n.size() - 8);  // drop "dec_" and ".mp4"
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

// The counters of the worked example: GOP 30, keys at 1, 31, 61, every
// picture leaving the decoder at once (no B-frames).
TEST(SeekCounters, WorkedExample) {
    std::string path = Make(kClipNoB30);
    std::vector<uint64_t> sums = SequentialSums(path);
    ASSERT_EQ(90u, sums.size());
    Session s(path);
    CControl* c = static_cast<CControl*>(s.handle());
    ASSERT_EQ(30, c->m_gopSize);
    struct Step {
        long long frame;
        unsigned int nextSample, nextFrame;
    };
    const Step steps[] = {{1, 2, 2}, {2, 3, 3}, {3, 4, 4}, {45, 46, 46}, {70, 71, 71}, {40, 41, 41}};
    for (const Step& st : steps) {
        EXPECT_EQ(sums[st.frame - 1], s.FrameSum(st.frame)) << "frame " << st.frame;
        EXPECT_EQ(st.nextSample, c->m_nextSample) << "after frame " << st.frame;
        EXPECT_EQ(st.nextFrame, c->m_nextFrame) << "after frame " << st.frame;
    }
}

// Where a seek starts decoding: the key sample at or before the frame, with
// B-frames (keys at 1, 31, 61) and with one key only.
TEST(SeekCounters, KeyFrameBeforeIsTheKeyAtOrBefore) {
    Session s(Make(kClipB30));
    for (const auto& k : {std::pair<long long, long long>{1, 1}, {30, 1}, {31, 31}, {45, 31}, {61, 61}, {90, 61}})
        EXPECT_EQ(k.second, libdec::KeyFrameBefore(s.handle(), k.first)) << "frame " << k.first;
    Session one(Make(kClipBOneKey));
    EXPECT_EQ(1, libdec::KeyFrameBefore(one.handle(), 80));
}

// The seek itself, watched one step deeper: frame 45 from read position 4
// starts at 15 and finds key 31; frame 70 from 46 decodes on without a seek.
TEST(SeekCounters, ForwardRuleKeepsPositionWhenWithinOneGop) {
    std::string path = Make(kClipNoB30);
    std::vector<uint64_t> sums = SequentialSums(path);
    ASSERT_EQ(90u, sums.size());
    Session s(path);
    CControl* c = static_cast<CControl*>(s.handle());
    // Frame 33 from 1: start = max(3, 1) = 3, key found at 31.
    EXPECT_EQ(sums[32], s.FrameSum(33));
    EXPECT_EQ(34u, c->m_nextFrame);
    // Frame 60 from 34: start = max(30, 34) = 34, positioned: decodes on.
    EXPECT_EQ(sums[59], s.FrameSum(60));
    EXPECT_EQ(61u, c->m_nextSample);
    // Same frame again: backward, start 30, key 31.
    EXPECT_EQ(sums[59], s.FrameSum(60));
    EXPECT_EQ(61u, c->m_nextFrame);
}

TEST(SeekCounters, FrameNumberUsesLow32Bits) {
    std::string path = Make(kClipNoB30);
    std::vector<uint64_t> sums = SequentialSums(path);
    ASSERT_EQ(90u, sums.size());
    Session s(path);
    CControl* c = static_cast<CControl*>(s.handle());
    // Frame 0 on a fresh session decodes sample 1 and hands it out as frame 1.
    EXPECT_EQ(sums[0], s.FrameSum(0));
    EXPECT_EQ(2u, c->m_nextFrame);
    EXPECT_EQ(sums[1], s.FrameSum((1LL << 32) + 2));
    EXPECT_EQ(sums[30], s.FrameSum((5LL << 32) + 31));
    EXPECT_EQ(sums[0], s.FrameSum((1LL << 32) + 1));
}

TEST(SeekCounters, ShortClipsOpen) {
    for (const ClipRecipe& recipe : {kClipTwoFrames, kClipOneFrame, kClipBOneKey}) {
        Session s(Make(recipe));
        ASSERT_NE(nullptr, s.handle()) << recipe.name;
        CControl* c = static_cast<CControl*>(s.handle());
        EXPECT_GE(c->m_gopSize, 1) << recipe.name;
    }
}

// A track whose header size differs from its coded size: the pictures are
// converted into a buffer of the header's size (as the ffmpeg command scales
// them), in any request order.
TEST(SeekFrameSize, HeaderSizeDiffersFromCodedSize) {
    std::string src = Make(kClipB30);
    auto file = mp4::File::open(src.c_str());
    ASSERT_TRUE(file);
    for (auto size : {std::make_pair(32, 24), std::make_pair(128, 100)}) {
        testutil::Mp4Writer w;
        std::string error;
        auto* t = w.addCopyOf(*file, file->tracks()[0].id, &error);
        ASSERT_NE(nullptr, t) << error;
        t->rawSampleEntry.clear();
        t->width = static_cast<uint16_t>(size.first);
        t->height = static_cast<uint16_t>(size.second);
        std::string path = testutil::makeTempDir("decsize") + "/resized.mp4";
        ASSERT_TRUE(w.writeFile(path));
        std::string ref = FfmpegBgr(src, size.first, size.second);
        Session s(path);
        ASSERT_NE(nullptr, s.handle());
        ASSERT_EQ(unsigned(size.first), s.info().width);
        const size_t n = s.frameBytes();
        ASSERT_EQ(ref.size(), n * s.info().frames);
        std::vector<uint64_t> sums;
        for (unsigned int f = 1; f <= s.info().frames; ++f) {
            unsigned char* out = nullptr;
            ASSERT_EQ(0, PRDGetVideoFrame(s.handle(), f, out));
            EXPECT_GE(Psnr(out, reinterpret_cast<const unsigned char*>(ref.data()) + (f - 1) * n, n), 60.0)
                << "frame " << f;
            sums.push_back(Fnv(out, n));
        }
        for (long long f : {45LL, 3LL, 90LL, 31LL, 30LL, 60LL, 1LL}) EXPECT_EQ(sums[f - 1], s.FrameSum(f)) << f;
    }
}

// Several sessions decoding on their own threads give what each gives alone.
TEST(SeekThreads, ConcurrentSessionsMatchAlone) {
    const ClipRecipe recipes[] = {kClipB30, kClipNoB30, kClipB100, kClipBIrregular};
    std::vector<std::string> paths;
    std::vector<std::vector<uint64_t>> alone;
    for (const ClipRecipe& sp : recipes) {
        paths.push_back(Make(sp));
        alone.push_back(SequentialSums(paths.back()));
        ASSERT_FALSE(alone.back().empty());
    }
    std::vector<int> mismatches(paths.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < paths.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 2; ++round) {
                void* h = PRDOpen(paths[i].c_str());
                if (!h) {
                    ++mismatches[i];
                    continue;
                }
                const long long frames = static_cast<long long>(alone[i].size());
                std::vector<long long> order;
                for (long long f = 1; f <= frames; ++f) order.push_back(f);
                std::shuffle(order.begin() + frames / 2, order.end(), std::mt19937(unsigned(i + round)));
                for (long long f : order) {
                    unsigned char* out = nullptr;
                    if (PRDGetVideoFrame(h, f, out) != 0 || !out ||
                        Fnv(out, size_t(3) * 64 * 48) != alone[i][f - 1])
                        ++mismatches[i];
                }
                PRDClose(h);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(0, mismatches[i]) << paths[i];
}

// Several slices per picture with length prefixes of 1, 2 and 4 bytes decode
// to ffmpeg's own pictures, in order and at random.
TEST(SeekSlices, LengthPrefixSizes) {
    std::string src = testutil::makeClip("dec_slices_small.mp4",
                                         "-f lavfi -i testsrc2=size=32x32:rate=30:duration=1 -c:v libx264 -bf 0 "
                                         "-g 10 -crf 35 -pix_fmt yuv420p -x264-params slices=2");
    std::string ref = FfmpegBgr(src);
    auto file = mp4::File::open(src.c_str());
    ASSERT_TRUE(file);
    for (uint8_t L : {1, 2, 4}) {
        SCOPED_TRACE(int(L));
        testutil::Mp4Writer w;
        auto* t = w.addCopyOf(*file, file->tracks()[0].id);
        ASSERT_NE(nullptr, t);
        t->rawSampleEntry.clear();
        t->nalLengthSize = L;
        size_t slices = 0;
        for (auto& sample : t->samples) {
            std::string out;
            for (size_t p = 0; p + 4 <= sample.data.size();) {
                uint32_t len = (uint8_t(sample.data[p]) << 24) | (uint8_t(sample.data[p + 1]) << 16) |
                               (uint8_t(sample.data[p + 2]) << 8) | uint8_t(sample.data[p + 3]);
                int type = sample.data[p + 4] & 0x1F;
                if (type != 6) {  // the encoder's SEI would not fit one length byte; pictures do
                    ASSERT_LT(uint64_t(len), uint64_t(1) << (8 * L));
                    for (int i = L - 1; i >= 0; --i) out += char((len >> (8 * i)) & 0xFF);
                    out += sample.data.substr(p + 4, len);
                    slices += (type == 1 || type == 5);
                }
                p += 4 + len;
            }
            sample.data = out;
        }
        ASSERT_EQ(60u, slices);
        std::string path = testutil::makeTempDir("decprefix") + "/prefix.mp4";
        ASSERT_TRUE(w.writeFile(path));
        Session s(path);
        ASSERT_NE(nullptr, s.handle());
        const size_t n = s.frameBytes();
        ASSERT_EQ(ref.size(), n * s.info().frames);
        for (long long f : {1LL, 2LL, 3LL, 30LL, 12LL, 11LL, 29LL, 5LL}) {
            unsigned char* out = nullptr;
            ASSERT_EQ(0, PRDGetVideoFrame(s.handle(), f, out)) << f;
            Diff d = Compare(out, reinterpret_cast<const unsigned char*>(ref.data()) + (f - 1) * n, n);
            EXPECT_LE(d.maxAbs, kMaxAbs) << "frame " << f;
            EXPECT_LE(d.meanAbs, kMaxMeanAbs) << "frame " << f;
        }
    }
}

// One damaged sample is that frame's failure; every other frame is the
// picture of its own sample, in order and at random, B-frames or not.
TEST(SeekDamage, DamagedSampleFailsOnlyItsFrame) {
    for (const ClipRecipe& recipe : {kClipNoB30, kClipB30}) {
        SCOPED_TRACE(recipe.name);
        std::string clean = Make(recipe);
        std::vector<uint64_t> cleanSums = SequentialSums(clean);
        ASSERT_EQ(90u, cleanSums.size());
        auto file = mp4::File::open(clean.c_str());
        ASSERT_TRUE(file);
        const mp4::Sample& s40 = file->tracks()[0].samples[39];
        std::string path = testutil::damagedCopy(clean, s40.offset, s40.size);

        // In order: the frame of sample 40 fails, nothing else does; the
        // pictures of the GOPs before and after it are those of the clean clip.
        Session seq(path);
        ASSERT_NE(nullptr, seq.handle());
        std::vector<int> rcs;
        std::vector<uint64_t> sums;
        for (long long f = 1; f <= 90; ++f) {
            unsigned char* out = nullptr;
            rcs.push_back(PRDGetVideoFrame(seq.handle(), f, out));
            sums.push_back(rcs.back() == 0 && out ? Fnv(out, seq.frameBytes()) : 0);
        }
        EXPECT_EQ(1, std::count(rcs.begin(), rcs.end(), 1));
        const long damaged = std::find(rcs.begin(), rcs.end(), 1) - rcs.begin() + 1;
        EXPECT_NEAR(40, damaged, 3);
        for (int f = 1; f <= 90; ++f)
            if (f <= 30 || f > 60) {
                EXPECT_EQ(cleanSums[f - 1], sums[f - 1]) << "frame " << f;
            }

        // Any order gives the same as in order.
        std::vector<long long> order;
        for (long long f = 90; f >= 1; --f) order.push_back(f);
        std::vector<long long> shuffled(order);
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
        order.insert(order.end(), shuffled.begin(), shuffled.end());
        for (long long f : {damaged, damaged + 1, damaged - 1, damaged, damaged + 2}) order.push_back(f);
        Session s(path);
        for (long long f : order) {
            unsigned char* out = nullptr;
            int rc = PRDGetVideoFrame(s.handle(), f, out);
            ASSERT_EQ(rcs[f - 1], rc) << "frame " << f;
            if (rc == 0) {
                ASSERT_EQ(sums[f - 1], Fnv(out, s.frameBytes())) << "frame " << f;
            }
        }
    }
}

}  // namespace
