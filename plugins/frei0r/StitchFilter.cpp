#include "StitchFilter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>

#include "ColorMatch.h"
#include "CpuEngine.h"
#include "DualFisheyeModel.h"
#include "ViewRotation.h"
#include "WorkerPool.h"
#include "calibration/Calibration.h"
#include "libdec.h"
#include "libdec_internal.h"

namespace dfsfrei0r {

namespace {

const ParamInfo kParams[kParamCount] = {
    {"calibration", ParamType::String,
     "lens calibration (offset string, as the stitcher's --info prints it); empty: the clip's"},
    {"clip", ParamType::String, "path of the clip, to read its lens calibration from; optional"},
    {"yaw", ParamType::Double, "view yaw in degrees, positive turns the view right"},
    {"pitch", ParamType::Double, "view pitch in degrees, positive tilts the view up"},
    {"roll", ParamType::Double, "view roll in degrees, levels the horizon"},
    {"color_match", ParamType::Bool, "match exposure and colour of the two lenses (each frame on its own)"},
    {"layout", ParamType::String, "stitch (one 2:1 panorama) or stereo (one panorama per lens, stacked)"},
    {"view", ParamType::String,
     "yaw,pitch,roll in degrees in one text, for hosts that limit numbers to 0..1; empty: yaw, pitch and roll"},
};

// Smaller panoramas are not stitched: the frame comes out black.
constexpr int kMinSize = 8;

void toStderr(const std::string& line) { std::fprintf(stderr, "dualfisheye360: %s\n", line.c_str()); }

Say g_say = toStderr;

// Angles kept within one turn; what is not a number leaves the angle as it was.
void setAngle(double& angle, const void* value) {
    const double v = *static_cast<const double*>(value);
    if (std::isfinite(v)) angle = std::fmod(v, 360.0);
}

std::string text(const void* value) {
    const char* s = *static_cast<char* const*>(value);
    return s ? std::string(s) : std::string();
}

// Black, opaque, whatever the channel order.
void fillBlack(uint32_t* out, size_t pixels) {
    uint8_t* b = reinterpret_cast<uint8_t*>(out);
    for (size_t i = 0; i < pixels; ++i) {
        b[4 * i] = b[4 * i + 1] = b[4 * i + 2] = 0;
        b[4 * i + 3] = 255;
    }
}

// Four-byte pixels to three and back (alpha opaque). Plain byte loops: the
// compiler turns them into byte shuffles, four times faster than moving
// 32-bit words by hand, and the frames' trip through memory is most of it.
void dropAlpha(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        dst[3 * i] = src[4 * i];
        dst[3 * i + 1] = src[4 * i + 1];
        dst[3 * i + 2] = src[4 * i + 2];
    }
}

void addAlpha(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        dst[4 * i] = src[3 * i];
        dst[4 * i + 1] = src[3 * i + 1];
        dst[4 * i + 2] = src[3 * i + 2];
        dst[4 * i + 3] = 255;
    }
}

// Why a calibration text cannot be used; empty when it can, and `lens` is then its rig.
std::string calibrationProblem(const std::string& offset, LensRig& lens) {
    if (!isOffsetValid(offset.c_str()))
        return "expected 2_radius_x_y_yaw_pitch_roll (per lens)_width_height[_code]";
    const calibration::Verdict v = LensRig::make(offset, lens);
    return v ? std::string() : v.reason();
}

}  // namespace

const ParamInfo& paramInfo(int index) { return kParams[index]; }

bool Settings::operator==(const Settings& o) const {
    return calibration == o.calibration && clip == o.clip && yaw == o.yaw && pitch == o.pitch && roll == o.roll &&
           colorMatch == o.colorMatch && layout == o.layout && view == o.view;
}

bool parseView(const std::string& text, double angles[3]) {
    if (text.find('\0') != std::string::npos) return false;
    std::string t = text;
    for (char& c : t)
        if (c == ',') c = ' ';
    // Numbers as C writes them, whatever the host's locale.
    std::istringstream in(t);
    in.imbue(std::locale::classic());
    double v[3] = {0, 0, 0}, a = 0;
    int n = 0;
    while (in >> a) {
        if (n == 3 || !std::isfinite(a)) return false;
        v[n++] = std::fmod(a, 360.0);
    }
    if (n == 0 || !in.eof()) return false;
    for (int i = 0; i < 3; ++i) angles[i] = v[i];
    return true;
}

void setSay(Say s) { g_say = s ? s : toStderr; }
void say(const std::string& line) { g_say(line); }

struct StitchFilter::Built {
    Settings settings;
    std::unique_ptr<stitcher::CpuEngine> engine;  // null: the frame comes out black
    std::unique_ptr<stitcher::ColorEstimator> color;  // null: no colour matching
    std::vector<uint8_t> frame;  // packed 3-byte pixels in
    int x0 = 0, y0 = 0;  // where the panorama sits in the output frame
};

// Sizes beyond any the engine takes are kept as ints all the same (the engine
// refuses them, and the whole frame comes out black).
StitchFilter::StitchFilter(unsigned width, unsigned height)
    : width_(static_cast<int>(std::min(width, 1u << 24))), height_(static_cast<int>(std::min(height, 1u << 24))) {}

StitchFilter::~StitchFilter() = default;

void StitchFilter::setParam(int index, const void* value) {
    if (!value || index < 0 || index >= kParamCount) return;
    std::lock_guard<std::mutex> lock(lock_);
    Settings& s = settings_;
    switch (index) {
        case kCalibration: s.calibration = text(value); break;
        case kClip: s.clip = text(value); break;
        case kYaw: setAngle(s.yaw, value); break;
        case kPitch: setAngle(s.pitch, value); break;
        case kRoll: setAngle(s.roll, value); break;
        case kColorMatch: s.colorMatch = *static_cast<const double*>(value) >= 0.5; break;
        case kLayout: s.layout = text(value); break;
        case kView: s.view = text(value); break;
    }
}

void StitchFilter::getParam(int index, void* value) {
    if (!value || index < 0 || index >= kParamCount) return;
    std::lock_guard<std::mutex> lock(lock_);
    const Settings& s = settings_;
    switch (index) {
        case kYaw: *static_cast<double*>(value) = s.yaw; return;
        case kPitch: *static_cast<double*>(value) = s.pitch; return;
        case kRoll: *static_cast<double*>(value) = s.roll; return;
        case kColorMatch: *static_cast<double*>(value) = s.colorMatch ? 1.0 : 0.0; return;
        case kCalibration: shown_ = s.calibration; break;
        case kClip: shown_ = s.clip; break;
        case kLayout: shown_ = s.layout; break;
        case kView: shown_ = s.view; break;
    }
    *static_cast<const char**>(value) = shown_.c_str();
}

int StitchFilter::setUps() const {
    std::lock_guard<std::mutex> lock(lock_);
    return setUps_;
}

LensRig StitchFilter::resolveCalibration() {
    const Settings& s = settings_;
    if (!s.calibration.empty()) {
        const std::string offset = trimOffset(s.calibration.c_str(), s.calibration.size());
        LensRig given;
        const std::string problem = calibrationProblem(offset, given);
        if (problem.empty()) return given;
        say("the calibration '" + s.calibration + "' cannot be used: " + problem);
    }
    if (!s.clip.empty()) {
        if (!clipRead_ || clipPath_ != s.clip) {
            // Read once per path; the clip is closed again at once.
            clipRead_ = true;
            clipPath_ = s.clip;
            clipOffset_.clear();
            clipProblem_.clear();
            clipLens_ = LensRig();
            struct stat st;
            if (::stat(s.clip.c_str(), &st) != 0) {
                clipProblem_ = std::strerror(errno);
            } else if (!S_ISREG(st.st_mode)) {
                clipProblem_ = "not a regular file";
            } else {
                libdec::ClipOpening opening;
                void* handle = libdec::OpenClip(s.clip.c_str(), opening);
                char* offset = nullptr;
                if (!handle)
                    clipProblem_ = opening.reason.empty() ? "the reader refuses it" : opening.reason;
                else if (PRDGetOffset(handle, offset) != 0 || !offset)
                    clipProblem_ = "its tags cannot be read";
                else
                    clipOffset_ = trimOffset(offset, std::strlen(offset));
                if (handle) PRDClose(handle);
            }
            if (clipProblem_.empty() && clipOffset_ == DEFAULT_OFFSET) clipProblem_ = "it names no lens calibration";
            if (clipProblem_.empty()) {
                const std::string problem = calibrationProblem(clipOffset_, clipLens_);
                if (!problem.empty()) clipProblem_ = "its calibration cannot be used: " + problem;
            }
        }
        if (clipProblem_.empty()) return clipLens_;
        say("no calibration from the clip " + s.clip + ": " + clipProblem_);
    }
    say("no usable calibration given; the built-in default is used");
    LensRig builtIn;
    LensRig::make(DEFAULT_OFFSET, builtIn);
    return builtIn;
}

void StitchFilter::setUp() {
    ++setUps_;
    if (!pool_) pool_.reset(new stitcher::WorkerPool(0));
    std::unique_ptr<Built> b(new Built);
    b->settings = settings_;
    const Settings& s = settings_;
    stitcher::EngineSpec engineParams;
    engineParams.lens = resolveCalibration();
    engineParams.frameWidth = width_;
    engineParams.frameHeight = height_;
    engineParams.layout = stitcher::Layout::Stitch;
    if (s.layout == "stereo")
        engineParams.layout = stitcher::Layout::Stereo;
    else if (s.layout != "stitch" && !s.layout.empty())
        say("layout '" + s.layout + "' is neither stitch nor stereo; stitch is used");
    const bool stereo = engineParams.layout == stitcher::Layout::Stereo;
    engineParams.size = std::min(width_ / 2, stereo ? height_ / 2 : height_);
    double angles[3] = {s.yaw, s.pitch, s.roll};
    if (!s.view.empty() && !parseView(s.view, angles))
        say("view '" + s.view + "' is not yaw,pitch,roll in degrees; the yaw, pitch and roll parameters are used");
    viewRotationMatrix(angles[0], angles[1], angles[2], engineParams.rotation);

    const calibration::Calibration& c = engineParams.lens.values();
    const double frameAspect = static_cast<double>(width_) / std::max(1, height_);
    const double imageAspect = static_cast<double>(c.imageWidth) / std::max(1, c.imageHeight);
    if (std::fabs(frameAspect / imageAspect - 1) > 0.01)
        say("the frames are " + std::to_string(width_) + "x" + std::to_string(height_) + ", the calibration was made for " +
            std::to_string(c.imageWidth) + "x" + std::to_string(c.imageHeight) + " pictures: the lens circles are stretched");

    if (engineParams.size < kMinSize) {
        say("a " + std::to_string(width_) + "x" + std::to_string(height_) + " frame is too small to stitch (a panorama of at least " +
            std::to_string(2 * kMinSize) + "x" + std::to_string(kMinSize) + " pixels must fit); it comes out black");
        built_ = std::move(b);
        return;
    }
    b->x0 = (width_ - engineParams.outWidth()) / 2;
    b->y0 = (height_ - engineParams.outHeight()) / 2;
    const stitcher::Status st = stitcher::CpuEngine::create(engineParams, b->engine);
    if (!st.ok()) {
        say("cannot stitch " + std::to_string(width_) + "x" + std::to_string(height_) + " frames: " + st.message() +
            "; they come out black");
        b->engine.reset();
        built_ = std::move(b);
        return;
    }
    b->frame.assign(static_cast<size_t>(width_) * height_ * 3, 0);
    if (s.colorMatch) {
        b->color.reset(new stitcher::ColorEstimator);
        const stitcher::Status cs = b->color->init(engineParams.lens.model(), width_, height_);
        if (!cs.ok()) {
            say("colour matching is off: " + cs.message());
            b->color.reset();
        }
    }
    built_ = std::move(b);
}

void StitchFilter::update(const uint32_t* in, uint32_t* out) {
    if (!out) return;
    const size_t pixels = static_cast<size_t>(width_) * height_;
    std::lock_guard<std::mutex> lock(lock_);
    if (!built_ || built_->settings != settings_) setUp();
    Built& b = *built_;
    if (!in || !b.engine) {
        fillBlack(out, pixels);
        return;
    }
    // The conversions in row blocks on the instance's threads: on many cores
    // they would otherwise take longer than the stitch.
    stitcher::WorkerPool& pool = *pool_;
    const size_t blocks = static_cast<size_t>(pool.threads()) * 4;
    auto rowsOf = [blocks](int rows, size_t i, int& r0, int& r1) {
        r0 = static_cast<int>(static_cast<size_t>(rows) * i / blocks);
        r1 = static_cast<int>(static_cast<size_t>(rows) * (i + 1) / blocks);
    };
    uint8_t* frame = b.frame.data();
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in);
    const size_t w0 = static_cast<size_t>(width_);
    pool.run(blocks, [&](size_t i) {
        int r0, r1;
        rowsOf(height_, i, r0, r1);
        dropAlpha(src + r0 * w0 * 4, frame + r0 * w0 * 3, (r1 - r0) * w0);
    });
    // Gains from this frame alone: a smoother that starts from it takes it as it is.
    stitcher::ColorGains gains;
    if (b.color) gains = stitcher::GainSmoother().update(b.color->estimate(frame));
    b.engine->setGains(gains.gain);
    const stitcher::EngineSpec& engineParams = b.engine->params();
    const int w = engineParams.outWidth(), h = engineParams.outHeight();
    const size_t stride = engineParams.outStride();
    if (w != width_ || h != height_) fillBlack(out, pixels);
    // Each band of the panorama into the host's pixels while it is still in cache.
    uint8_t* dst = reinterpret_cast<uint8_t*>(out);
    const stitcher::Status st = b.engine->stitchBands(frame, [&](int r0, int r1, const uint8_t* rows) {
        for (int y = r0; y < r1; ++y)
            addAlpha(rows + static_cast<size_t>(y - r0) * stride, dst + (static_cast<size_t>(y + b.y0) * w0 + b.x0) * 4,
                     static_cast<size_t>(w));
    });
    if (!st.ok()) {
        say("a frame could not be stitched; it comes out black");
        fillBlack(out, pixels);
    }
}

}  // namespace dfsfrei0r
