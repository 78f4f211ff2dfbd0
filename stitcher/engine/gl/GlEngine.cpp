// The GL engine: the libspherecast renderer behind its exported facade.
#include <GL/gl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "ColorMatch.h"
#include "DualFisheyeModel.h"
#include "GlEngine.h"
#include "Spherecast.h"

namespace stitcher {

namespace {

// Holds what is written to standard error while it lives (the windowing
// library reports why it cannot start there), and gives it back as text.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        fd_ = ::memfd_create("stitcher-stderr", MFD_CLOEXEC);
        saved_ = fd_ >= 0 ? ::dup(2) : -1;
        if (saved_ >= 0) ::dup2(fd_, 2);
    }
    ~StderrCapture() { text(); }
    // Restores standard error (once) and returns what was caught, one line.
    std::string text() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
            char buf[2048];
            ssize_t n = ::pread(fd_, buf, sizeof buf, 0);
            // Its lines, each once (the windowing library retries).
            std::string all(buf, n > 0 ? static_cast<size_t>(n) : 0), line;
            for (size_t at = 0; at < all.size(); at += line.size() + 1) {
                line = all.substr(at, all.find('\n', at) - at);
                if (line.empty() || caught_.find(line) != std::string::npos) continue;
                caught_ += (caught_.empty() ? "" : "; ") + line;
            }
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        return caught_;
    }

private:
    int fd_ = -1, saved_ = -1;
    std::string caught_;
};

class GlEngine : public Engine {
public:
    explicit GlEngine(const EngineSpec& params)
        : renderer_(params.offset.c_str(), params.size, params.frameWidth, params.frameHeight,
                    params.layout == Layout::Stereo ? Spherecast::Stereo : Spherecast::Stitch),
          spec_(params) {}
    ~GlEngine() override {
        if (started_) renderer_.deInitRenderer();
    }

    // Fails with what the windowing library said where no context can be had.
    Status start() {
        StderrCapture capture;
        started_ = renderer_.initRenderer(0, nullptr);
        std::string said = capture.text();
        if (!started_) {
            renderer_.deInitRenderer();
            return Status(kExitDisplay, said.empty() ? "the renderer could not start" : said);
        }
        float m[4][4];
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) m[i][j] = spec_.rotation[i][j];
        renderer_.updateRotation(m);
        const GLubyte* name = glGetString(GL_RENDERER);
        device_ = name ? reinterpret_cast<const char*>(name) : "unknown";
        // Without its circles the engine still stitches, with gains left at 1
        // (colour matching refuses the same calibrations).
        applier_.init(DualFisheyeModel(spec_.offset.c_str()), spec_.frameWidth, spec_.frameHeight);
        return Status();
    }

    const char* name() const override { return "gl"; }
    std::string device() const override { return device_; }

    bool stitch(uint8_t* frame, uint8_t* out) override {
        // The renderer takes the frame as it is: the gains go into its pixels.
        applier_.apply(frame, gains_);
        renderer_.setData(frame);
        renderer_.render(out);
        return true;
    }

    void setGains(const float gains[2][3]) override {
        for (int lens = 0; lens < 2; ++lens)
            for (int c = 0; c < 3; ++c) gains_.gain[lens][c] = gains[lens][c];
    }

private:
    Spherecast renderer_;
    EngineSpec spec_;
    bool started_ = false;
    std::string device_;
    GainApplier applier_;
    ColorGains gains_;
};

}  // namespace

Status makeGlEngine(const EngineSpec& params, std::unique_ptr<Engine>& engine) {
    auto gl = std::make_unique<GlEngine>(params);
    Status st = gl->start();
    if (st.ok()) engine = std::move(gl);
    return st;
}

}  // namespace stitcher
