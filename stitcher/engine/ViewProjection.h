// Where each pixel of an output picture looks: the picture's projection (a
// 2:1 panorama, a flat pinhole view, a little planet) gives the direction of
// a pixel in the view's own frame, the frame of an equirectangular output
// with the same view rotation. Its middle looks along (-1, 0, 0), its up is
// +z and its right (0, -1, 0).
#pragma once

namespace stitcher {

enum class Projection { Equirect, Flat, Planet };

struct ViewShape {
    Projection projection = Projection::Equirect;
    int width = 0, height = 0;  // output pixels
    double fov = 100.0;         // degrees: flat, the horizontal field; planet, see viewDirection()
};

// The unit direction through output position (x, y), in pixels from the
// picture's top-left corner (a pixel's centre at +0.5). Flat: a pinhole
// whose picture spans `fov` degrees across. Planet: the sphere seen
// stereographically from the nadir, the view's forward direction at the
// top of the picture, the middle of its sides 90 + fov / 2 degrees from the
// nadir (50 degrees above the horizon at the default 100).
void viewDirection(const ViewShape& shape, double x, double y, double d[3]);

// viewDirection() for many positions of one shape: its focal length worked
// out once.
class ViewRays {
public:
    ViewRays() = default;
    explicit ViewRays(const ViewShape& shape);
    void direction(double x, double y, double d[3]) const;

private:
    ViewShape shape_;
    double focal_ = 1.0;
};

// Output position of direction d (as viewDirection() makes them), where the
// projection shows it; false where it does not (behind a flat view).
bool viewPosition(const ViewShape& shape, const double d[3], double* x, double* y);

// The projection's name as the options take it, and back.
const char* projectionName(Projection p);
bool parseProjection(const char* text, Projection* p);

}  // namespace stitcher
