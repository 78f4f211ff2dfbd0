#include "Job.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ViewRotation.h"

namespace stitcher {

PictureCap videoCap(bool large) { return large ? PictureCap{8192, 4096} : PictureCap{4096, 2048}; }

int capSize(int size, Layout layout, PictureCap cap) {
    // Width 2N; height N, or 2N for two panoramas stacked. Kept a multiple of 16.
    const int fit = std::min(cap.width / 2, layout == Layout::Stereo ? cap.height / 2 : cap.height) / 16 * 16;
    return std::min(size, fit);
}

std::string soundLeftOut(const _MediaInfo& media) {
    // 1 to 8 channels (up to 7.1), in FFmpeg's default layout for their
    // count, as the AAC encoder takes them.
    if (media.samplerate != 0 && media.channels != 0 && media.channels <= 8) return std::string();
    return "the clip's audio (" + std::to_string(media.samplerate) + " Hz, " + std::to_string(media.channels) +
           " channel" + (media.channels == 1 ? "" : "s") +
           ") cannot be carried over: the video takes 1 to 8 channels, so it has no sound";
}

Rot userView(const Options& opt) {
    const Rot user = Rot::fromAngles(opt.yaw, opt.pitch, opt.roll);
    // A half turn of the picture puts each lens image in the other's place,
    // turned half a turn; the second lens's image is stored upside down to
    // the first's, so that the picture is the one of the camera turned half
    // a turn about the vertical.
    return opt.displayTurn == 180 ? Rot::fromAngles(180, 0, 0) * user : user;
}

Status resolveJob(const Options& opt, const _MediaInfo& media, const LensRig& lens, Job& job) {
    job = Job();
    const long long frames = media.frames;
    if (opt.start > frames)
        return Status(kExitUsage, opt.input + " has " + std::to_string(frames) + " frames; frame " +
                                      std::to_string(opt.start) + " does not exist");
    job.first = opt.start;
    job.count = opt.count ? opt.count : frames - opt.start + 1;
    if (job.first + job.count - 1 > frames)
        return Status(kExitUsage, opt.input + " has " + std::to_string(frames) + " frames; frames " +
                                      std::to_string(job.first) + " to " + std::to_string(job.first + job.count - 1) +
                                      " were asked for");
    job.fps = frameRate(media.fps);
    if (opt.kind == OutputKind::Video && job.fps.num <= 0) {
        char fps[32];
        std::snprintf(fps, sizeof fps, "%g", media.fps);
        return Status(kExitInput, opt.input + " has no usable frame rate (" + fps + ")");
    }

    EngineSpec& e = job.engine;
    e.lens = lens;
    e.frameWidth = static_cast<int>(media.width);
    e.frameHeight = static_cast<int>(media.height);
    e.layout = opt.stereo ? Layout::Stereo : Layout::Stitch;
    // Pictures take the lenses' own size; a video no more than its codec's
    // cap unless --size asks for it.
    const PictureCap cap = videoCap(opt.hevc || opt.prores);
    if (opt.projection != Projection::Equirect) {
        // A flat or planet picture: the panorama's geometry as sharp as the
        // lenses allow, the picture the size asked for.
        e.size = defaultSize(lens.values(), static_cast<int>(media.width));
        e.view.projection = opt.projection;
        e.view.fov = opt.fov;
        const bool flat = opt.projection == Projection::Flat;
        e.view.width = opt.viewWidth ? opt.viewWidth : flat ? 1920 : 1080;
        e.view.height = opt.viewHeight ? opt.viewHeight : 1080;
    } else if (opt.size) {
        e.size = opt.size;
        job.overCap = opt.kind == OutputKind::Video && capSize(e.size, e.layout, cap) < e.size;
    } else {
        e.size = defaultSize(lens.values(), static_cast<int>(media.width));
        const int capped = opt.kind == OutputKind::Video ? capSize(e.size, e.layout, cap) : e.size;
        if (capped < e.size) {
            job.sharpestSize = e.size;
            e.size = capped;
        }
    }
    userView(opt).toRenderer(e.rotation);
    e.threads = opt.threads;
    // The seams are lined up in the panorama as the lenses give it: a run
    // that turns its view (--yaw, --pitch, --roll, a clip turned half a
    // turn) and lines up its seams stitches that panorama and turns it after,
    // as a stabilised run does.
    const bool seamsLinedUp = (opt.seamAuto || opt.seamDistanceM > 0) && e.layout == Layout::Stitch && !e.reprojected();
    e.perFrameRotation = opt.stabilize != StabilizeMode::Off || opt.level || !opt.motionIn.empty() ||
                         (seamsLinedUp && userView(opt).degreesTo(Rot()) > 0.0);
    if (e.perFrameRotation && e.layout != Layout::Stitch)
        return Status(kExitUsage, "--stabilize, --level and --motion turn the stitch layout's view; --layout stereo has none");

    if (opt.kind == OutputKind::Video && opt.audio && media.hasAudio) {
        job.audioLeftOut = soundLeftOut(media);
        if (job.audioLeftOut.empty()) {
            job.audio = true;
            job.audioRate = static_cast<int>(media.samplerate);
            job.audioChannels = media.channels;
        }
    }
    return Status();
}

std::string frameFileName(const std::string& pattern, long long frame) {
    int n = std::snprintf(nullptr, 0, pattern.c_str(), static_cast<int>(frame));
    if (n < 0) return pattern;
    std::string name(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&name[0], name.size(), pattern.c_str(), static_cast<int>(frame));
    name.resize(static_cast<size_t>(n));
    return name;
}

std::vector<std::string> outputNames(const Options& opt, const Job& job) {
    std::vector<std::string> names;
    if (opt.kind != OutputKind::Sequence)
        names.push_back(opt.output);
    else
        for (long long f = job.first; f < job.first + job.count; ++f) names.push_back(frameFileName(opt.output, f));
    // After the pictures: the motion file, then its plot.
    if (!opt.motionOut.empty()) names.push_back(opt.motionOut);
    if (!opt.motionPlot.empty()) names.push_back(opt.motionPlot);
    return names;
}

}  // namespace stitcher
