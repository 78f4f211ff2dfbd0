// Pictures left in the decoder's planes give the bytes of a decode straight
// to packed BGR: in each chroma layout the decoder gives (10-bit ones keep
// to BGR), with each matrix and range, unpacked in bands that start on odd
// rows, and for a damaged frame (the last good picture stands in). The CPU
// engine's 4:2:0 output from them matches the packed path's on the sample
// and on colour clips.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Clip.h"
#include "ColorMatch.h"
#include "CpuEngine.h"
#include "Reader.h"
#include "test_clips.h"

using namespace stitcher;

namespace {

struct LayoutCase {
    const char* name;
    const char* encode;  // pixel format, tags and x264 profile
    bool planes;         // the decoder's planes are kept (8-bit planar YUV)
};

// A moving colour pattern, 8 frames with B-frames, in one layout.
std::string layoutClip(const LayoutCase& c) {
    return testutil::makeClip(std::string("source_") + c.name + ".mp4",
                              "-f lavfi -i testsrc2=s=96x48:r=30 -frames:v 8 " + std::string(c.encode) +
                                  " -c:v libx264 -g 4 -bf 2");
}

const LayoutCase kLayouts[] = {
    {"420_709", "-pix_fmt yuv420p -colorspace bt709 -color_range tv", true},
    {"422", "-pix_fmt yuv422p -profile:v high422", true},
    {"444", "-pix_fmt yuv444p -profile:v high444", true},
    {"420_601_full", "-pix_fmt yuvj420p -colorspace smpte170m -color_range pc", true},
    {"420_10bit", "-pix_fmt yuv420p10le -profile:v high10", false},
};

// Every frame of `path` through a reader that keeps the decoder's planes or not.
std::vector<FrameItem> readAll(const std::string& path, bool planes) {
    std::unique_ptr<Clip> clip;
    const Status opened = Clip::open(path, clip);
    EXPECT_TRUE(opened.ok()) << opened.message();
    std::vector<FrameItem> items;
    if (!opened.ok()) return items;
    ReadSpec setup;
    setup.count = clip->info().frames;
    setup.fps = {30, 1};
    setup.sourcePictures = planes;
    Reader reader(*clip, setup, [](const std::string&) {});
    while (!reader.ended()) {
        items.emplace_back();
        const Status read = reader.next(items.back());
        EXPECT_TRUE(read.ok()) << read.message();
        if (!read.ok()) break;
    }
    return items;
}

// The video packet of frame `frame` in decoding order, as (file offset, size).
std::pair<uint64_t, uint64_t> videoPacket(const std::string& clip, int frame) {
    std::stringstream table(testutil::captureCommand(
        "ffprobe -v error -select_streams v -show_entries packet=pos,size -of csv=p=0 '" + clip + "'"));
    std::string line;
    for (int k = 1; std::getline(table, line); ++k)
        if (k == frame) {
            const size_t comma = line.find(',');
            return {std::stoull(line.substr(comma + 1)), std::stoull(line.substr(0, comma))};
        }
    return {0, 0};
}

TEST(SourcePictures, EachLayoutUnpacksToTheBytesOfTheDecodeToBgr) {
    std::vector<std::pair<std::string, bool>> clips;
    for (const LayoutCase& c : kLayouts) clips.emplace_back(layoutClip(c), c.planes);
    // A frame whose packet is spoilt: the last good picture stands in on both paths.
    const auto bad = videoPacket(clips[0].first, 6);
    ASSERT_GT(bad.second, 0u);
    clips.emplace_back(testutil::damagedCopy(clips[0].first, bad.first, bad.second, false), true);
    for (const auto& [path, planes] : clips) {
        SCOPED_TRACE(path);
        int damaged = 0;
        ASSERT_FALSE(path.empty());
        const std::vector<FrameItem> packed = readAll(path, false), kept = readAll(path, true);
        ASSERT_EQ(packed.size(), 8u);
        ASSERT_EQ(kept.size(), packed.size());
        for (size_t k = 0; k < kept.size(); ++k) {
            ASSERT_EQ(kept[k].source != nullptr, planes) << "frame " << k + 1;
            EXPECT_EQ(kept[k].damaged, packed[k].damaged);
            damaged += packed[k].damaged;
            if (!planes) {
                EXPECT_EQ(0, std::memcmp(kept[k].picture.data(), packed[k].picture.data(), packed[k].picture.size()));
                continue;
            }
            const SourcePicture& s = *kept[k].source;
            ASSERT_EQ(s.width(), 96);
            ASSERT_EQ(s.height(), 48);
            const size_t stride = 96 * 3;
            std::vector<uint8_t> bgr(stride * 48, 0);
            // Bands that split chroma rows between them.
            for (const auto& [r0, r1] : std::vector<std::pair<int, int>>{{0, 7}, {7, 25}, {25, 48}})
                ASSERT_TRUE(s.toBgr(r0, r1, 0, 96, bgr.data() + r0 * stride, stride));
            EXPECT_FALSE(s.toBgr(40, 49, 0, 96, bgr.data(), stride));
            // A span that starts within a chroma sample, over the same bytes.
            std::fill(bgr.begin() + 5 * stride, bgr.begin() + 6 * stride, 0);
            ASSERT_TRUE(s.toBgr(5, 6, 33, 96, bgr.data() + 5 * stride, stride));
            ASSERT_TRUE(s.toBgr(5, 6, 0, 33, bgr.data() + 5 * stride, stride));
            ASSERT_EQ(bgr.size(), packed[k].picture.size());
            EXPECT_EQ(0, std::memcmp(bgr.data(), packed[k].picture.data(), bgr.size())) << "frame " << k + 1;
        }
        EXPECT_EQ(damaged > 0, path == clips.back().first);
    }
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

// The CPU engine's 4:2:0 panorama of each frame, from packed frames or from
// the decoder's planes unpacked by the engine.
std::vector<std::vector<uint8_t>> stitchedVideo(const std::string& path, bool planes, int frames) {
    std::unique_ptr<Clip> clip;
    EXPECT_TRUE(Clip::open(path, clip).ok());
    std::string calibration;
    EXPECT_TRUE(clip->calibration(calibration).ok());
    EngineSpec setup;
    EXPECT_TRUE(setup.useCalibration(calibration).ok()) << calibration;
    setup.size = 128;
    setup.frameWidth = static_cast<int>(clip->info().width);
    setup.frameHeight = static_cast<int>(clip->info().height);
    setup.threads = 3;
    std::unique_ptr<CpuEngine> engine;
    const Status made = CpuEngine::create(setup, engine);
    EXPECT_TRUE(made.ok()) << made.message();
    std::vector<std::vector<uint8_t>> out;
    if (!made.ok()) return out;
    // Unequal lenses, as colour matching makes them.
    const float gains[2][3] = {{1.1f, 0.95f, 1.0f}, {0.9f, 1.05f, 1.2f}};
    engine->setGains(gains);
    ReadSpec read;
    read.count = frames;
    read.fps = {30, 1};
    read.sourcePictures = planes;
    Reader reader(*clip, read, [](const std::string&) {});
    const int w = setup.outWidth(), h = setup.outHeight();
    while (!reader.ended()) {
        FrameItem item;
        EXPECT_TRUE(reader.next(item).ok());
        EXPECT_EQ(item.source != nullptr, planes);
        if (item.source) {
            EXPECT_TRUE(engine->unpack(*item.source, item.picture.data()).ok());
        }
        std::vector<uint8_t> yuv(static_cast<size_t>(w) * h * 3 / 2);
        YuvPlanes p;
        p.data[0] = yuv.data();
        p.data[1] = p.data[0] + w * h;
        p.data[2] = p.data[1] + w * h / 4;
        p.stride[0] = w;
        p.stride[1] = p.stride[2] = w / 2;
        EXPECT_TRUE(engine->stitchYuv(item.picture.data(), p).ok());
        out.push_back(std::move(yuv));
    }
    return out;
}

TEST(SourcePictures, StitchedVideoMatchesThePackedPath) {
    const std::string sample = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";
    for (const std::string& path : {sample, layoutClip(kLayouts[3]), layoutClip(kLayouts[1])}) {
        SCOPED_TRACE(path);
        const auto packed = stitchedVideo(path, false, 3), kept = stitchedVideo(path, true, 3);
        ASSERT_EQ(packed.size(), 3u);
        ASSERT_EQ(kept.size(), packed.size());
        for (size_t k = 0; k < kept.size(); ++k) EXPECT_GE(psnr(kept[k], packed[k]), 50.0) << "frame " << k + 1;
    }
}

// The seam samples' runs of pixels are all the colour estimate reads: a
// frame converted there alone, the rest left as any level, measures the same.
TEST(SourcePictures, ColourEstimateNeedsOnlyTheSamplesPixels) {
    std::unique_ptr<Clip> clip;
    ASSERT_TRUE(Clip::open(std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4", clip).ok());
    std::string calibration;
    ASSERT_TRUE(clip->calibration(calibration).ok());
    EngineSpec setup;
    ASSERT_TRUE(setup.useCalibration(calibration).ok());
    const int w = static_cast<int>(clip->info().width), h = static_cast<int>(clip->info().height);
    ColorEstimator estimator;
    ASSERT_TRUE(estimator.init(setup.lens.model(), w, h).ok());
    size_t pixels = 0;
    for (const ColorEstimator::Span& s : estimator.spans()) pixels += static_cast<size_t>(s.x1 - s.x0);
    EXPECT_LT(pixels, static_cast<size_t>(w) * h / 4);
    ReadSpec read;
    read.first = 40;
    read.count = 1;
    read.fps = {30, 1};
    read.sourcePictures = true;
    Reader reader(*clip, read, [](const std::string&) {});
    FrameItem item;
    ASSERT_TRUE(reader.next(item).ok());
    ASSERT_TRUE(item.source);
    const size_t stride = static_cast<size_t>(w) * 3;
    std::vector<uint8_t> whole(stride * h), sampled(stride * h, 77);
    ASSERT_TRUE(item.source->toBgr(0, h, 0, w, whole.data(), stride));
    for (const ColorEstimator::Span& s : estimator.spans())
        ASSERT_TRUE(item.source->toBgr(s.row, s.row + 1, s.x0, s.x1, sampled.data() + s.row * stride, stride));
    const ColorEstimate a = estimator.estimate(whole.data());
    const ColorEstimate b = estimator.estimate(sampled.data());
    for (int c = 0; c < 3; ++c) {
        EXPECT_TRUE(a.confident[c]);
        EXPECT_EQ(a.logRatio[c], b.logRatio[c]);
        EXPECT_EQ(a.used[c], b.used[c]);
    }
}

}  // namespace
