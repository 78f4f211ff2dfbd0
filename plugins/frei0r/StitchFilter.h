// The dual-fisheye stitch as a frei0r filter instance.
//
// A frame of W x H packed 32-bit pixels (four bytes each, the fourth alpha)
// becomes a picture of the same size: the equirectangular panorama, 2N x N
// (stitch) or 2N x 2N (one panorama per lens, stacked), N as large as fits,
// centred, the rest black; or a flat (pinhole) or little-planet view that
// fills the whole frame. The channel order does not matter (geometry,
// colour matching and the seams' measure treat the three colour bytes
// alike), so hosts giving RGBA or BGRA get the same order back. Alpha comes
// out opaque.
//
// Parameters only store values; the CPU engine (its sample table), the
// colour estimator, the seams' tracker and the calibration are worked out
// on the first frame after a change of what shapes them, not per frame.
// The view (yaw, pitch, roll, the view text, the field of view) may change
// on every frame, as an editor's keyframes change it: in the stitch layout
// the engine takes it per frame, after one set-up at its first change at
// most. Colour gains and the
// seams' disparity come from each frame alone, so frames may come in any
// order and give the same picture. One instance takes calls from any number
// of threads: they stitch one at a time (the engine itself runs on a pool
// of its own threads). Instances share nothing mutable.
//
// What goes wrong (an unusable calibration, a frame too small to stitch)
// is said once on standard error, prefixed "dualfisheye360: ", and the
// picture is still defined: the built-in calibration, or black.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LensRig.h"

namespace dfsfrei0r {

// The parameters in the order the hosts number them.
// `view` is the three angles as one text, for hosts that take numbers in
// 0..1 only (GStreamer); where it is set it replaces yaw, pitch and roll.
// `fov` and `baseline` are numbers in 0..1, as frei0r has them: the field of
// view is fov * 180 degrees, the baseline baseline * 200 millimetres.
enum Param {
    kCalibration = 0,
    kClip,
    kYaw,
    kPitch,
    kRoll,
    kColorMatch,
    kLayout,
    kView,
    kProjection,
    kFov,
    kSeam,
    kBaseline,
    kParamCount
};

enum class ParamType { Double, Bool, String };

struct ParamInfo {
    const char* name;
    ParamType type;
    const char* explanation;
};

const ParamInfo& paramInfo(int index);

// What a set of parameters asks for; compared to see whether set-up is due.
struct Settings {
    std::string calibration;  // offset text; empty: the clip's, else the built-in one
    std::string clip;         // clip whose calibration to take; empty: none
    double yaw = 0, pitch = 0, roll = 0;  // degrees
    bool colorMatch = true;
    std::string layout = "stitch";  // "stitch" or "stereo"
    std::string view;               // "yaw[,pitch[,roll]]" in degrees; empty: the three above
    std::string projection = "equirect";  // "equirect", "flat" or "planet"
    double fov = 100;               // degrees, kFovMin to kFovMax
    std::string seam = "far";       // "far", "auto" or a distance, "1.5m"
    double baselineMm = 30;         // kBaselineMin to kBaselineMax
    // Equal in what the engine is made for; the view (angles, view text,
    // field of view) aside.
    bool sameMaking(const Settings& o) const;
    // Equal in the view's angles (yaw, pitch, roll, the view text); the
    // field of view is a flat or planet view's, which takes it per frame.
    bool sameAngles(const Settings& o) const;
};

// The field of view and the baseline as the parameters' 0..1 give them:
// degrees = 180 * value and millimetres = 200 * value, held within their
// ranges; the inverse for getParam.
constexpr double kFovMin = 1, kFovMax = 179, kBaselineMin = 1, kBaselineMax = 200;
double fovDegrees(double value);
double baselineMm(double value);

// The seams as the seam text asks: far (or empty), auto (measured per
// frame), or a fixed distance in metres from 0.1 to 1000 ("1.5m"). False,
// leaving `mode`, when the text is none of these.
struct SeamMode {
    bool measured = false;
    double distanceM = 0;  // > 0: lined up at this distance
};
bool parseSeam(const std::string& text, SeamMode& mode);

// The angles of a `view` text: one to three numbers, in degrees, apart by
// commas or blanks; the ones left out are 0. False, leaving them, when the
// text is not of that form.
bool parseView(const std::string& text, double angles[3]);

// Calls the filter's messages go to; standard error unless a test sets one.
using Say = void (*)(const std::string& line);
void setSay(Say say);
void say(const std::string& line);

class StitchFilter {
public:
    StitchFilter(unsigned width, unsigned height);
    ~StitchFilter();
    StitchFilter(const StitchFilter&) = delete;
    StitchFilter& operator=(const StitchFilter&) = delete;

    // `value` as frei0r passes it: double*, f0r_param_bool* (a double,
    // >= 0.5 is true) or f0r_param_string* (char**). Bad indexes and null
    // pointers are ignored.
    void setParam(int index, const void* value);
    // Into `value`, typed as above; a string stays valid until the next
    // setParam or getParam of this instance.
    void getParam(int index, void* value);

    // One frame: width * height pixels in, as many out.
    void update(const uint32_t* in, uint32_t* out);

    // For tests: how many times the engine was set up.
    int setUps() const;

private:
    struct Built;
    // With lock_ held; `moving`: the stitch layout's view changes from frame to frame.
    void setUp(bool moving);
    LensRig resolveCalibration();  // with lock_ held
    // The view of settings_: its rotation (as the engine takes it); says,
    // once per text, a view text it cannot use. With lock_ held.
    void viewRotation(float m[4][4]);

    const int width_, height_;
    mutable std::mutex lock_;
    Settings settings_;
    std::unique_ptr<Built> built_;
    std::string shown_;  // getParam's string
    std::string viewSaid_;  // the last view text said to be unusable
    // The last clip read: path and what it gave (calibration or reason).
    std::string clipPath_, clipOffset_, clipProblem_;
    LensRig clipLens_;  // its calibration, where usable
    bool clipRead_ = false;
    int setUps_ = 0;
};

}  // namespace dfsfrei0r
