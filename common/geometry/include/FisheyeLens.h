// Calibration record and optical model of one fisheye lens image.
#pragma once

#include <cstdint>

class FisheyeLens {
public:
    // Any value 0-255 may arrive from an offset string; unnamed ones behave
    // like Lens236, hence the fixed 32-bit underlying type.
    enum LensType : int32_t {
        Lens210 = 2,
        Lens236 = 4,
        Lens220 = 5
    };

    FisheyeLens(LensType type);
    ~FisheyeLens();

    // Distance from the image-circle centre for a ray `angle` degrees off the
    // optical axis, in the polynomial's own unit (only ratios are meaningful).
    double map(double angle) const;
    // Full field of view, degrees.
    float fieldOfView() const;
    // Width of the cross-fade band with the neighbouring lens, degrees.
    float blendAngle() const;

    float centerX;        // source pixels from the left edge of the whole frame
    float centerY;        // source pixels from the first row
    float radius;         // image-circle radius, pixels (= half the field of view)
    float yaw;            // degrees
    float pitch;          // degrees
    float roll;           // degrees
    int32_t imageWidth;   // whole dual-fisheye source image
    int32_t imageHeight;
    LensType type;
};
