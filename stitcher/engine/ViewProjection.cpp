#include "ViewProjection.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "Angles.h"

namespace stitcher {

namespace {


double flatFocal(const ViewShape& s) { return s.width / 2.0 / std::tan(s.fov * kPi / 360.0); }

// Stereographic: a point at polar angle t from the nadir lies at
// 2 tan(t / 2) focal lengths from the middle.
double planetFocal(const ViewShape& s) { return s.width / 2.0 / (2.0 * std::tan((90.0 + s.fov / 2.0) * kPi / 360.0)); }

}  // namespace

void viewDirection(const ViewShape& s, double x, double y, double d[3]) { ViewRays(s).direction(x, y, d); }

ViewRays::ViewRays(const ViewShape& shape)
    : shape_(shape),
      focal_(shape.projection == Projection::Flat     ? flatFocal(shape)
             : shape.projection == Projection::Planet ? planetFocal(shape)
                                                      : 1.0) {}

void ViewRays::direction(double x, double y, double d[3]) const {
    const ViewShape& s = shape_;
    switch (s.projection) {
        case Projection::Equirect: {
            const double theta = 2.0 * kPi * x / s.width, phi = kPi * y / s.height;
            d[0] = std::sin(phi) * std::cos(theta);
            d[1] = std::sin(phi) * std::sin(theta);
            d[2] = std::cos(phi);
            return;
        }
        case Projection::Flat: {
            const double f = focal_;
            const double a = (x - s.width / 2.0) / f, b = (y - s.height / 2.0) / f;
            const double n = 1.0 / std::sqrt(1.0 + a * a + b * b);
            d[0] = -n;
            d[1] = -a * n;
            d[2] = -b * n;
            return;
        }
        case Projection::Planet: {
            const double f = focal_;
            const double a = (x - s.width / 2.0) / f, b = (y - s.height / 2.0) / f;
            const double rho = std::sqrt(a * a + b * b);
            const double t = 2.0 * std::atan(rho / 2.0);  // from the nadir
            const double k = rho > 0.0 ? std::sin(t) / rho : 0.5;
            // Picture right is the view's right (0, -1, 0), picture up its forward (-1, 0, 0).
            d[0] = k * b;
            d[1] = -k * a;
            d[2] = -std::cos(t);
            return;
        }
    }
}

bool viewPosition(const ViewShape& s, const double d[3], double* x, double* y) {
    switch (s.projection) {
        case Projection::Equirect: {
            double theta = std::atan2(d[1], d[0]);
            if (theta < 0.0) theta += 2.0 * kPi;
            *x = theta / (2.0 * kPi) * s.width;
            *y = std::acos(std::fmax(-1.0, std::fmin(1.0, d[2]))) / kPi * s.height;
            return true;
        }
        case Projection::Flat: {
            if (!(d[0] < 0.0)) return false;
            const double f = flatFocal(s);
            *x = s.width / 2.0 + f * d[1] / d[0];
            *y = s.height / 2.0 + f * d[2] / d[0];
            return true;
        }
        case Projection::Planet: {
            const double t = std::acos(std::fmax(-1.0, std::fmin(1.0, -d[2])));
            const double side = std::hypot(d[0], d[1]);
            if (!(t < kPi * 0.999)) return false;
            const double rho = 2.0 * std::tan(t / 2.0), f = planetFocal(s);
            const double a = side > 0.0 ? -d[1] / side * rho : 0.0, b = side > 0.0 ? d[0] / side * rho : 0.0;
            *x = s.width / 2.0 + f * a;
            *y = s.height / 2.0 + f * b;
            return true;
        }
    }
    return false;
}

const char* projectionName(Projection p) {
    switch (p) {
        case Projection::Flat: return "flat";
        case Projection::Planet: return "planet";
        default: return "equirect";
    }
}

bool parseProjection(const char* text, Projection* p) {
    for (Projection q : {Projection::Equirect, Projection::Flat, Projection::Planet})
        if (std::strcmp(text, projectionName(q)) == 0) {
            *p = q;
            return true;
        }
    return false;
}

}  // namespace stitcher
