#include "ViewRotations.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "FramePass.h"
#include "GreyPanorama.h"
#include "Level.h"
#include "MotionEstimate.h"
#include "MotionFile.h"
#include "Reader.h"
#include "ViewPath.h"

namespace stitcher {

namespace {

// The rotation a motion file's angles stand for, as written.
Rot fromWritten(const double a[3]) { return Rot::fromAngles(asWritten(a[0]), asWritten(a[1]), asWritten(a[2])); }

void anglesOf(const Rot& r, double out[3]) { r.toAngles(&out[0], &out[1], &out[2]); }

void tell(const StabilizeEvents& events, const std::string& what) {
    if (events.say) events.say(what);
}

// The frames [from, to] of `reliable` that are not, as "a-b" stretches.
std::string unmeasured(const std::vector<uint8_t>& reliable, long long firstFrame) {
    std::string s;
    for (size_t i = 0; i < reliable.size();) {
        if (reliable[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j + 1 < reliable.size() && !reliable[j + 1]) ++j;
        if (!s.empty()) s += ", ";
        s += std::to_string(firstFrame + static_cast<long long>(i));
        if (j > i) s += "-" + std::to_string(firstFrame + static_cast<long long>(j));
        i = j + 1;
    }
    return s;
}

// The camera's orientation per frame of [first, first + count), measured.
Status measure(const Stabilizing& how, Clip& clip, const StabilizedRange& job, long long first, long long count,
               const std::atomic<bool>& interrupted, const StabilizeEvents& events, std::vector<Rot>& cameras,
               std::vector<uint8_t>& reliable, UpFinder* up) {
    std::unique_ptr<MotionEstimator> estimator;
    MotionSettings settings;
    settings.threads = how.threads;
    Status st = MotionEstimator::create(job.engine, settings, estimator);
    if (!st.ok()) return Status(st.code(), "cannot measure the camera's motion: " + st.message());
    ReadSpec reading;
    reading.first = first;
    reading.count = count;
    reading.fps = job.fps;
    Reader reader(clip, reading, events.warn);
    // World-up is found on sharper panoramas of a dozen frames spread over
    // the range: the scene is the same throughout, and each costs a stitch.
    std::unique_ptr<GreyPanorama> sharp;
    if (up) {
        st = GreyPanorama::create(job.engine, kLevelPanoramaRows, how.threads, "to find world-up", sharp);
        if (!st.ok()) return Status(st.code(), "cannot find world-up: " + st.message());
    }
    const long long levelStride = std::max(1LL, count / 12);
    long long index = 0;
    std::vector<uint8_t> seams;
    if (events.begin) events.begin(count);
    // The frames are decoded on a thread of their own while this one measures.
    st = walkFrames(reader, interrupted, [&](FrameItem& item) {
        estimator->add(item.picture.data());
        if (up && index++ % levelStride == 0 && estimator->reliable().back()) {
            int w = 0, h = 0;
            const float* grey = sharp->grey(item.picture.data(), &w, &h);
            if (grey) {
                if (seams.size() != static_cast<size_t>(w)) seams = estimator->seamColumns(w);
                up->add(grey, w, h, estimator->cameras().back(), seams);
            }
        }
        if (events.frameDone) events.frameDone();
        return Status();
    });
    if (events.end) events.end();
    if (!st.ok()) return st;
    cameras = estimator->cameras();
    reliable = estimator->reliable();
    if (static_cast<long long>(cameras.size()) != count)
        return Status(kExitFailed, "the motion analysis read " + std::to_string(cameras.size()) + " of " +
                                       std::to_string(count) + " frames");
    return Status();
}

}  // namespace

Status planViewRotations(const Stabilizing& how, Clip& clip, const StabilizedRange& job,
                         const std::atomic<bool>& interrupted, const StabilizeEvents& events, ViewRotations& out) {
    out = ViewRotations();
    out.first = job.first;
    const Rot user = how.user;
    std::vector<MotionRow> rows;
    if (!how.motionIn.empty()) {
        std::vector<MotionRow> file;
        Status st = readMotionFile(how.motionIn, file);
        if (!st.ok()) return st;
        size_t at = 0;
        for (long long f = job.first; f < job.first + job.count; ++f) {
            while (at < file.size() && file[at].frame < f) ++at;
            if (at == file.size() || file[at].frame != f)
                return Status(kExitUsage, how.motionIn + " has no line for frame " + std::to_string(f));
            rows.push_back(file[at]);
        }
        double sum = 0;
        for (const MotionRow& r : rows) {
            const double turn = Rot().degreesTo(fromWritten(r.correction));
            sum += turn * turn;
        }
        char said[160];
        std::snprintf(said, sizeof said, "view corrections from %s: %.2f degrees RMS", how.motionIn.c_str(),
                      std::sqrt(sum / rows.size()));
        out.summary = said;
    } else {
        // The frames the path needs: the job's, and for smoothing those
        // around them as far as the smoothing reaches.
        const long long frames = static_cast<long long>(clip.info().frames);
        const double sigma = smoothSigmaFrames(how.smoothSeconds, job.fps.den ? job.fps.num / double(job.fps.den) : 30.0);
        const long long reach = how.mode == StabilizeMode::Smooth ? smoothReach(sigma) : 0;
        const long long first = std::max(1LL, job.first - reach);
        const long long last = std::min(frames, job.first + job.count - 1 + reach);
        std::vector<Rot> cameras, path, correction;
        std::vector<uint8_t> reliable;
        UpFinder up;
        Status st = measure(how, clip, job, first, last - first + 1, interrupted, events, cameras, reliable,
                            how.level ? &up : nullptr);
        if (!st.ok()) return st;
        const std::string flat = unmeasured(reliable, first);
        if (!flat.empty())
            tell(events, "too little texture to measure the camera's motion in frames " + flat +
                             ": the camera's own orientation is kept there");
        const size_t reference = static_cast<size_t>(job.first - first);
        planViewPath(cameras, reliable, how.mode, sigma, reference, path, correction);
        if (how.level) {
            double u[3];
            double uncertainty = 0;
            bool byHorizon = false;
            const Status found = up.find(u, &uncertainty, &byHorizon);
            if (found.ok()) {
                levelPath(path, u);
                for (size_t k = 0; k < path.size(); ++k) correction[k] = cameras[k].transposed() * path[k];
                char said[160];
                std::snprintf(said, sizeof said,
                              "level: world-up found from the footage's %s, %.2f degrees from the first "
                              "frame's up (give or take %.2f)",
                              byHorizon ? "horizon" : "vertical lines", std::acos(std::min(1.0, std::fabs(u[2]))) * 180 / 3.14159265358979323846, uncertainty);
                tell(events, said);
            } else {
                tell(events, "level: the camera's own up is kept: " + found.message());
            }
        }
        double sum = 0, most = 0;
        for (long long f = job.first; f < job.first + job.count; ++f) {
            const size_t k = static_cast<size_t>(f - first);
            MotionRow r;
            r.frame = f;
            anglesOf(cameras[k], r.measured);
            anglesOf(path[k], r.smoothed);
            anglesOf(correction[k], r.correction);
            rows.push_back(r);
            const double turn = Rot().degreesTo(fromWritten(r.correction));
            sum += turn * turn;
            most = std::max(most, turn);
        }
        char said[200];
        const char* mode = how.mode == StabilizeMode::Lock     ? "lock"
                           : how.mode == StabilizeMode::Smooth ? "smooth"
                                                                    : "level only";
        std::snprintf(said, sizeof said, "stabilised (%s%s): %.2f degrees RMS of camera %s removed (at most %.2f)",
                      mode, how.level && how.mode != StabilizeMode::Off ? ", level" : "",
                      std::sqrt(sum / rows.size()),
                      how.mode == StabilizeMode::Lock ? "rotation" : how.mode == StabilizeMode::Smooth ? "shake" : "tilt",
                      most);
        out.summary = said;
    }
    for (const MotionRow& r : rows) out.view.push_back(fromWritten(r.correction) * user);
    out.rows = rows;
    return Status();
}

}  // namespace stitcher
