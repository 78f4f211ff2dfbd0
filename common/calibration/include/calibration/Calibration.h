// The lens calibration of a two-lens camera: its text form (the offset
// string), the two rules by which the libraries take that text, the lens
// table, and the check that a calibration can be stitched at all.
//
// One unit for every user: the `calibration` library, linked into libdec,
// into libspherecast (through the geometry) and into the host and the tools.
// It exports nothing from either shared library.
//
// Text form: "_"-separated decimal fields: lens count N, six values per lens
// (radius, centre x, centre y, yaw, pitch, roll), image width, image height,
// lens code. Radius and centres are pixels of the whole dual-fisheye image,
// angles degrees; the low byte of the lens code is the lens type.
//
// The two rules differ, and each library keeps its own:
//
//   libdec's acceptance (acceptsTrimmedText), applied to every calibration
//   found in a clip, on the text from its first to its last decimal digit:
//     - every field matches -?[0-9]+\.?[0-9]* as a whole: no "+", no
//       exponent, no leading point, no blank, no empty field;
//     - field 0 is read the way stoi reads it ("2.9" counts 2 lenses) and
//       must be at least 1 and fit 32 bits;
//     - at least 6N + 2 fields; more are accepted.
//
//   the renderer's reading (readForRenderer), applied by libspherecast's
//   calibration model to the text exactly as given:
//     - an integer lens count, which must be 2;
//     - then numbers, each after one "_", read as a float stream reads them:
//       a sign, blanks before a number and exponents are taken ("7.1e2");
//     - at least 14 numbers (up to the image height); a 15th is the lens
//       code (260 when absent); anything after the 15th is ignored;
//     - image size and lens code are truncated toward zero and must fit an int.
//
// So libdec accepts texts that the renderer refuses (N other than 2, only
// 14 fields, letters or blanks around the digits) and the renderer reads
// texts that libdec refuses (exponents, a "+", blanks after a "_"). The
// stitcher checks what it hands to the renderer with checkUsable, which
// follows the renderer's reading and adds the limits of a picture that can be
// stitched at all.
#pragma once

#include <string>
#include <vector>

// The built-in calibration, used wherever a clip's own is missing or
// invalid. Functions that return it hand out this constant itself: never
// free or change it.
extern const char DEFAULT_OFFSET[];

namespace calibration {

// The calibration unit's answer: ok, or refused with a reason a user can read.
class Verdict {
public:
    static Verdict ok() { return Verdict(true, std::string()); }
    static Verdict refused(std::string reason) { return Verdict(false, std::move(reason)); }

    bool isOk() const { return ok_; }
    explicit operator bool() const { return ok_; }
    // Empty when ok.
    const std::string& reason() const { return reason_; }

private:
    Verdict(bool ok, std::string reason) : ok_(ok), reason_(std::move(reason)) {}
    bool ok_;
    std::string reason_;
};

// ---- lens table ----

// Optical model of one lens type: how far from the image-circle centre a ray
// lands for its angle off the optical axis, the field of view, and the width
// of the band over which the lens image fades in over its neighbour.
struct LensModel {
    int type;           // 2 (210 degrees), 4 (236) or 5 (220)
    float fieldOfView;  // degrees, full
    float blendAngle;   // degrees of longitude
    // map(t) = c4 t^4 + c3 t^3 + c2 t^2 + c1 t + c0, t in degrees, in the
    // polynomial's own unit: only ratios of two values mean anything.
    double c0, c1, c2, c3, c4;

    double map(double degrees) const;
};

// The model of a lens type (the low byte of a lens code). Types other than 2
// and 5 all behave as type 4.
const LensModel& lensModel(int type);

// ---- calibration fields ----

struct Lens {
    float radius = 0.0f;   // of the image circle, pixels; it spans half the field of view
    float centerX = 0.0f;  // pixels from the left edge of the whole image
    float centerY = 0.0f;  // pixels from the first row
    float yaw = 0.0f;      // degrees
    float pitch = 0.0f;
    float roll = 0.0f;
};

// Lens code of a text without one.
const int kLensCodeWithoutField = 260;

struct Calibration {
    Lens lens[2];
    int imageWidth = 0;   // of the whole dual-fisheye image
    int imageHeight = 0;
    int lensCode = kLensCodeWithoutField;

    int lensType() const { return lensCode & 255; }
    const LensModel& model() const { return lensModel(lensType()); }
    // Image pixels per degree of view at the centre of lens b's circle, where
    // the lens resolves most.
    double pixelsPerDegreeAtAxis(int b) const;
};

// ---- the renderer's reading ----

struct Reading {
    int lensCount = 0;        // as read from the start of the text; 0 when none
    Verdict verdict;          // why the renderer cannot read the text
    Calibration calibration;  // meaningful when the verdict is ok
    Reading() : verdict(Verdict::ok()) {}
};

// What the renderer makes of `text` (null reads as empty).
Reading readForRenderer(const char* text);

// ---- stitchability ----

// The limits of a calibration that gives a picture: image size within
// 16 .. 65535 pixels a side; each lens's circle centred inside the image,
// with a radius between an eighth of the image's shorter side and its
// longer side; angles within +-360 degrees; every value finite.
Verdict checkFields(const Calibration& c);

// readForRenderer, then checkFields: ok exactly when the renderer can read
// the text and its picture shows the lens images. `verdict` says why not.
Reading checkUsable(const char* text);

// ---- libdec's acceptance ----

// The part of the first `len` characters of `text` from the first decimal
// digit through the last one; empty when there is none.
std::string trimToDigits(const char* text, size_t len);
// Appends the fields of `text` between any of `delimiters`; empty fields
// count, and the last field is appended also when empty.
void splitFields(const std::string& text, const std::string& delimiters,
                 std::vector<std::string>& fields);
// libdec's acceptance rule on a text already trimmed with trimToDigits.
bool acceptsTrimmedText(const std::string& trimmed);

}  // namespace calibration
