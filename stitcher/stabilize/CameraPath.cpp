#include "CameraPath.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace stitcher {

namespace {

const char* const kColumns = "time,yaw,pitch,roll,fov,ease";

Status refused(int line, const std::string& why) {
    return Status(kExitUsage, "line " + std::to_string(line) + ": " + why);
}

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return std::string();
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

bool number(const std::string& text, double* v) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *v = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*v);
}

using Vec = std::array<double, 3>;

Vec logOf(const Rot& r) {
    Vec w;
    r.toVector(w.data());
    return w;
}

Rot expOf(const Vec& w) { return Rot::fromVector(w.data()); }

// J^-1 v for the left Jacobian J of the rotation vector p: the rate of p
// that turns at angular velocity v where the rotation is exp(p).
Vec inverseJacobian(const Vec& p, const Vec& v) {
    const double a = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    auto cross = [](const Vec& x, const Vec& y) {
        return Vec{x[1] * y[2] - x[2] * y[1], x[2] * y[0] - x[0] * y[2], x[0] * y[1] - x[1] * y[0]};
    };
    // Near a half turn the coefficient grows without bound: held there.
    const double c = a < 1e-4 ? 1.0 / 12.0
                              : 1.0 / (a * a) - (1.0 + std::cos(a)) / (2.0 * a * std::max(std::sin(a), 1e-3));
    const Vec pv = cross(p, v), ppv = cross(p, pv);
    Vec out;
    for (int k = 0; k < 3; ++k) out[k] = v[k] - 0.5 * pv[k] + c * ppv[k];
    return out;
}

}  // namespace

Status CameraPath::parse(const std::string& text, CameraPath& out) {
    out = CameraPath();
    std::istringstream in(text);
    std::string raw;
    int line = 0;
    bool first = true;
    while (std::getline(in, raw)) {
        ++line;
        const std::string s = trimmed(raw);
        if (s.empty() || s[0] == '#') continue;
        std::vector<std::string> cells;
        size_t at = 0;
        for (;;) {
            const size_t comma = s.find(',', at);
            cells.push_back(trimmed(s.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        if (first && !cells.empty() && cells[0] == "time") {
            first = false;
            std::string names;
            for (size_t i = 0; i < cells.size(); ++i) names += (i ? "," : "") + cells[i];
            if (names != kColumns) return refused(line, "the columns are " + std::string(kColumns) + ", not " + names);
            continue;
        }
        first = false;
        if (cells.size() != 6)
            return refused(line, std::to_string(cells.size()) + (cells.size() == 1 ? " column" : " columns") +
                                     " where " + kColumns + " are 6");
        CameraKey k;
        k.line = line;
        double* values[5] = {&k.time, &k.yaw, &k.pitch, &k.roll, &k.fov};
        static const char* const kNames[5] = {"time", "yaw", "pitch", "roll", "fov"};
        for (int i = 0; i < 5; ++i)
            if (!number(cells[static_cast<size_t>(i)], values[i]))
                return refused(line, std::string(kNames[i]) + " '" + cells[static_cast<size_t>(i)] +
                                         "' is not a finite number");
        if (k.time < 0) return refused(line, "time " + cells[0] + " is before the first frame");
        if (!(k.fov > 0 && k.fov < 180))
            return refused(line, "fov " + cells[4] + " is out of range: more than 0 and less than 180 degrees");
        if (cells[5] == "smooth")
            k.smooth = true;
        else if (cells[5] != "linear")
            return refused(line, "ease '" + cells[5] + "' is neither linear nor smooth");
        // Keys closer than a millisecond are taken as one time repeated.
        if (!out.keys_.empty() && !(k.time >= out.keys_.back().time + 1e-3))
            return refused(line, "time " + cells[0] + " does not come after the key of line " +
                                     std::to_string(out.keys_.back().line) + (k.time >= out.keys_.back().time ? " (the same time)" : ""));
        out.keys_.push_back(k);
    }
    if (out.keys_.empty()) return Status(kExitUsage, "no keys (lines of " + std::string(kColumns) + ")");
    out.prepare();
    return Status();
}

Status CameraPath::read(const std::string& path, CameraPath& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return Status(kExitUsage, "cannot read the camera file " + path + ": " + std::strerror(errno));
    std::ostringstream s;
    s << f.rdbuf();
    if (f.bad()) return Status(kExitUsage, "cannot read the camera file " + path);
    const Status st = parse(s.str(), out);
    return st.ok() ? st : Status(st.code(), path + ": " + st.message());
}

void CameraPath::prepare() {
    const size_t n = keys_.size();
    rots_.clear();
    for (const CameraKey& k : keys_) rots_.push_back(Rot::fromAngles(k.yaw, k.pitch, k.roll));
    // Each segment's steady angular velocity and fov rate.
    std::vector<Vec> steady(n > 0 ? n - 1 : 0);
    std::vector<double> steadyFov(steady.size());
    for (size_t i = 0; i + 1 < n; ++i) {
        const double dt = keys_[i + 1].time - keys_[i].time;
        const Vec l = logOf(rots_[i + 1] * rots_[i].transposed());
        for (int c = 0; c < 3; ++c) steady[i][c] = l[c] / dt;
        steadyFov[i] = (keys_[i + 1].fov - keys_[i].fov) / dt;
    }
    spin_.assign(n, Vec{0, 0, 0});
    fovRate_.assign(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        const bool before = i > 0, after = i + 1 < n;
        if (before && !keys_[i - 1].smooth) {  // meets a linear segment: its rate
            spin_[i] = steady[i - 1];
            fovRate_[i] = steadyFov[i - 1];
        } else if (after && !keys_[i].smooth) {
            spin_[i] = steady[i];
            fovRate_[i] = steadyFov[i];
        } else if (before && after) {  // between two smooth segments: the rates of both, weighed by nearness
            const double a = keys_[i].time - keys_[i - 1].time, b = keys_[i + 1].time - keys_[i].time;
            for (int c = 0; c < 3; ++c) spin_[i][c] = (b * steady[i - 1][c] + a * steady[i][c]) / (a + b);
            fovRate_[i] = (b * steadyFov[i - 1] + a * steadyFov[i]) / (a + b);
        }  // the first and last key of smooth segments: at rest, as the holds beyond them
    }
}

double CameraPath::widestFov() const {
    double w = 0;
    for (const CameraKey& k : keys_) w = std::max(w, k.fov);
    return w;
}

CameraPose CameraPath::at(double seconds) const {
    CameraPose pose;
    if (keys_.empty()) return pose;
    if (!(seconds > keys_.front().time)) {
        pose.view = rots_.front();
        pose.fov = keys_.front().fov;
        return pose;
    }
    if (seconds >= keys_.back().time) {
        pose.view = rots_.back();
        pose.fov = keys_.back().fov;
        return pose;
    }
    const auto later = std::upper_bound(keys_.begin(), keys_.end(), seconds,
                                        [](double t, const CameraKey& k) { return t < k.time; });
    const size_t i = static_cast<size_t>(later - keys_.begin()) - 1;
    const CameraKey &a = keys_[i], &b = keys_[i + 1];
    const double dt = b.time - a.time, u = (seconds - a.time) / dt;
    const Vec l = logOf(rots_[i + 1] * rots_[i].transposed());
    Vec h;
    if (!a.smooth) {
        for (int c = 0; c < 3; ++c) h[c] = u * l[c];
        pose.fov = a.fov + u * (b.fov - a.fov);
    } else {
        // Cubic Hermite of the rotation vector from key a: 0 to l, its
        // rate at each end the one that turns at that key's angular velocity.
        const double u2 = u * u, u3 = u2 * u;
        const double h10 = u3 - 2 * u2 + u, h01 = -2 * u3 + 3 * u2, h11 = u3 - u2;
        Vec end = spin_[i + 1];
        for (double& c : end) c *= dt;
        const Vec endRate = inverseJacobian(l, end);
        for (int c = 0; c < 3; ++c) h[c] = h10 * spin_[i][c] * dt + h01 * l[c] + h11 * endRate[c];
        pose.fov = (2 * u3 - 3 * u2 + 1) * a.fov + h10 * fovRate_[i] * dt + h01 * b.fov + h11 * fovRate_[i + 1] * dt;
        pose.fov = std::clamp(pose.fov, 1.0, 179.0);
    }
    pose.view = expOf(h) * rots_[i];
    return pose;
}

}  // namespace stitcher
