// H.264 decoder alone, fed raw Annex-B access units made by the ffmpeg command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "decode_helpers.h"
#include "h264dec/CH264Dec.h"

using namespace dectest;

namespace {

// Raw stream split into access units: parameter sets and SEI go with the
// slice that follows them; one slice per picture (x264 default).
struct Stream {
    std::string spsPps;  // 00 00 00 01 SPS 00 00 00 01 PPS
    std::vector<std::string> units;
    std::vector<bool> keys;
};

Stream LoadStream(const std::string& name, const std::string& args) {
    Stream s;
    std::string path = testutil::makeClip(name, args + " -an -f h264");
    std::string b = testutil::readFile(path);
    std::vector<std::pair<size_t, size_t>> nals;  // start (at start code), end
    size_t i = 0, start = std::string::npos;
    while (i + 3 <= b.size()) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            size_t sc = (i > 0 && b[i - 1] == 0) ? i - 1 : i;
            if (start != std::string::npos) nals.push_back({start, sc});
            start = sc;
            i += 3;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos) nals.push_back({start, b.size()});
    std::string cur;
    bool curHasSlice = false, curKey = false;
    for (auto& n : nals) {
        size_t hdr = n.first + (b[n.first + 2] == 1 ? 3 : 4);
        int type = b[hdr] & 0x1F;
        std::string nal = b.substr(n.first, n.second - n.first);
        if (nal.compare(0, 3, std::string("\0\0\1", 3)) == 0) nal.insert(0, 1, '\0');
        // The stream's first parameter sets, as the reader would hand them out.
        if ((type == 7 || type == 8) && s.units.empty() && !curHasSlice) s.spsPps += nal;
        bool slice = (type == 1 || type == 5);
        if (curHasSlice) {
            s.units.push_back(cur);
            s.keys.push_back(curKey);
            cur.clear();
            curHasSlice = curKey = false;
        }
        cur += nal;
        if (slice) curHasSlice = true;
        if (type == 5) curKey = true;
    }
    if (curHasSlice) {
        s.units.push_back(cur);
        s.keys.push_back(curKey);
    }
    return s;
}

const char* kArgs = "-f lavfi -i testsrc2=size=64x48:rate=30:duration=2 -c:v libx264 -g 30 -keyint_min 30 "
                    "-sc_threshold 0";

Stream BStream() { return LoadStream("dec_raw_b.h264", std::string(kArgs) + " -pix_fmt yuv420p"); }

unsigned char* Feed(CH264Dec& d, const std::string& unit) {
    return d.Decode(reinterpret_cast<unsigned char*>(const_cast<char*>(unit.data())),
                    static_cast<unsigned int>(unit.size()));
}

// Every picture of the stream: Decode of each unit, then Drain.
std::vector<std::string> DecodeAll(CH264Dec& d, const Stream& s) {
    std::vector<std::string> pics;
    const size_t n = size_t(3) * d.m_width * d.m_height;
    for (const auto& u : s.units)
        if (unsigned char* p = Feed(d, u)) pics.emplace_back(reinterpret_cast<char*>(p), n);
    while (unsigned char* p = d.Drain()) pics.emplace_back(reinterpret_cast<char*>(p), n);
    return pics;
}

TEST(H264Dec, ParameterSetsAloneGiveNoPictureAndNoLog) {
    Stream s = BStream();
    ASSERT_FALSE(s.spsPps.empty());
    CH264Dec d(64, 48);
    ASSERT_TRUE(kHomeReady);
    LogWatch log;
    EXPECT_EQ(nullptr, Feed(d, s.spsPps));
    EXPECT_EQ("", log.Since());
    // The decoder calls a packet without a slice an error: the silent first one.
    EXPECT_FALSE(d.m_bFirstError);
}

TEST(H264Dec, EveryPictureInOneFixedBufferMatchingFfmpeg) {
    Stream s = BStream();
    ASSERT_EQ(60u, s.units.size());
    CH264Dec d(64, 48);
    d.WriteSpsPps(reinterpret_cast<unsigned char*>(&s.spsPps[0]), s.spsPps.size());
    std::set<unsigned char*> addresses;
    int pictures = 0;
    std::string ref = FfmpegBgr(testutil::clipDir() + "/dec_raw_b.h264");
    ASSERT_EQ(size_t(60) * 9216, ref.size());
    auto check = [&](unsigned char* p) {
        addresses.insert(p);
        Diff diff = Compare(p, reinterpret_cast<const unsigned char*>(ref.data()) + pictures * 9216, 9216);
        EXPECT_LE(diff.maxAbs, 1) << "picture " << pictures;
        EXPECT_LE(diff.meanAbs, 0.02) << "picture " << pictures;
        ++pictures;
    };
    for (const auto& u : s.units)
        if (unsigned char* p = Feed(d, u)) check(p);
    EXPECT_LT(pictures, 60) << "B-frames: some pictures are held back for reordering";
    while (unsigned char* p = d.Drain()) check(p);
    EXPECT_EQ(60, pictures);
    EXPECT_EQ(1u, addresses.size());
    EXPECT_EQ(d.m_picture[0], *addresses.begin());
    EXPECT_EQ(3 * 64, d.m_pictureLinesize[0]);
    // A drained decoder takes a new stream without an explicit flush.
    EXPECT_EQ(DecodeAll(d, s).size(), 60u);
}

// Each stream's pictures as a player shows them, by the matrix and range
// the stream is tagged with, also when a new stream into the same decoder
// is tagged otherwise.
TEST(H264Dec, ColorsFollowTheStreamsTags) {
    const std::pair<const char*, const char*> tagged[] = {
        {"dec_raw_bt709.h264", " -pix_fmt yuv420p -colorspace bt709 -color_range tv"},
        {"dec_raw_bt601.h264", " -pix_fmt yuv420p -colorspace smpte170m -color_range tv"},
        {"dec_raw_bt709full.h264", " -pix_fmt yuv420p -colorspace bt709 -color_range pc"}};
    CH264Dec d(64, 48);
    for (int i : {0, 1, 2, 0}) {
        Stream s = LoadStream(tagged[i].first, std::string(kArgs) + tagged[i].second);
        std::string ref = FfmpegBgr(testutil::clipDir() + "/" + tagged[i].first);
        ASSERT_EQ(size_t(60) * 9216, ref.size());
        d.FlushBuff();
        d.WriteSpsPps(reinterpret_cast<unsigned char*>(&s.spsPps[0]), s.spsPps.size());
        std::vector<std::string> pics = DecodeAll(d, s);
        ASSERT_EQ(60u, pics.size());
        for (size_t k = 0; k < pics.size(); k += 29) {
            Diff diff = Compare(reinterpret_cast<const unsigned char*>(pics[k].data()),
                                reinterpret_cast<const unsigned char*>(ref.data()) + k * 9216, 9216);
            EXPECT_LE(diff.maxAbs, 1) << tagged[i].first << " picture " << k;
        }
    }
}

TEST(H264Dec, FlushDropsHeldPictures) {
    Stream s = BStream();
    CH264Dec ref(64, 48);
    std::vector<std::string> all = DecodeAll(ref, s);
    ASSERT_EQ(60u, all.size());
    ASSERT_TRUE(s.keys[30]);

    CH264Dec d(64, 48);
    int out = 0;
    for (int i = 0; i < 20; ++i)
        if (Feed(d, s.units[i])) ++out;
    ASSERT_LT(out, 20);
    d.FlushBuff();
    EXPECT_EQ(nullptr, d.Drain()) << "a held picture survived the flush";
    d.FlushBuff();
    // Restart at the second key unit: exactly pictures 31..60 come out.
    std::vector<std::string> pics;
    for (size_t i = 30; i < s.units.size(); ++i)
        if (unsigned char* p = Feed(d, s.units[i])) pics.emplace_back(reinterpret_cast<char*>(p), 9216);
    while (unsigned char* p = d.Drain()) pics.emplace_back(reinterpret_cast<char*>(p), 9216);
    ASSERT_EQ(30u, pics.size());
    for (size_t i = 0; i < pics.size(); ++i) EXPECT_EQ(all[30 + i], pics[i]) << "picture " << 31 + i;
}

TEST(H264Dec, FirstErrorSilentLaterOnesLogged) {
    Stream s = BStream();
    CH264Dec d(64, 48);
    // A slice referring to parameter sets the decoder has never seen.
    std::string orphan = s.units[1];
    ASSERT_TRUE(kHomeReady);
    LogWatch log;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(nullptr, Feed(d, orphan));
    EXPECT_FALSE(d.m_bFirstError);
    std::string text = log.Since();
    EXPECT_EQ(2u, CountOf(text, "ERROR Error occured while decoding frame. Error Code:-")) << text;
    // Still usable.
    EXPECT_EQ(60u, DecodeAll(d, s).size());
}

TEST(H264Dec, DeInitTwiceOnlyLogs) {
    CH264Dec d(64, 48);
    d.DeInit();
    EXPECT_EQ(nullptr, d.m_pContext);
    EXPECT_EQ(nullptr, d.m_pFrame);
    EXPECT_EQ(nullptr, d.m_swctx);
    EXPECT_EQ(nullptr, d.m_picture[0]);
    LogWatch log;
    d.DeInit();
    std::string text = log.Since();
    EXPECT_NE(std::string::npos, text.find("INFO  Start destroy CH264Dec object")) << text;
    EXPECT_EQ(std::string::npos, text.find("Free m_")) << text;
    unsigned char b[8] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
    EXPECT_EQ(nullptr, d.Decode(b, sizeof b));
}

// Pictures whose size or format differ from the size given at construction
// are converted into the fixed buffer, as the ffmpeg command scales them
// (bicubic), never read or written past either end; a size a little smaller,
// within the stream's macroblocks, is a crop of the pictures.
struct Mismatch {
    const char* name;
    const char* pixfmt;
    unsigned short w, h;
    bool crop;
};

class H264DecMismatch : public ::testing::TestWithParam<Mismatch> {};

TEST_P(H264DecMismatch, ConvertedIntoFixedBuffer) {
    const Mismatch& m = GetParam();
    std::string name = std::string("dec_raw_") + m.pixfmt + ".h264";
    Stream s = LoadStream(name, std::string(kArgs) + " -pix_fmt " + m.pixfmt);
    ASSERT_EQ(60u, s.units.size());
    const size_t n = size_t(3) * m.w * m.h;
    std::string ref;
    if (m.crop) {
        const std::string whole = FfmpegBgr(testutil::clipDir() + "/" + name);
        for (size_t at = 0; at + 9216 <= whole.size(); at += 9216)
            for (size_t row = 0; row < m.h; ++row) ref += whole.substr(at + row * 3 * 64, 3 * m.w);
    } else {
        ref = FfmpegBgr(testutil::clipDir() + "/" + name, m.w, m.h);
    }
    ASSERT_EQ(60 * n, ref.size());
    CH264Dec d(m.w, m.h);
    std::vector<std::string> pics = DecodeAll(d, s);
    ASSERT_EQ(60u, pics.size());
    double worst = 1e9;
    for (size_t i = 0; i < pics.size(); ++i)
        worst = std::min(worst, Psnr(reinterpret_cast<const unsigned char*>(pics[i].data()),
                                     reinterpret_cast<const unsigned char*>(ref.data()) + i * n, n));
    // The same scaler with the same flag, or a conversion within 0.53 of a
    // level of the exact one: 60 dB or more.
    EXPECT_GE(worst, 60.0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, H264DecMismatch,
                         ::testing::Values(Mismatch{"smaller", "yuv420p", 32, 24, false},
                                           Mismatch{"larger", "yuv420p", 128, 100, false},
                                           Mismatch{"odd", "yuv420p", 63, 47, true},
                                           Mismatch{"fullrange", "yuvj420p", 64, 48, false},
                                           Mismatch{"chroma444", "yuv444p", 64, 48, false}),
                         [](const ::testing::TestParamInfo<Mismatch>& i) { return std::string(i.param.name); });

}  // namespace
