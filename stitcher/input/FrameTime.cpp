#include "FrameTime.h"

#include <cmath>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

namespace stitcher {

Rational frameRate(double fps) {
    if (!(fps > 0) || !std::isfinite(fps) || fps > 1e6) return Rational{0, 1};
    double whole = std::round(fps);
    if (whole >= 1 && std::fabs(fps - whole) < 1e-6 * fps) return Rational{static_cast<int>(whole), 1};
    double ntsc = std::round(fps * 1.001);
    if (ntsc >= 1 && std::fabs(fps * 1.001 - ntsc) < 1e-4) return Rational{static_cast<int>(ntsc * 1000), 1001};
    AVRational r = av_d2q(fps, 1 << 20);
    return Rational{r.num, r.den};
}

int64_t audioPosition(long long frame, Rational fps, int rate) {
    return av_rescale(frame - 1, static_cast<int64_t>(rate) * fps.den, fps.num);
}

}  // namespace stitcher
