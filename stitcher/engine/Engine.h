// The stitching stage: one interface, with an OpenGL implementation (the
// libspherecast renderer) and a CPU implementation built on the same geometry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "FrameItem.h"
#include "LensFalloff.h"
#include "SeamBands.h"
#include "Status.h"
#include "ViewProjection.h"
#include "YuvConvert.h"

#include "LensRig.h"

namespace stitcher {

enum class Layout { Stitch, Stereo };

// What an engine is made for; fixed for its life.
struct EngineSpec {
    LensRig lens;                        // the lens calibration, checked as usable
    int size = 0;                        // panorama height
    int frameWidth = 0, frameHeight = 0; // decoded frames: packed BGR, rows of exactly texelBytes * frameWidth bytes
    // Bytes per pixel of the frame and of the output: 3 (B, G, R), or 4 (the
    // same and a fourth byte, ignored in the frame and 255 in the output), as
    // a host's 32-bit pixels have them. Only the CPU engine takes 4.
    int texelBytes = 3;
    Layout layout = Layout::Stitch;
    // View rotation as the renderer takes it: m[i] is column i; maps each
    // output direction to the direction looked up in the stitched panorama.
    float rotation[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    int threads = 0;                     // worker threads where the engine has any; 0: all cores
    // Each lens's fall-off toward its rim, undone with the gains (flat: none).
    LensFalloff falloff;
    // Made to take a view rotation per frame (Engine::setRotation), `rotation`
    // being the first. Stitch layout only. The CPU engine then samples the
    // lenses straight into each output pixel along its rotated direction;
    // the GL engine stitches the panorama with the identity view and looks
    // it up bilinearly. Without it the rotation is fixed and looked up at the
    // nearest texel, as the renderer's exported second pass does.
    bool perFrameRotation = false;
    // The output's projection: equirect is the panorama itself (its size
    // from `size`); flat and planet are view.width x view.height pictures
    // looked through `rotation`, stitched straight from the lenses, the
    // panorama's geometry at `size` giving the lens positions. Stitch layout only.
    ViewShape view;
    bool reprojected() const { return view.projection != Projection::Equirect; }

    // The calibration of `text`; refused (and `lens` left as it was) unless usable.
    calibration::Verdict useCalibration(const std::string& text) { return LensRig::make(text, lens); }

    int outWidth() const { return reprojected() ? view.width : 2 * size; }
    int outHeight() const { return reprojected() ? view.height : layout == Layout::Stereo ? 2 * size : size; }
    // Every engine writes the renderer's read-back layout: outHeight() rows of
    // 3 * outWidth() bytes rounded up to a multiple of 4, in the renderer's row
    // order; with 4-byte pixels, rows of exactly 4 * outWidth() bytes.
    size_t outStride() const {
        return (static_cast<size_t>(outWidth()) * static_cast<size_t>(texelBytes) + 3) & ~static_cast<size_t>(3);
    }
    size_t outBytes() const { return outStride() * static_cast<size_t>(outHeight()); }
};

// Panorama height that keeps the lenses' sharpest detail (at the centre of
// the sharper lens's circle, spread over 180 degrees) for frames of
// `frameWidth` pixels: 64 to 4096, a multiple of 16.
int defaultSize(const calibration::Calibration& c, int frameWidth);

class Engine {
public:
    virtual ~Engine() = default;
    // "gl" or "cpu".
    virtual const char* name() const = 0;
    // Stitches one frame into `out` (params.outBytes() bytes). The engine
    // may change the frame on the way (the GL engine applies the gains to it
    // in place).
    virtual Status stitch(uint8_t* frame, uint8_t* out) = 0;
    // Gains for the frames that follow, per lens (0, 1) and channel (B, G,
    // R); 1 leaves a lens as it is. Engines start with all gains at 1.
    virtual void setGains(const float gains[2][3]) = 0;
    // The view rotation for the frames that follow (m[i] is column i, as
    // EngineSpec::rotation); false where the engine was not made for one
    // per frame (EngineSpec::perFrameRotation).
    virtual bool setRotation(const float /*m*/[4][4]) { return false; }
    // The field of view (degrees) of a flat or planet view for the frames
    // that follow, taking effect with the next setRotation(); false where
    // the engine was not made for a view per frame.
    virtual bool setFov(double /*degrees*/) { return false; }
    // The seam's disparity for the frames that follow (SeamBands.h): each
    // lens looked up half of it toward the other within the cross-fade
    // bands. False where the engine cannot warp its seams, which then stay
    // as the far field has them.
    virtual bool setSeamShift(const SeamShift& /*shift*/) { return false; }
    // Engines that can write the video encoder's YUV directly, sparing the
    // packed picture and its conversion: stitchYuv() gives the bytes that
    // bgrToYuv420() makes of stitch()'s picture. The others fail stitchYuv().
    virtual bool writesYuv() const { return false; }
    virtual Status stitchYuv(uint8_t* /*frame*/, const YuvPlanes& /*out*/) {
        return Status(kExitFailed, "the " + std::string(name()) + " engine writes no YUV");
    }
    // Makes the packed frame stitch() takes (rows of exactly 3 * width
    // bytes) from a picture in the decoder's layout; an engine with threads
    // of its own shares the rows out among them.
    virtual Status unpack(const SourcePicture& source, uint8_t* frame) {
        if (!frame || !source.toPacked(frame))
            return Status(kExitFailed, "the decoded picture could not be converted");
        return Status();
    }
    // The device it runs on, as the driver names it (GL_RENDERER); empty for
    // an engine without a driver.
    virtual std::string device() const { return std::string(); }
};

// Which engine a run asks for: auto picks GL on a hardware GPU and the CPU
// engine where OpenGL would run on a software rasterizer or not at all.
enum class EngineKind { Auto, Gl, Cpu };

// True for GL_RENDERER texts of Mesa's software rasterizers (llvmpipe, softpipe, swrast).
bool isSoftwareRasterizer(const std::string& glRenderer);

// True when the machine has a device node a hardware OpenGL driver could
// use (/dev/dri/card*, /dev/dri/renderD*, /dev/nvidia*). Without one, OpenGL
// can only run on a software rasterizer, which is not worth starting to see.
bool gpuDevicePresent();

// How engines are made (makeGlEngine, makeCpuEngine in the engines' folders)
// and the machine looked at; tests put their own in.
// A maker fails, with the reason, where its engine cannot run.
using EngineMaker = std::function<Status(const EngineSpec&, std::unique_ptr<Engine>& engine)>;
struct EngineMakers {
    EngineMaker gl;
    EngineMaker cpu;
    std::function<bool()> gpuPresent = gpuDevicePresent;
};

struct EngineChoice {
    std::unique_ptr<Engine> engine;
    std::string why;  // why this engine runs, for --info and -v
};

// Makes the engine `wanted` calls for, on the calling thread. Fails with
// kExitDisplay and the reasons when no engine can run.
Status chooseEngine(EngineKind wanted, const EngineSpec& params, EngineChoice& choice, const EngineMakers& make);

}  // namespace stitcher
