// What travels between the stages: the reader fills an item, the engine
// stitches it and the writer takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "HugePages.h"
#include "YuvConvert.h"

namespace stitcher {

// A picture in the encoder's own format, made by the writer that takes it,
// which an engine that writes YUV stitches into (Engine::stitchYuv).
struct YuvPicture {
    virtual ~YuvPicture() = default;
    virtual YuvPlanes planes() const = 0;
};

// A decoded picture still in the decoder's own layout: the packed BGR
// picture is made from it rows at a time, on any thread, with the bytes a
// decode straight to BGR gives.
struct SourcePicture {
    virtual ~SourcePicture() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Columns [x0, x1) of rows [row0, row1) into `bgr`, which receives row
    // row0, column 0, rows `stride` bytes apart (a column or so more on the
    // left may be written); false (nothing written) where they cannot be made.
    virtual bool toBgr(int row0, int row1, int x0, int x1, uint8_t* bgr, size_t stride) const = 0;
    // The whole picture into `bgr`, rows of exactly 3 * width bytes.
    bool toPacked(uint8_t* bgr) const { return toBgr(0, height(), 0, width(), bgr, static_cast<size_t>(width()) * 3); }
};

// One frame on its way through the stages.
struct FrameItem {
    long long frame = 0;
    int64_t pts = 0;                   // when it appears in the output, in the reader's timescale() units
    int64_t duration = 0;              // how long it shows, in the same units
    bool damaged = false;              // the frame could not be decoded; another frame's picture stands in
    bool turned = false;               // `rotation` is this frame's view rotation (a per-frame engine's)
    float rotation[4][4] = {};         // column-major, as EngineSpec::rotation
    float fov = 0.0f;                  // with `turned`: this frame's field of view (0: as it was)
    HugePageVector<uint8_t> picture;   // decoded, packed BGR
    // When set, `picture` is still to be made from it (Engine::unpack).
    std::shared_ptr<const SourcePicture> source;
    HugePageVector<uint8_t> panorama;  // the engine's output
    std::shared_ptr<YuvPicture> yuv;   // when set, the engine's output instead of panorama
    std::vector<int16_t> audio;        // this frame's sound, interleaved
    int audioSamples = 0;              // per channel
};

}  // namespace stitcher
