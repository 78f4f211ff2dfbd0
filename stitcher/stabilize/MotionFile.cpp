#include "MotionFile.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace stitcher {

namespace {

const char* const kHeader =
    "frame,measured_yaw,measured_pitch,measured_roll,smoothed_yaw,smoothed_pitch,smoothed_roll,"
    "correction_yaw,correction_pitch,correction_roll";
constexpr double kScale = 1e6;  // six decimals

Status bad(size_t line, const std::string& what) {
    return Status(kExitUsage, "motion file, line " + std::to_string(line) + ": " + what);
}

}  // namespace

double asWritten(double degrees) { return std::round(degrees * kScale) / kScale; }

std::string formatMotion(const std::vector<MotionRow>& rows) {
    std::string s = std::string(kHeader) + "\n";
    char buf[64];
    for (const MotionRow& r : rows) {
        s += std::to_string(r.frame);
        for (const double* v : {r.measured, r.smoothed, r.correction})
            for (int k = 0; k < 3; ++k) {
                std::snprintf(buf, sizeof buf, ",%.6f", asWritten(v[k]) + 0.0);
                s += buf;
            }
        s += "\n";
    }
    return s;
}

Status parseMotion(const std::string& text, std::vector<MotionRow>& rows) {
    rows.clear();
    std::istringstream in(text);
    std::string line;
    size_t number = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!header) {
            if (line != kHeader) return bad(number, "expected the header line \"" + std::string(kHeader) + "\"");
            header = true;
            continue;
        }
        MotionRow r;
        const char* p = line.c_str();
        char* end = nullptr;
        errno = 0;
        const long long frame = std::strtoll(p, &end, 10);
        if (end == p || errno != 0 || frame < 1 || *end != ',') return bad(number, "expected a frame number from 1");
        r.frame = frame;
        p = end;
        for (double* v : {r.measured, r.smoothed, r.correction})
            for (int k = 0; k < 3; ++k) {
                if (*p != ',') return bad(number, "expected ten comma-separated fields");
                ++p;
                if (*p == ' ' || *p == '\t' || *p == '\0' || *p == ',') return bad(number, "a field is empty");
                const double x = std::strtod(p, &end);
                if (end == p || !std::isfinite(x) || std::fabs(x) > 360.0)
                    return bad(number, "expected an angle in degrees within -360 .. 360");
                v[k] = x;
                p = end;
            }
        if (*p != '\0') return bad(number, "expected ten comma-separated fields");
        if (!rows.empty() && r.frame <= rows.back().frame) return bad(number, "frame numbers must rise");
        rows.push_back(r);
    }
    if (!header) return Status(kExitUsage, "motion file: no header line");
    if (rows.empty()) return Status(kExitUsage, "motion file: no frames");
    return Status();
}

Status readMotionFile(const std::string& path, std::vector<MotionRow>& rows) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return Status(kExitUsage, "cannot read the motion file " + path + ": " + std::strerror(errno));
    std::ostringstream s;
    s << f.rdbuf();
    if (f.bad()) return Status(kExitUsage, "cannot read the motion file " + path);
    Status st = parseMotion(s.str(), rows);
    if (!st.ok()) return Status(st.code(), path + ": " + st.message());
    return st;
}

}  // namespace stitcher

namespace stitcher {

Status writeMotionText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return Status(kExitOutput, "cannot write " + path + ": " + std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) return Status(kExitOutput, "cannot write " + path + ": " + std::strerror(errno));
    return Status();
}

}  // namespace stitcher
