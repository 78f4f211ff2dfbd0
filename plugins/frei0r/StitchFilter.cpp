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
#include "SeamTracker.h"
#include "ViewRotation.h"
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
    {"projection", ParamType::String,
     "equirect (the 360 panorama, default), flat (a pinhole view that fills the frame, looking where the panorama's "
     "middle looks under yaw, pitch and roll) or planet (a little planet: the sphere seen from the nadir, the view's "
     "forward at the top); flat and planet take the stitch layout"},
    {"fov", ParamType::Double,
     "field of view, 0..1 times 180 degrees, held within 1 to 179 (default 0.5556: 100 degrees): flat, the view's "
     "horizontal field; planet, its zoom, the frame's sides reaching 90 + fov/2 degrees from the nadir; may change "
     "every frame"},
    {"seam", ParamType::String,
     "far (default): the seams lined up for the far field, as the calibration has them; auto: near things lined up "
     "across the seams, their disparity measured on each frame alone (no smoothing over time, as frames may come in "
     "any order); or a distance from 0.1m to 1000m (1.5m): everything at that distance lined up, on every frame. "
     "Equirect stitch layout only"},
    {"baseline", ParamType::Double,
     "distance between the two lenses' optical centres for the seams, 0..1 times 200 millimetres, held within 1 to "
     "200 (default 0.15: 30 mm)"},
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

// A 0..1 value mapped as `map` maps it; what is not a number leaves it.
void setMapped(double& target, const void* value, double (*map)(double)) {
    const double v = *static_cast<const double*>(value);
    if (std::isfinite(v)) target = map(v);
}

// The engine of a flat or planet view is made for the widest field of view
// the parameter allows: its frame levels then cover every field of view the
// frames may ask for, and a frame's picture does not depend on those before.
constexpr double kMadeFov = kFovMax;

std::string text(const void* value) {
    const char* s = *static_cast<char* const*>(value);
    return s ? std::string(s) : std::string();
}

// Whether the seam text asks for the seams to be lined up (anything but far).
bool seamsAsked(const std::string& text) {
    SeamMode mode;
    return parseSeam(text, mode) && (mode.measured || mode.distanceM > 0);
}

// Black, opaque, whatever the channel order.
void fillBlack(uint32_t* out, size_t pixels) {
    uint8_t* b = reinterpret_cast<uint8_t*>(out);
    for (size_t i = 0; i < pixels; ++i) {
        b[4 * i] = b[4 * i + 1] = b[4 * i + 2] = 0;
        b[4 * i + 3] = 255;
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

bool Settings::sameMaking(const Settings& o) const {
    return calibration == o.calibration && clip == o.clip && colorMatch == o.colorMatch && layout == o.layout &&
           projection == o.projection && seam == o.seam && baselineMm == o.baselineMm;
}

bool Settings::sameAngles(const Settings& o) const {
    return yaw == o.yaw && pitch == o.pitch && roll == o.roll && view == o.view;
}

double fovDegrees(double value) { return std::min(kFovMax, std::max(kFovMin, 180.0 * value)); }
double baselineMm(double value) { return std::min(kBaselineMax, std::max(kBaselineMin, 200.0 * value)); }

bool parseSeam(const std::string& text, SeamMode& mode) {
    if (text.find('\0') != std::string::npos) return false;
    const size_t a = text.find_first_not_of(" \t"), b = text.find_last_not_of(" \t");
    const std::string t = a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
    if (t.empty() || t == "far" || t == "auto") {
        mode = SeamMode();
        mode.measured = t == "auto";
        return true;
    }
    if (t.size() < 2 || t.back() != 'm') return false;
    std::istringstream in(t.substr(0, t.size() - 1));
    in.imbue(std::locale::classic());
    double metres = 0;
    if (!(in >> metres) || !in.eof() || !(metres >= 0.1 && metres <= 1000.0)) return false;
    mode = SeamMode();
    mode.distanceM = metres;
    return true;
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
    std::unique_ptr<stitcher::SeamTracker> seams;  // measures each frame's seams; null: they stay as set up
    std::vector<uint32_t> copy;  // the frame in, where the host gives the same memory for both
    int x0 = 0, y0 = 0;  // where the picture sits in the output frame
    // The engine takes the view per frame; then the view it has now.
    bool moving = false;
    float rotation[4][4] = {};
    double fov = 0;
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
        case kProjection: s.projection = text(value); break;
        case kFov: setMapped(s.fov, value, fovDegrees); break;
        case kSeam: s.seam = text(value); break;
        case kBaseline: setMapped(s.baselineMm, value, baselineMm); break;
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
        case kFov: *static_cast<double*>(value) = s.fov / 180.0; return;
        case kBaseline: *static_cast<double*>(value) = s.baselineMm / 200.0; return;
        case kCalibration: shown_ = s.calibration; break;
        case kClip: shown_ = s.clip; break;
        case kLayout: shown_ = s.layout; break;
        case kView: shown_ = s.view; break;
        case kProjection: shown_ = s.projection; break;
        case kSeam: shown_ = s.seam; break;
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

void StitchFilter::viewRotation(float m[4][4]) {
    const Settings& s = settings_;
    double angles[3] = {s.yaw, s.pitch, s.roll};
    if (!s.view.empty() && !parseView(s.view, angles) && s.view != viewSaid_) {
        viewSaid_ = s.view;
        say("view '" + s.view + "' is not yaw,pitch,roll in degrees; the yaw, pitch and roll parameters are used");
    }
    viewRotationMatrix(angles[0], angles[1], angles[2], m);
}

void StitchFilter::setUp(bool moving) {
    ++setUps_;
    std::unique_ptr<Built> b(new Built);
    b->settings = settings_;
    const Settings& s = settings_;
    stitcher::EngineSpec engineParams;
    engineParams.lens = resolveCalibration();
    engineParams.frameWidth = width_;
    engineParams.frameHeight = height_;
    // The host's pixels as they are, in and out: the engine, the colour
    // estimate and the seams' measure read the three colour bytes of each.
    engineParams.texelBytes = 4;
    engineParams.layout = stitcher::Layout::Stitch;
    if (s.layout == "stereo")
        engineParams.layout = stitcher::Layout::Stereo;
    else if (s.layout != "stitch" && !s.layout.empty())
        say("layout '" + s.layout + "' is neither stitch nor stereo; stitch is used");
    stitcher::Projection projection = stitcher::Projection::Equirect;
    if (!s.projection.empty() && !stitcher::parseProjection(s.projection.c_str(), &projection))
        say("projection '" + s.projection + "' is not equirect, flat or planet; equirect is used");
    if (projection != stitcher::Projection::Equirect && engineParams.layout == stitcher::Layout::Stereo) {
        say(std::string("a ") + stitcher::projectionName(projection) +
            " view is looked through the stitched panorama: layout stereo is not used");
        engineParams.layout = stitcher::Layout::Stitch;
    }
    const bool stereo = engineParams.layout == stitcher::Layout::Stereo;
    const bool reprojected = projection != stitcher::Projection::Equirect;
    // A flat or planet view is sampled straight from the lenses along each
    // pixel's direction, for whatever view the frame asks. The panorama is
    // stitched with its view fixed (each pixel read once from the lenses)
    // until the view changes; from then on (an editor's keyframes) with the
    // identity view, looked up bilinearly along each pixel's turned direction,
    // as the stitcher turns a panorama per frame; so from the start where
    // its seams are lined up under a turned view (the seams are warped in
    // the identity view, which a fixed turn other than none leaves out). The
    // stereo layout has its view fixed: a new view sets it up again.
    viewRotation(engineParams.rotation);
    static const float kIdentity[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    const bool turned = std::memcmp(engineParams.rotation, kIdentity, sizeof kIdentity) != 0;
    b->moving = !stereo && (moving || reprojected || (turned && seamsAsked(s.seam)));
    engineParams.perFrameRotation = b->moving;
    std::memcpy(b->rotation, engineParams.rotation, sizeof b->rotation);
    b->fov = s.fov;
    const calibration::Calibration& c = engineParams.lens.values();
    if (reprojected) {
        // The whole frame is the view; the panorama's geometry (where the
        // lenses are read) as sharp as the lenses allow at this frame width.
        engineParams.view.projection = projection;
        engineParams.view.width = width_;
        engineParams.view.height = height_;
        engineParams.view.fov = kMadeFov;
        engineParams.size = stitcher::defaultSize(c, width_);
    } else {
        engineParams.size = std::min(width_ / 2, stereo ? height_ / 2 : height_);
    }

    const double frameAspect = static_cast<double>(width_) / std::max(1, height_);
    const double imageAspect = static_cast<double>(c.imageWidth) / std::max(1, c.imageHeight);
    if (std::fabs(frameAspect / imageAspect - 1) > 0.01)
        say("the frames are " + std::to_string(width_) + "x" + std::to_string(height_) + ", the calibration was made for " +
            std::to_string(c.imageWidth) + "x" + std::to_string(c.imageHeight) + " pictures: the lens circles are stretched");

    if (reprojected ? std::min(width_, height_) < kMinSize : engineParams.size < kMinSize) {
        say("a " + std::to_string(width_) + "x" + std::to_string(height_) + " frame is too small to stitch (" +
            (reprojected ? "a view of at least " + std::to_string(kMinSize) + "x" + std::to_string(kMinSize)
                         : "a panorama of at least " + std::to_string(2 * kMinSize) + "x" + std::to_string(kMinSize)) +
            " pixels must fit); it comes out black");
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
    if (reprojected) b->engine->setFov(b->fov);
    b->engine->setRotation(b->rotation);
    if (s.colorMatch) {
        b->color.reset(new stitcher::ColorEstimator);
        const stitcher::Status cs = b->color->init(engineParams.lens.model(), width_, height_);
        if (!cs.ok()) {
            say("colour matching is off: " + cs.message());
            b->color.reset();
        }
    }

    SeamMode seam;
    if (!parseSeam(s.seam, seam))
        say("seam '" + s.seam + "' is not far, auto or a distance from 0.1m to 1000m; far is used");
    if (seam.measured || seam.distanceM > 0) {
        if (stereo) {
            say(std::string("seam '") + s.seam + "': the stereo layout has no seams; far is used");
        } else {
            stitcher::SeamSettings ss;
            ss.baselineMm = s.baselineMm;
            ss.distanceM = seam.distanceM;
            ss.overTime = false;  // frames come in any order: each is measured alone
            ss.threads = 0;
            ss.texelBytes = 4;
            std::unique_ptr<stitcher::SeamTracker> tracker(new stitcher::SeamTracker(
                engineParams.lens.model(), engineParams.size, width_, height_, ss));
            if (!b->engine->setSeamShift(tracker->shift())) {
                say("seam '" + s.seam + "': the seams of " + std::to_string(width_) + "x" + std::to_string(height_) +
                    " frames cannot be lined up; far is used");
            } else {
                if (b->color) b->color->setSeamShift(tracker->shift());
                if (seam.measured) b->seams = std::move(tracker);
            }
        }
    }
    built_ = std::move(b);
}

void StitchFilter::update(const uint32_t* in, uint32_t* out) {
    if (!out) return;
    const size_t pixels = static_cast<size_t>(width_) * height_;
    std::lock_guard<std::mutex> lock(lock_);
    if (!built_ || !built_->settings.sameMaking(settings_))
        setUp(built_ && built_->moving);
    else if (!built_->moving && !built_->settings.sameAngles(settings_))
        setUp(true);  // the view turns: the stitch layout takes it per frame from now on
    Built& b = *built_;
    if (!in || !b.engine) {
        fillBlack(out, pixels);
        return;
    }
    if (b.moving) {
        // This frame's view, where it differs from the one the engine has.
        float m[4][4];
        viewRotation(m);
        const bool newFov = b.engine->params().reprojected() && settings_.fov != b.fov;
        if (newFov || std::memcmp(m, b.rotation, sizeof m) != 0) {
            if (newFov) b.engine->setFov(settings_.fov);
            b.engine->setRotation(m);
            std::memcpy(b.rotation, m, sizeof m);
            b.fov = settings_.fov;
        }
    }
    // A host that gives the same memory in and out (frei0r allows it) has its
    // frame copied first: the picture is written over it.
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(in);
    if (in < out + pixels && out < in + pixels) {
        b.copy.assign(in, in + pixels);
        frame = reinterpret_cast<const uint8_t*>(b.copy.data());
    }
    // The seams' disparity from this frame alone, before the gains: colour
    // matching leaves out the rows where it is large.
    if (b.seams) {
        const stitcher::SeamShift& shift = b.seams->measure(frame);
        b.engine->setSeamShift(shift);
        if (b.color) b.color->setSeamShift(shift);
    }
    // Gains from this frame alone: a smoother that starts from it takes it as it is.
    stitcher::ColorGains gains;
    if (b.color) gains = stitcher::GainSmoother().update(b.color->estimate(frame, 4));
    b.engine->setGains(gains.gain);
    const stitcher::EngineSpec& engineParams = b.engine->params();
    const int w = engineParams.outWidth(), h = engineParams.outHeight();
    const size_t rowBytes = static_cast<size_t>(width_) * 4;
    uint8_t* dst = reinterpret_cast<uint8_t*>(out);
    stitcher::Status st;
    if (w == width_) {
        // The picture's rows are whole rows of the host's frame: stitched
        // straight into them, the rows above and below black.
        fillBlack(out, static_cast<size_t>(b.y0) * width_);
        const size_t below = static_cast<size_t>(b.y0 + h) * width_;
        fillBlack(out + below, pixels - below);
        st = b.engine->stitchFrom(frame, dst + static_cast<size_t>(b.y0) * rowBytes);
    } else {
        // Narrower than the frame: each band's rows into their place while
        // they are still in cache.
        fillBlack(out, pixels);
        const size_t stride = engineParams.outStride();
        st = b.engine->stitchBands(frame, [&](int r0, int r1, const uint8_t* rows) {
            for (int y = r0; y < r1; ++y)
                std::memcpy(dst + static_cast<size_t>(y + b.y0) * rowBytes + static_cast<size_t>(b.x0) * 4,
                            rows + static_cast<size_t>(y - r0) * stride, static_cast<size_t>(w) * 4);
        });
    }
    if (!st.ok()) {
        say("a frame could not be stitched; it comes out black");
        fillBlack(out, pixels);
    }
}

}  // namespace dfsfrei0r
