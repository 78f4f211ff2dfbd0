// The CPU engine against the GL renderer on the same frames, and both against
// the analytic truth of synthesised frames.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../../../libspherecast/RendererTestUtil.h"
#include "CpuEngine.h"
#include "FisheyeSynth.h"
#include "RunTaps.h"
#include "SampleKernel.h"
#include "YuvConvert.h"
#include "Spherecast.h"

using stitcher::CpuEngine;
using stitcher::EngineSpec;
using testutil::BgrImage;

namespace {

const double kPi = 3.14159265358979323846;

EngineSpec makeSpec(stitcher::Layout layout, int size, int frameWidth, int frameHeight, int threads = 0) {
    EngineSpec params;
    params.useCalibration(rendertest::kDefaultOffset);
    params.size = size;
    params.frameWidth = frameWidth;
    params.frameHeight = frameHeight;
    params.layout = layout;
    params.threads = threads;
    return params;
}

// Output rows as the engines write them (row stride included), from the
// frame's bytes (params.texelBytes a pixel).
std::vector<uint8_t> stitchCpu(const EngineSpec& params, std::vector<uint8_t> frame, const float (*gains)[3] = nullptr) {
    std::unique_ptr<CpuEngine> engine;
    const stitcher::Status made = CpuEngine::create(params, engine);
    std::vector<uint8_t> out(params.outBytes(), 0xAB);
    EXPECT_TRUE(made.ok() && engine) << made.message();
    if (!engine) return out;
    if (gains) engine->setGains(gains);
    EXPECT_TRUE(engine->stitch(frame.data(), out.data()).ok());
    return out;
}

std::vector<uint8_t> stitchCpu(const EngineSpec& params, const BgrImage& frame, const float (*gains)[3] = nullptr) {
    return stitchCpu(params, frame.data, gains);
}

// 3-byte pixels (rows `stride` bytes apart) as 4-byte ones, the fourth byte `fourth`.
std::vector<uint8_t> withFourthByte(const std::vector<uint8_t>& rows, int width, size_t stride, uint8_t fourth) {
    std::vector<uint8_t> out;
    for (size_t y = 0; y < rows.size() / stride; ++y)
        for (size_t x = 0; x < static_cast<size_t>(width); ++x) {
            out.insert(out.end(), rows.begin() + static_cast<ptrdiff_t>(y * stride + 3 * x),
                       rows.begin() + static_cast<ptrdiff_t>(y * stride + 3 * x + 3));
            out.push_back(fourth);
        }
    return out;
}

// Planar 4:2:0 of an output, rows padded by a few bytes that stay 0xEE:
// bgrToYuv420() of `packed` (the engine's rows), or, without it, the
// engine's own stitchYuv().
std::vector<uint8_t> yuvOf(const EngineSpec& params, const BgrImage& frame, const std::vector<uint8_t>* packed,
                           const float (*gains)[3] = nullptr) {
    const int w = params.outWidth(), h = params.outHeight(), cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<uint8_t> out(static_cast<size_t>(w + 5) * h + 2 * static_cast<size_t>(cw + 3) * ch, 0xEE);
    stitcher::YuvPlanes p;
    p.data[0] = out.data();
    p.data[1] = p.data[0] + static_cast<size_t>(w + 5) * h;
    p.data[2] = p.data[1] + static_cast<size_t>(cw + 3) * ch;
    p.stride[0] = w + 5;
    p.stride[1] = p.stride[2] = cw + 3;
    if (packed) {
        stitcher::bgrToYuv420(packed->data(), static_cast<int>(params.outStride()), w, h, p.data[0], p.stride[0],
                              p.data[1], p.stride[1], p.data[2], p.stride[2]);
        return out;
    }
    std::unique_ptr<CpuEngine> engine;
    const stitcher::Status made = CpuEngine::create(params, engine);
    EXPECT_TRUE(made.ok() && engine && engine->writesYuv()) << made.message();
    if (!engine) return out;
    if (gains) engine->setGains(gains);
    BgrImage input = frame;
    EXPECT_TRUE(engine->stitchYuv(input.data.data(), p).ok());
    return out;
}

BgrImage renderGl(const EngineSpec& params, const BgrImage& frame) {
    Spherecast s(params.lens.text().c_str(), params.size, frame.width, frame.height,
                 params.layout == stitcher::Layout::Stereo ? Spherecast::Stereo : Spherecast::Stitch);
    std::vector<uint8_t> out(params.outBytes());
    testing::internal::CaptureStdout();
    const bool ok = s.initRenderer(0, nullptr);
    float rotation[4][4];
    std::memcpy(rotation, params.rotation, sizeof rotation);
    s.updateRotation(rotation);
    s.setData(const_cast<uint8_t*>(frame.data.data()));
    s.render(out.data());
    s.deInitRenderer();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok) << "no GL 3.3 core context (run under xvfb-run)";
    return testutil::fromAlignedRows(out.data(), params.outWidth(), params.outHeight());
}

// A view turned 35 degrees about the vertical axis, then tilted 20 degrees.
void setTurnedView(EngineSpec* params) {
    const double a = 35.0 * kPi / 180.0, b = 20.0 * kPi / 180.0;
    const double rz[3][3] = {{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}};
    const double ry[3][3] = {{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += ry[i][k] * rz[k][j];
            params->rotation[j][i] = static_cast<float>(v);  // m[column][row]
        }
}

// The panorama pixel that output pixel (col, row) shows through the view
// rotation, for carrying the blend-band mask into a turned view.
void viewSource(const EngineSpec& params, int col, int row, int* sc, int* sr) {
    const int W = params.outWidth(), H = params.outHeight();
    const double phi = kPi * (row + 0.5) / H, theta = 2.0 * kPi * (col + 0.5) / W;
    const double d[3] = {std::sin(phi) * std::cos(theta), std::sin(phi) * std::sin(theta), std::cos(phi)};
    double r[3];
    for (int k = 0; k < 3; ++k)
        r[k] = params.rotation[0][k] * d[0] + params.rotation[1][k] * d[1] + params.rotation[2][k] * d[2];
    double t = std::atan2(r[1], r[0]);
    if (t < 0) t += 2.0 * kPi;
    const double p = std::atan2(std::hypot(r[0], r[1]), r[2]);
    *sc = std::min(W - 1, static_cast<int>(t / (2.0 * kPi) * W));
    *sr = std::min(H - 1, static_cast<int>(p / kPi * H));
}

struct Case {
    const char* name;
    stitcher::Layout layout;
    int size, frameWidth, frameHeight;
    bool turned;
};

// Each case renders once on each engine: llvmpipe is slow, so sizes stay
// as small as the case allows. The 1001-pixel frame has rows that are not a
// multiple of 4 bytes long.
const Case kCases[] = {
    {"stitch 480", stitcher::Layout::Stitch, 480, 1440, 720, false},
    {"stitch 1040", stitcher::Layout::Stitch, 1040, 2880, 1440, false},
    {"stitch 961 turned, 1001-wide frame", stitcher::Layout::Stitch, 961, 1001, 500, true},
    {"stereo 480 turned", stitcher::Layout::Stereo, 480, 1440, 720, true},
    {"stereo 961, 1001-wide frame", stitcher::Layout::Stereo, 961, 1001, 500, false},
};

TEST(CpuEngineTest, MatchesTheRendererAndTheTruth) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EngineSpec params = makeSpec(c.layout, c.size, c.frameWidth, c.frameHeight);
        if (c.turned) setTurnedView(&params);
        const int W = params.outWidth(), H = params.outHeight();

        // Frames of a detailed picture, synthesised through the calibration.
        testing::internal::CaptureStdout();  // the calibration model echoes its text
        testutil::StitchGeometry world(params.lens.text(), c.size);
        testutil::StitchGeometry layout(params.lens.text(), c.size,
                                        c.layout == stitcher::Layout::Stereo ? testutil::Layout::Stereo
                                                                             : testutil::Layout::Stitch);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(world.ok()) << world.error();
        const BgrImage source = testutil::makeSmoothPanorama(world.width(), world.height(), 6);
        const BgrImage frame = world.synthesise(source, c.frameWidth, c.frameHeight);

        const BgrImage gl = renderGl(params, frame);
        const std::vector<uint8_t> rows = stitchCpu(params, frame);
        const BgrImage cpu = testutil::fromAlignedRows(rows.data(), W, H);

        // Blend bands of the layout, carried through the view.
        const std::vector<uint8_t> panoramaBands = layout.blendBandMask(2.0);
        std::vector<uint8_t> bands(panoramaBands.size()), clear(panoramaBands.size());
        size_t bandPixels = 0;
        for (int r = 0; r < H; ++r)
            for (int col = 0; col < W; ++col) {
                int sc = col, sr = r;
                if (c.turned) viewSource(params, col, r, &sc, &sr);
                const size_t i = static_cast<size_t>(r) * W + col;
                bands[i] = panoramaBands[static_cast<size_t>(sr) * W + sc];
                clear[i] = !bands[i];
                bandPixels += bands[i];
            }
        ASSERT_GT(bandPixels, static_cast<size_t>(W));

        const double all = testutil::psnr(cpu, gl), inBands = testutil::psnr(cpu, gl, &bands);
        printf("%s: CPU vs GL %.2f dB, in the bands %.2f dB\n", c.name, all, inBands);
        EXPECT_GE(all, 40.0);
        EXPECT_GE(inBands, 38.0);
        // Row padding is written, and zero.
        for (int r = 0; r < H; ++r)
            for (size_t k = static_cast<size_t>(W) * 3; k < params.outStride(); ++k)
                ASSERT_EQ(rows[r * params.outStride() + k], 0) << "row " << r;

        if (c.turned || c.layout != stitcher::Layout::Stitch) continue;
        // The stitched panorama is the source picture again: the CPU engine
        // may not lose more against it than the renderer does.
        const double cpuClear = testutil::psnr(cpu, source, &clear), glClear = testutil::psnr(gl, source, &clear);
        const double cpuBands = testutil::psnr(cpu, source, &bands), glBands = testutil::psnr(gl, source, &bands);
        printf("%s: against the truth, CPU %.2f / GL %.2f dB clear, CPU %.2f / GL %.2f dB in the bands\n", c.name,
               cpuClear, glClear, cpuBands, glBands);
        EXPECT_GE(cpuClear, glClear - 0.3);
        EXPECT_GE(cpuBands, glBands - 0.3);
    }
}

// Calls check() once per instruction set the kernels were compiled for and
// this machine runs, each time with only that one enabled.
template <class Check>
void forEachInstructionSet(Check check) {
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        SCOPED_TRACE(hwy::TargetName(target));
        hwy::SetSupportedTargetsForTest(target);
        check();
    }
    hwy::SetSupportedTargetsForTest(0);
}

// Neither the thread count nor the instruction set changes a byte, with
// gains or without. Neighbours are sampled together in pairs and fours where
// the machine can; 302 and 320 wide rows end in a pair and in a four. The
// encoder's YUV written directly is the conversion of the packed picture,
// an odd last row included. 4-byte pixels (a fourth byte of noise) give the
// same colour bytes and 255 (the stitch layout: the kernels are the same),
// and so does a view turned per frame.
TEST(CpuEngineTest, SameBytesOnAnyThreadsAndInstructionSet) {
    BgrImage frame(1001, 500);
    std::mt19937 random(7);
    for (uint8_t& b : frame.data) b = static_cast<uint8_t>(random());
    const float gains[2][3] = {{1.25f, 0.9f, 1.0f}, {0.7f, 1.0f, 1.5f}};
    for (int size : {151, 160})
    for (stitcher::Layout layout : {stitcher::Layout::Stitch, stitcher::Layout::Stereo}) {
        SCOPED_TRACE(size);
        EngineSpec params = makeSpec(layout, size, frame.width, frame.height, 1);
        setTurnedView(&params);
        const std::vector<uint8_t> plain = stitchCpu(params, frame), gained = stitchCpu(params, frame, gains);
        EXPECT_FALSE(plain == gained);
        const std::vector<uint8_t> yuv = yuvOf(params, frame, &gained);
        EXPECT_TRUE(yuv == yuvOf(params, frame, nullptr, gains));
        params.threads = 3;
        EXPECT_TRUE(plain == stitchCpu(params, frame));
        EXPECT_TRUE(yuv == yuvOf(params, frame, nullptr, gains));
        EngineSpec four = params;
        four.texelBytes = 4;
        std::vector<uint8_t> noisy = withFourthByte(frame.data, frame.width, 3 * static_cast<size_t>(frame.width), 0);
        for (size_t i = 3; i < noisy.size(); i += 4) noisy[i] = static_cast<uint8_t>(random());
        const std::vector<uint8_t> gained4 = withFourthByte(gained, params.outWidth(), params.outStride(), 255);
        // The same view turned per frame: the panorama looked up along each
        // pixel's turned direction, runs of pixels several at a time.
        EngineSpec moving = params, moving4 = four;
        moving.perFrameRotation = moving4.perFrameRotation = true;
        const std::vector<uint8_t> turned = layout == stitcher::Layout::Stitch ? stitchCpu(moving, frame) : plain;
        const std::vector<uint8_t> turned4 = withFourthByte(turned, params.outWidth(), params.outStride(), 255);
        forEachInstructionSet([&] {
            EXPECT_TRUE(plain == stitchCpu(params, frame));
            EXPECT_TRUE(gained == stitchCpu(params, frame, gains));
            if (layout == stitcher::Layout::Stitch) {
                EXPECT_TRUE(gained4 == stitchCpu(four, noisy, gains));
                EXPECT_TRUE(turned == stitchCpu(moving, frame));
                EXPECT_TRUE(turned4 == stitchCpu(moving4, noisy));
            }
        });
    }
}

// A moving view's runs of taps, several pixels at a time, are those one
// pixel at a time gives: lone reads and two lenses blended, over fractions
// that land on whole and half 256ths, blends that pass 0 and 1 and halves
// of a weight unit, runs of every length up to past a vector's.
TEST(CpuEngineTest, RunTapsSameOnEveryInstructionSet) {
    const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
    if (targets.size() < 2) GTEST_SKIP() << "one instruction set only";
    std::mt19937 random(11);
    std::vector<uint32_t> table(256 * 256);
    for (uint32_t& w : table) w = static_cast<uint32_t>(random());
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    auto read = [&](uint32_t flags) {
        const double s = std::floor(uniform(1, 900) * 4) / 4, t = uniform(1, 400);  // some on quarter texels
        const double ds = (random() % 3 ? uniform(-1, 1) : std::round(uniform(-2, 2) * 512) / 512) / 16;
        return stitcher::RunRead{s, t, ds, uniform(-1, 1) / 16, static_cast<uint32_t>(random() % 5000) * 3,
                                 3000, flags};
    };
    for (int trial = 0; trial < 400; ++trial) {
        const int n = 1 + trial % 19;
        // The first read's lens drawn over the second's, lens 1 over lens 0 on odd trials.
        const bool secondFirst = trial % 2;
        const uint32_t lens1 = stitcher::SampleTap::kLens1;
        const stitcher::RunRead reads[2] = {read(secondFirst ? lens1 : 0),
                                            read((secondFirst ? 0 : lens1) | stitcher::SampleTap::kLevels)};
        // Blends from below 0 to above 1, some on exact halves of a unit.
        const double alpha = trial % 4 ? uniform(-0.2, 1.2) : (std::floor(uniform(0, 255)) + 0.5) / stitcher::kWeightOne;
        const double dalpha = trial % 4 ? uniform(-0.1, 0.1) : 1.0 / stitcher::kWeightOne;
        std::vector<std::vector<uint64_t>> got;
        for (int64_t target : targets) {
            SCOPED_TRACE(hwy::TargetName(target));
            hwy::SetSupportedTargetsForTest(target);
            std::vector<stitcher::SampleTap> lone(n + 1), blend(2 * n + 1);
            std::vector<size_t> loneStarts(n), blendStarts(n);
            stitcher::loneRunTaps(reads[0], n, table.data(), lone.data(), 7, loneStarts.data());
            stitcher::blendRunTaps(reads, alpha, dalpha, secondFirst, n, blend.data(), 9, blendStarts.data());
            std::vector<uint64_t> all;
            for (const auto& t : lone) all.push_back(uint64_t(t.where) << 32 | t.weights);
            for (const auto& t : blend) all.push_back(uint64_t(t.where) << 32 | t.weights);
            all.insert(all.end(), loneStarts.begin(), loneStarts.end());
            all.insert(all.end(), blendStarts.begin(), blendStarts.end());
            got.push_back(all);
            // Each blended pixel's weights add up to one, its lens 0 read first and its second the last.
            for (int i = 0; i < n; ++i) {
                const stitcher::SampleTap* p = &blend[blendStarts[i] - 9];
                int sum = 0;
                for (int k = 0; k < 8; ++k) sum += (p[k / 4].weights >> (8 * (k % 4))) & 255;
                ASSERT_EQ(sum, stitcher::kWeightOne) << "pixel " << i;
                ASSERT_EQ((p[0].where & stitcher::SampleTap::kLens1) != 0, false);
                ASSERT_TRUE((p[1].where & stitcher::SampleTap::kLast) && !(p[0].where & stitcher::SampleTap::kLast));
            }
        }
        hwy::SetSupportedTargetsForTest(0);
        for (size_t k = 1; k < got.size(); ++k)
            ASSERT_TRUE(got[k] == got[0]) << "trial " << trial << ", " << hwy::TargetName(targets[k]) << " against "
                                          << hwy::TargetName(targets[0]);
    }
}

// A uniform frame shows each lens's gain alone away from the bands, and a
// mix of the two inside them.
TEST(CpuEngineTest, GainsScaleEachLensAlone) {
    BgrImage frame(720, 360);
    std::fill(frame.data.begin(), frame.data.end(), 100);
    const EngineSpec params = makeSpec(stitcher::Layout::Stitch, 120, frame.width, frame.height);
    struct GainCase {
        float gains[2][3];
        uint8_t lens0[3], lens1[3];
    };
    const GainCase cases[] = {
        {{{1, 1, 1}, {0.5f, 0.5f, 0.5f}}, {100, 100, 100}, {50, 50, 50}},
        {{{1, 1.5f, 3}, {1, 1, 1}}, {100, 150, 255}, {100, 100, 100}},  // saturates
        {{{0, 1, 1}, {1, 1, 1e9f}}, {0, 100, 100}, {100, 100, 255}},   // clamped gain
    };
    const std::vector<uint8_t> plain = stitchCpu(params, frame);
    const float unity[2][3] = {{1, 1, 1}, {1, 1, 1}};
    EXPECT_TRUE(plain == stitchCpu(params, frame, unity));
    for (const GainCase& g : cases) {
        const BgrImage out = testutil::fromAlignedRows(stitchCpu(params, frame, g.gains).data(), params.outWidth(),
                                                       params.outHeight());
        size_t seen[2] = {0, 0};
        for (int r = 0; r < out.height; ++r)
            for (int c = 0; c < out.width; ++c) {
                const uint8_t* p = out.at(c, r);
                seen[0] += std::memcmp(p, g.lens0, 3) == 0;
                seen[1] += std::memcmp(p, g.lens1, 3) == 0;
                for (int k = 0; k < 3; ++k) {
                    ASSERT_GE(p[k], std::min(g.lens0[k], g.lens1[k]) - 1) << r << "," << c;
                    ASSERT_LE(p[k], std::max(g.lens0[k], g.lens1[k]) + 1) << r << "," << c;
                }
            }
        const size_t pixels = static_cast<size_t>(out.width) * out.height;
        EXPECT_GT(seen[0], pixels / 3);
        EXPECT_GT(seen[1], pixels / 3);
    }
}

// Levels are made four texels at a time (4-byte texels: two): spans of any start and length give
// each texel the rounded average of its 2 x 2 block and write nothing else.
TEST(CpuEngineTest, HalvedRowsAreBlockAverages) {
    std::mt19937 random(11);
    for (int texel : {3, 4}) {
        for (int width : {1, 4, 5, 6, 9, 10, 11, 64, 1441}) {
            const size_t t = static_cast<size_t>(texel);
            std::vector<uint8_t> a(static_cast<size_t>(width) * 2 * t), b(a.size());
            for (uint8_t& v : a) v = static_cast<uint8_t>(random());
            for (uint8_t& v : b) v = static_cast<uint8_t>(random());
            for (int x0 : {0, 1, 3}) {
                if (x0 >= width) continue;
                for (int x1 : {width, width - 1}) {
                    forEachInstructionSet([&] {
                        std::vector<uint8_t> out(static_cast<size_t>(width) * t, 0xEE);
                        stitcher::halveRow(a.data(), b.data(), x0, x1, out.data(), texel);
                        for (int x = 0; x < width; ++x)
                            for (size_t c = 0; c < t; ++c) {
                                const size_t i = static_cast<size_t>(x) * 2 * t + c;
                                const int want =
                                    x < x0 || x >= x1 ? 0xEE : (a[i] + a[i + t] + b[i] + b[i + t] + 2) >> 2;
                                ASSERT_EQ(out[static_cast<size_t>(x) * t + c], want) << texel << " " << width << " " << x0 << " " << x;
                            }
                    });
                }
            }
        }
    }
}

// The writer's colour conversion: BT.709 limited range, chroma from 2 x 2
// block averages, within a level of the exact values, the same bytes on
// every instruction set, for sizes with odd and vector-tail edges.
TEST(CpuEngineTest, YuvConversionIsBt709LimitedRange) {
    std::mt19937 random(5);
    auto exact = [](double b, double g, double r, double out[3]) {
        const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        out[0] = 16 + 219 * y / 255;
        out[1] = 128 + 224 * (b - y) / 1.8556 / 255;
        out[2] = 128 + 224 * (r - y) / 1.5748 / 255;
    };
    for (const auto& size : {std::pair<int, int>{1, 2}, {17, 3}, {33, 6}, {48, 5}}) {
        const int w = size.first, h = size.second, cw = (w + 1) / 2, ch = (h + 1) / 2;
        BgrImage img(w, h);
        for (uint8_t& b : img.data) b = static_cast<uint8_t>(random());
        std::fill_n(img.data.begin(), 3, 255);  // white and black at the range ends
        std::fill_n(img.data.end() - 3, 3, 0);
        std::vector<uint8_t> first;
        forEachInstructionSet([&] {
            std::vector<uint8_t> out(static_cast<size_t>(w) * h + 2 * cw * ch, 0xEE);
            uint8_t *y = out.data(), *u = y + w * h, *v = u + cw * ch;
            stitcher::bgrToYuv420(img.data.data(), w * 3, w, h, y, w, u, cw, v, cw);
            if (first.empty()) first = out;
            EXPECT_TRUE(out == first);
            for (int r = 0; r < h; ++r)
                for (int c = 0; c < w; ++c) {
                    const uint8_t* p = img.at(c, r);
                    double want[3];
                    exact(p[0], p[1], p[2], want);
                    ASSERT_NEAR(y[r * w + c], want[0], 1.0) << w << "x" << h << " " << c << "," << r;
                }
            for (int r = 0; r < ch; ++r)
                for (int c = 0; c < cw; ++c) {
                    double sum[3] = {0, 0, 0}, want[3];
                    for (int k = 0; k < 4; ++k) {
                        const uint8_t* p = img.at(std::min(w - 1, 2 * c + k % 2), std::min(h - 1, 2 * r + k / 2));
                        for (int i = 0; i < 3; ++i) sum[i] += p[i] / 4.0;
                    }
                    exact(sum[0], sum[1], sum[2], want);
                    ASSERT_NEAR(u[r * cw + c], want[1], 1.0) << w << "x" << h << " " << c << "," << r;
                    ASSERT_NEAR(v[r * cw + c], want[2], 1.0) << w << "x" << h << " " << c << "," << r;
                }
            EXPECT_EQ(y[0], 235);
            EXPECT_EQ(y[w * h - 1], 16);
        });
    }
}

TEST(CpuEngineTest, RefusesWhatItCannotStitch) {
    struct Bad {
        const char* what;
        EngineSpec params;
    };
    std::vector<Bad> bad = {{"no size", makeSpec(stitcher::Layout::Stitch, 0, 64, 32)},
                            {"no frame", makeSpec(stitcher::Layout::Stitch, 16, 0, 32)},
                            {"huge output", makeSpec(stitcher::Layout::Stitch, 1 << 20, 64, 32)},
                            {"no calibration", makeSpec(stitcher::Layout::Stitch, 16, 64, 32)}};
    bad.back().params.lens = LensRig();
    for (const Bad& b : bad) {
        std::unique_ptr<CpuEngine> engine;
        const stitcher::Status made = CpuEngine::create(b.params, engine);
        EXPECT_FALSE(made.ok()) << b.what;
        EXPECT_FALSE(engine) << b.what;
        EXPECT_FALSE(made.message().empty()) << b.what;
    }
    std::unique_ptr<stitcher::Engine> engine;
    testing::internal::CaptureStdout();
    const stitcher::Status made = stitcher::makeCpuEngine(makeSpec(stitcher::Layout::Stitch, 16, 64, 32), engine);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(made.ok() && engine) << made.message();
    EXPECT_STREQ(engine->name(), "cpu");
    std::vector<uint8_t> out(makeSpec(stitcher::Layout::Stitch, 16, 64, 32).outBytes());
    EXPECT_FALSE(engine->stitch(nullptr, out.data()).ok());
}

// Frames down to one pixel, and outputs down to 2 x 1: pixels show the
// frame's one colour, or less of it where a mesh fades, and nothing is read
// out of bounds.
TEST(CpuEngineTest, TinyFramesAndOutputs) {
    const int sizes[][3] = {{1, 1, 1}, {2, 1, 3}, {1, 3, 2}, {3, 2, 1}};  // frame width, height; size
    const uint8_t color[3] = {40, 80, 160};
    for (const auto& s : sizes) {
        BgrImage frame(s[0], s[1]);
        for (size_t i = 0; i < frame.data.size(); ++i) frame.data[i] = color[i % 3];
        for (stitcher::Layout layout : {stitcher::Layout::Stitch, stitcher::Layout::Stereo}) {
            const EngineSpec params = makeSpec(layout, s[2], s[0], s[1]);
            const BgrImage out =
                testutil::fromAlignedRows(stitchCpu(params, frame).data(), params.outWidth(), params.outHeight());
            bool full = false;
            for (size_t i = 0; i < out.data.size(); i += 3) {
                full = full || std::memcmp(&out.data[i], color, 3) == 0;
                for (int k = 0; k < 3; ++k) EXPECT_LE(out.data[i + k], color[k]) << i;
            }
            EXPECT_TRUE(full || layout == stitcher::Layout::Stereo || s[2] < 2) << s[0] << "x" << s[1] << " size " << s[2];
        }
    }
}

}  // namespace
