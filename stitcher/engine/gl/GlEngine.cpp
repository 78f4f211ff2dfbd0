// The GL engine: the libspherecast renderer behind its exported facade, and
// the engine's own passes (flat and planet views, the seam warp) drawn in
// the renderer's context.
#include <GL/glew.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "ColorMatch.h"
#include "DualFisheyeModel.h"
#include "GlEngine.h"
#include "GlPasses.h"
#include "Spherecast.h"
#include "spherecast_internal.h"

namespace stitcher {

namespace {

// While it lives, keeps the renderer's reasons for a failure (the windowing
// library's and the headless context's), each once; the host's own sink
// still sees every message.
class ReasonCatcher {
public:
    ReasonCatcher() : previous_(spherecast::GetMessageSink()) {
        spherecast::SetMessageSink([this](int level, const std::string& line) {
            if (level == spherecast::kMessageReason && caught_.find(line) == std::string::npos)
                caught_ += (caught_.empty() ? "" : "; ") + line;
            if (previous_) previous_(level, line);
        });
    }
    ~ReasonCatcher() { spherecast::SetMessageSink(previous_); }
    ReasonCatcher(const ReasonCatcher&) = delete;
    ReasonCatcher& operator=(const ReasonCatcher&) = delete;
    const std::string& text() const { return caught_; }

private:
    spherecast::MessageSink previous_;
    std::string caught_;
};

bool identity(const float m[4][4]) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (m[i][j] != (i == j ? 1.0f : 0.0f)) return false;
    return true;
}

class GlEngine : public Engine {
public:
    explicit GlEngine(const EngineSpec& params)
        : renderer_(params.lens.text().c_str(), params.size, params.frameWidth, params.frameHeight,
                    params.layout == Layout::Stereo ? Spherecast::Stereo : Spherecast::Stitch),
          params_(params) {}
    ~GlEngine() override {
        if (started_) {
            // Our objects go while the renderer's context is current
            // (setData without a frame only makes it so).
            if (passes_) renderer_.setData(nullptr);
            passes_.reset();
            renderer_.deInitRenderer();
        }
    }

    // Fails with what the windowing library said where no context can be had.
    Status start() {
        if (params_.reprojected() && params_.layout != Layout::Stitch)
            return Status(kExitDisplay, "a flat or planet view needs the stitch layout");
        std::string said;
        {
            ReasonCatcher catcher;
            started_ = renderer_.initRenderer(0, nullptr);
            said = catcher.text();
        }
        if (!started_) {
            renderer_.deInitRenderer();
            return Status(kExitDisplay, said.empty() ? "the renderer could not start" : said);
        }
        float m[4][4];
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) m[i][j] = params_.rotation[i][j];
        renderer_.updateRotation(m);
        if (params_.perFrameRotation) {
            if (params_.layout != Layout::Stitch) return Status(kExitDisplay, "a view rotation per frame needs the stitch layout");
            spherecast::SetLinearPanoramaLookup(renderer_, true);
        }
        // The engine's own passes (the flat and planet views, the seam
        // warp) draw in the renderer's context, current now.
        passes_.reset(new GlPasses(params_));
        const Status own = passes_->start();
        if (!own.ok()) return own;
        const GLubyte* name = glGetString(GL_RENDERER);
        device_ = name ? reinterpret_cast<const char*>(name) : "unknown";
        // Without its circles the engine still stitches, with gains left at 1
        // (colour matching refuses the same calibrations).
        applier_.init(params_.lens.model(), params_.frameWidth, params_.frameHeight, params_.falloff);
        // The fall-off's lift is worked out per pixel: that takes the cores
        // (params.threads, 0 for all), where the gains alone take one.
        if (!params_.falloff.flat())
            applyThreads_ = params_.threads > 0 ? params_.threads
                                              : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        return Status();
    }

    const char* name() const override { return "gl"; }
    std::string device() const override { return device_; }

    Status stitch(uint8_t* frame, uint8_t* out) override {
        // The renderer takes the frame as it is: the gains and the fall-off
        // correction go into its pixels.
        applier_.apply(frame, gains_, applyThreads_);
        // setData also makes the renderer's context current for our passes.
        renderer_.setData(frame);
        if (params_.reprojected()) return passes_->view(frame, out);
        // A warped panorama turned per frame is the engine's own from the
        // first pass on; the renderer's picture where nothing is warped.
        if (params_.perFrameRotation && passes_->warping()) return passes_->warpTurned(frame, out);
        renderer_.render(out);
        return passes_->warp(frame, out);
    }

    bool setRotation(const float m[4][4]) override {
        if (!params_.perFrameRotation || !m) return false;
        float copy[4][4];
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) copy[i][j] = m[i][j];
        renderer_.updateRotation(copy);
        passes_->setRotation(copy);
        return true;
    }

    bool setFov(double degrees) override {
        if (!params_.perFrameRotation || !params_.reprojected() || !(degrees > 0.0 && degrees < 180.0)) return false;
        passes_->setFov(degrees);
        return true;
    }

    // The seams are warped in the identity-view panorama: under a view
    // turned per frame, before it turns; not under a fixed turn, which the
    // renderer draws in one go. A flat or planet view warps them itself.
    bool setSeamShift(const SeamShift& shift) override {
        if (params_.layout != Layout::Stitch ||
            (!params_.reprojected() && !params_.perFrameRotation && !identity(params_.rotation)))
            return false;
        return passes_->setShift(shift);
    }

    void setGains(const float gains[2][3]) override {
        for (int lens = 0; lens < 2; ++lens)
            for (int c = 0; c < 3; ++c) gains_.gain[lens][c] = gains[lens][c];
    }

private:
    Spherecast renderer_;
    EngineSpec params_;
    std::unique_ptr<GlPasses> passes_;
    bool started_ = false;
    std::string device_;
    GainApplier applier_;
    ColorGains gains_;
    int applyThreads_ = 1;
};

}  // namespace

Status makeGlEngine(const EngineSpec& params, std::unique_ptr<Engine>& engine) {
    if (params.texelBytes != 3) return Status(kExitDisplay, "the gl engine takes 3-byte pixels only");
    auto gl = std::make_unique<GlEngine>(params);
    Status st = gl->start();
    if (st.ok()) engine = std::move(gl);
    return st;
}

}  // namespace stitcher
