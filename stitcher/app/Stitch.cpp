#include "Stitch.h"

#include <exception>
#include <memory>
#include <thread>

#include "Calibrate.h"
#include "CameraPath.h"
#include "Console.h"
#include "CpuEngine.h"
#include "DualFisheyeModel.h"
#include "GlEngine.h"
#include "MotionFile.h"
#include "MotionPlot.h"
#include "Mp4Patch.h"
#include "Output.h"
#include "Pipeline.h"
#include "Plan.h"
#include "Writers.h"

namespace stitcher {

namespace {

// What the video encoder is opened with.
VideoSettings videoSettings(const Options& opt, const Job& job, int timescale, const std::vector<uint8_t>& spatialAudio) {
    const EngineSpec& params = job.engine;
    VideoSettings vs;
    vs.width = params.outWidth();
    vs.height = params.outHeight();
    vs.fpsNum = job.fps.num;
    vs.fpsDen = job.fps.den;
    vs.timescale = timescale;  // each frame keeps its own time
    vs.crf = opt.crf;
    vs.preset = opt.preset;
    vs.hevc = opt.hevc;
    vs.prores = opt.prores;
    vs.bitDepth = opt.bitDepth;
    vs.container = containerOf(opt.output);
    vs.spherical = params.layout == Layout::Stitch && !params.reprojected();  // flat and planet carry no 360 metadata
    if (job.audio) {
        vs.audioRate = job.audioRate;
        vs.audioChannels = job.audioChannels;
        vs.audioSpatialBox = spatialAudio;
    }
    vs.warn = showWarning;
    return vs;
}

// The sink the frames go to: the video encoder, or one picture per frame.
Status openSink(const Options& opt, const Job& job, const VideoSettings& vs, const Output& output,
                std::unique_ptr<FrameSink>& sink) {
    const EngineSpec& params = job.engine;
    const Status st = guarded([&] {
        if (opt.kind == OutputKind::Video)
            return makeVideoSink(output, vs, static_cast<int>(params.outStride()), sink);
        PictureSettings ps;
        ps.width = params.outWidth();
        ps.height = params.outHeight();
        ps.stride = static_cast<int>(params.outStride());
        ps.jpeg = opt.jpeg;
        ps.quality = opt.quality;
        ps.equirect = vs.spherical;
        ps.view = ViewTags{opt.yaw, opt.pitch, opt.roll};
        sink = makePictureSink(output, ps);
        return Status();
    });
    if (!st.ok()) sink.reset();
    return st;
}

// The sink and the engine. A video's encoder opens on a thread of its own
// while the engine is made on this one: both take a while, and the engine's
// set-up leaves cores idle.
Status openSinkAndEngine(const Options& opt, const Job& job, const VideoSettings& vs, const Output& output,
                         std::unique_ptr<FrameSink>& sink, EngineChoice& choice) {
    Status sinkStatus;
    auto open = [&] { sinkStatus = openSink(opt, job, vs, output, sink); };
    std::thread opening;
    try {
        opening = std::thread(open);
    } catch (const std::exception&) {
        open();  // no thread to be had: one after the other
    }
    // Nothing may leave before the encoder's thread is joined.
    Status st = guarded([&] { return chooseEngine(opt.engine, job.engine, choice, builtEngines()); });
    if (opening.joinable()) opening.join();
    if (st.ok() && !sink) st = sinkStatus;
    if (!st.ok()) sink.reset();
    return st;
}

// The frames through the stages, with the progress line (and, when
// verbose, each frame's gains).
Status runPipeline(Pipeline& pipeline, FrameGains* color, Engine& engine, const Job& job, FrameSink& sink,
                   console::Progress& progress, PipelineStats& stats) {
    PipelineEvents events;
    events.frameDone = [&progress] { progress.frameDone(); };
    events.end = [&progress] { progress.end(); };
    if (console::verbose())
        events.gains = [](long long frame, const std::string& gains) {
            console::note("frame %lld: %s", frame, gains.c_str());
        };
    return pipeline.run(color, engine, job.engine, sink, events, stats);
}

// The account of a finished stitch.
void sayDone(const Options& opt, const Job& job, const Engine& engine, const ColorMatch* color,
             const PipelineStats& stats, const console::Progress& progress, const Reader& reader) {
    const EngineSpec& params = job.engine;
    console::note("busy seconds per stage: decode %.2f, stitch %.2f, encode/write %.2f", stats.readBusy,
                  stats.stitchBusy, stats.writeBusy);
    if (color) console::note("%s at the last frame", formatGains(color->gains()).c_str());
    console::Summary done;
    done.frames = stats.done;
    done.width = params.outWidth();
    done.height = params.outHeight();
    done.stereo = params.layout == Layout::Stereo;
    if (params.reprojected()) done.kind = projectionName(params.view.projection);
    done.seconds = progress.seconds();
    done.engine = engine.name();
    done.output = opt.output;
    done.damaged = reader.damagedFrames();
    console::summary(done);
}

// The seams' tracker that --seam asks for, where the engine can warp the
// seams of this run; null for the far-field seams.
std::unique_ptr<SeamTracker> makeSeams(const Options& opt, const EngineSpec& params, Engine& engine) {
    if ((!opt.seamAuto && opt.seamDistanceM <= 0) || params.layout != Layout::Stitch) return nullptr;
    SeamSettings settings;
    settings.baselineMm = opt.baselineMm;
    settings.distanceM = opt.seamDistanceM;
    settings.threads = opt.threads;
    auto seams = std::make_unique<SeamTracker>(params.lens.model(), params.size, params.frameWidth, params.frameHeight, settings);
    if (!engine.setSeamShift(seams->shift())) {
        seamsLinedUp(opt, params, engine.name());
        return nullptr;
    }
    return seams;
}

// A planned segment's seams, as the plan has them: a tracker (a fixed distance's, or the
// one that turns the planned disparities into shifts) and, with auto, those disparities;
// neither for the far field's.
Status plannedSeams(const Options& opt, const Plan& plan, const EngineSpec& params, Engine& engine,
                    std::unique_ptr<SeamTracker>& tracker, std::unique_ptr<PlannedSeams>& planned) {
    if (plan.seam == "far") return Status();
    tracker = std::make_unique<SeamTracker>(params.lens.model(), params.size, params.frameWidth, params.frameHeight,
                                            planSeamSettings(plan, opt.threads));
    if (!engine.setSeamShift(tracker->shift()))
        return Status(kExitUsage, "the plan lines up the seams (\"seam\": " + plan.seam + "), which the " +
                                      engine.name() + " engine cannot do for this picture");
    if (plan.seam == "auto") planned = std::make_unique<PlannedSeams>(plan, *tracker);
    return Status();
}

// What the seams' tracker found: said where most of the seams had nothing to
// align (the far-field seam was kept there), else when verbose.
void saySeams(const SeamTracker* seams) {
    if (!seams) return;
    if (seams->fallbackShare() > 0.5)
        console::say("%s", seams->report().c_str());
    else
        console::note("%s", seams->report().c_str());
}

// How the view follows the camera, from the options.
Stabilizing stabilizing(const Options& opt) {
    Stabilizing how;
    how.mode = opt.stabilize;
    how.level = opt.level;
    how.smoothSeconds = opt.smoothSeconds;
    how.motionIn = opt.motionIn;
    how.threads = opt.threads;
    how.user = userView(opt);
    return how;
}

}  // namespace

bool seamsLinedUp(const Options& opt, const EngineSpec& params, const char* engine) {
    if ((!opt.seamAuto && opt.seamDistanceM <= 0) || params.layout != Layout::Stitch) return false;
    // Both engines line up the seams where the CPU engine's warp can.
    if (cpuEngineLinesUpSeams(params)) return true;
    console::warn("--seam: the %s engine cannot line up the seams of this run; the seams stay as the far field has them",
                  engine);
    return false;
}

Status readCamera(const Options& opt, Job& job, CameraPath& camera) {
    if (opt.camera.empty()) return Status();
    const Status st = CameraPath::read(opt.camera, camera);
    if (!st.ok()) return st;
    job.engine.perFrameRotation = true;
    if (job.engine.reprojected()) job.engine.view.fov = camera.widestFov();
    return Status();
}

// The stages' warnings, shown as the console's.
void showWarning(const std::string& message) { console::warn("%s", message.c_str()); }

// The engines this program has.
EngineMakers builtEngines() {
    EngineMakers make;
    make.gl = makeGlEngine;
    make.cpu = makeCpuEngine;
    return make;
}

std::string engineLine(const Status& st, const EngineChoice& choice) {
    if (!st.ok()) return "none (" + st.message() + ")";
    return std::string(choice.engine->name()) + " (" + choice.why + ")";
}

// What the reader reads for a job.
ReadSpec readSpec(const Job& job) {
    ReadSpec r;
    r.first = job.first;
    r.count = job.count;
    r.fps = job.fps;
    r.audio = job.audio;
    r.audioRate = job.audioRate;
    r.audioChannels = job.audioChannels;
    return r;
}

// The clip's metadata that a video of the job carries.
CarriedMetadata metadataFor(const Options& opt, Clip& clip, const Job& job) {
    return carriedMetadata(clip, job.first, job.count, job.fps,
                           viewIsCamera(opt.yaw, opt.pitch, opt.roll, job.engine.perFrameRotation || job.engine.reprojected(),
                                        opt.displayTurn));
}

// What the clip's metadata becomes in the video, in words.
std::vector<std::string> describeMetadata(const CarriedMetadata& m) {
    std::vector<std::string> lines;
    if (!m.items.empty()) {
        std::string carried;
        for (const std::string& item : m.items) carried += (carried.empty() ? "" : ", ") + item;
        lines.push_back("carried over into the video: " + carried);
    }
    if (m.motion)
        lines.push_back(m.motionKept ? "the camera-motion track (camm) is kept: the video's view is the camera's"
                                     : "the camera-motion track (camm) is dropped: the video's view is turned from the "
                                       "camera's (--yaw, --pitch, --roll, stabilisation, levelling or the clip's display "
                                       "turn), so that it no longer describes it");
    return lines;
}

// Says where the video's default size was held to what players decode, and
// warns where --size asks for more; what the lenses allow, for -v.
std::string sayVideoCap(const Options& opt, const Job& job) {
    const PictureCap cap = videoCap(opt.hevc || opt.prores);
    const char* codec = opt.prores ? "ProRes" : opt.hevc ? "HEVC" : "H.264";
    std::string capped;
    if (job.sharpestSize) {
        EngineSpec full = job.engine;
        full.size = job.sharpestSize;
        capped = " (the lenses allow " + std::to_string(full.outWidth()) + "x" + std::to_string(full.outHeight()) + ")";
        console::say("the video is %dx%d: an %s video's default panorama is held to what most players decode%s; "
                     "%s--size asks for more", job.engine.outWidth(), job.engine.outHeight(), codec, capped.c_str(),
                     opt.hevc || opt.prores ? "" : "--codec hevc or ");
    }
    if (job.overCap)
        console::warn("a %dx%d %s video is larger than many players and phones can decode (%dx%d or less plays widely)",
                      job.engine.outWidth(), job.engine.outHeight(), codec, cap.width, cap.height);
    return capped;
}

// The clip's spatial-sound box for the video, where the job carries sound
// that the box fits.
std::vector<uint8_t> spatialAudioFor(const Job& job, Clip& clip) {
    std::vector<uint8_t> box;
    if (!job.audio) return box;
    box = clip.spatialAudio();
    if (!box.empty() && spatialAudioChannels(box) != static_cast<uint32_t>(job.audioChannels)) {
        console::warn("the clip's spatial sound names %u channels, its sound has %d; the video's sound is not "
                      "marked as spatial", spatialAudioChannels(box), job.audioChannels);
        box.clear();
    }
    return box;
}

// Colour matching for the stitch, where it is asked for and can run.
std::unique_ptr<ColorMatch> makeColorMatch(const Options& opt, const Job& job) {
    if (!opt.colorMatch) return nullptr;
    auto color = std::make_unique<ColorMatch>();
    const Status st = color->init(job.engine.lens.model(), job.engine.frameWidth, job.engine.frameHeight,
                                   job.fps.num / static_cast<double>(job.fps.den));
    if (st.ok()) {
        color->setFalloff(job.engine.falloff);
        return color;
    }
    console::warn("colour matching is off: %s", st.message().c_str());
    return nullptr;
}

bool stabilizes(const Options& opt) { return stabilizing(opt).any(); }

Status viewRotationsFor(const Options& opt, Clip& clip, const Job& job, const std::atomic<bool>& interrupted,
                        ViewRotations& out) {
    StabilizedRange range;
    range.first = job.first;
    range.count = job.count;
    range.fps = job.fps;
    range.engine = job.engine;
    std::unique_ptr<console::Progress> progress;
    StabilizeEvents events;
    events.say = [](const std::string& what) { console::say("%s", what.c_str()); };
    events.warn = showWarning;
    events.begin = [&progress](long long frames) {
        progress = std::make_unique<console::Progress>(frames, std::string(), "analysing frame");
    };
    events.frameDone = [&progress] { progress->frameDone(); };
    events.end = [&progress] { progress->end(); };
    return planViewRotations(stabilizing(opt), clip, range, interrupted, events, out);
}

// The keyframed camera's view and field of view per frame: frame f at
// (f - 1) frame durations from the first frame shown, in the world's frame,
// that is after the stabilisation's correction where the run has one.
void cameraViews(const Options& opt, const Job& job, const CameraPath& camera, ViewRotations& turns) {
    const bool corrected = !turns.view.empty();
    const Rot user = userView(opt);
    Options keyed = opt;
    turns.first = job.first;
    turns.fov.clear();
    for (long long f = job.first; f < job.first + job.count; ++f) {
        const size_t k = static_cast<size_t>(f - job.first);
        const double seconds = job.fps.num > 0 ? static_cast<double>(f - 1) * job.fps.den / job.fps.num : 0.0;
        const CameraPose pose = camera.at(seconds);
        double angles[3];
        pose.view.toAngles(&angles[0], &angles[1], &angles[2]);
        keyed.yaw = angles[0], keyed.pitch = angles[1], keyed.roll = angles[2];
        const Rot view = userView(keyed);
        if (corrected)
            turns.view[k] = turns.view[k] * user.transposed() * view;  // the correction, then the camera
        else
            turns.view.push_back(view);
        turns.fov.push_back(static_cast<float>(pose.fov));
    }
}

// A stitch: the clip's frames into the output.
Status runStitch(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    LensRig lens;
    Status st = stitchCalibration(opt, clip, lens, interrupted);
    if (!st.ok()) return st;
    if (opt.refineCalibration && interrupted) return console::interruptedRun();
    return render(opt, clip, lens, nullptr, interrupted);
}

Status render(const Options& opt, Clip& clip, const LensRig& lens, const PlannedSegment* segment,
              const std::atomic<bool>& interrupted) {
    const _MediaInfo& media = clip.info();
    Job job;
    Status st = resolveJob(opt, media, lens, job);
    if (!st.ok()) return st;
    if (!job.audioLeftOut.empty()) console::warn("%s", job.audioLeftOut.c_str());
    if (opt.kind == OutputKind::Video && opt.audio && !clip.soundProblem().empty())
        console::warn("%s", clip.soundProblem().c_str());
    // A keyframed camera is read before anything is written; its view turns every frame.
    CameraPath camera;
    st = readCamera(opt, job, camera);
    if (!st.ok()) return st;
    const std::vector<uint8_t> spatialAudio = spatialAudioFor(job, clip);
    const std::string capped = sayVideoCap(opt, job);

    Output output(outputNames(opt, job), opt.overwrite);
    st = output.prepare(opt.input);
    if (!st.ok()) return st;
    for (const auto& name : output.removedLeftovers())
        console::say("removed %s, left by a run that ended early", name.c_str());

    job.engine.falloff = stitchFalloff(opt, clip, job, interrupted);
    if (interrupted) {
        output.abort();
        return console::interruptedRun();
    }

    // A stabilised run measures the motion first, in a pass of its own.
    ViewRotations turns;
    Pipeline::RotationOf rotationOf;
    if (stabilizes(opt)) {
        st = viewRotationsFor(opt, clip, job, interrupted, turns);
        if (!st.ok()) {
            output.abort();
            return st;
        }
        // The motion file and its plot, last among the run's files.
        size_t at = output.size() - (opt.motionOut.empty() ? 0 : 1) - (opt.motionPlot.empty() ? 0 : 1);
        if (!opt.motionOut.empty()) st = writeMotionText(output.tempName(at++), formatMotion(turns.rows));
        if (st.ok() && !opt.motionPlot.empty()) {
            const PlotImage plot = plotMotion(turns.rows);
            st = writePng(output.tempName(at), plot.bgr.data(), 3 * plot.width, plot.width, plot.height);
        }
        if (!st.ok()) {
            output.abort();
            return st;
        }
    } else if (segment && segment->plan->column("view")) {
        // The plan's view per frame, as the whole clip's analysis left it.
        const Plan& plan = *segment->plan;
        const PlanColumn& view = *plan.column("view");
        const PlanColumn* fov = plan.column("fov");  // a keyframed camera's flat or planet picture
        job.engine.perFrameRotation = true;
        turns.first = job.first;
        for (long long f = job.first; f < job.first + job.count; ++f) {
            Rot r;
            for (int k = 0; k < 9; ++k) r.m[k / 3][k % 3] = view.at(f - plan.first, k);
            turns.view.push_back(r);
            if (fov) turns.fov.push_back(static_cast<float>(fov->at(f - plan.first)));
        }
    }
    if (!opt.camera.empty()) cameraViews(opt, job, camera, turns);
    if (!turns.view.empty()) {
        turns.view.front().toRenderer(job.engine.rotation);
        rotationOf = [&turns](long long frame, float m[4][4], float* fov) {
            const long long k = frame - turns.first;
            if (k < 0 || k >= static_cast<long long>(turns.view.size())) return false;
            turns.view[static_cast<size_t>(k)].toRenderer(m);
            if (!turns.fov.empty()) *fov = turns.fov[static_cast<size_t>(k)];
            return true;
        };
    }

    // Frames are decoded from here on, while the encoder and the engine are made.
    // The CPU engine converts the decoder's pictures itself, on all its
    // threads; the GL engine's thread is left to drawing.
    ReadSpec reading = readSpec(job);
    reading.sourcePictures = opt.engine == EngineKind::Cpu || (opt.engine == EngineKind::Auto && !gpuDevicePresent());
    Reader reader(clip, reading, showWarning);
    Pipeline pipeline(reader, interrupted, rotationOf);
    std::unique_ptr<FrameSink> sink;
    EngineChoice choice;
    VideoSettings vs = videoSettings(opt, job, reader.timescale(), spatialAudio);
    std::unique_ptr<PlannedGains> planned;
    std::string label;
    if (segment) {
        const Plan& plan = *segment->plan;
        if (reader.timescale() != plan.timescale) {
            output.abort();
            return Status(kExitPlan, "the clip's frame times are not those of the plan");
        }
        vs.comment = segmentTag(plan, segment->k);
        vs.closedGop = true;
        if (plan.colorMatch) planned = std::make_unique<PlannedGains>(*plan.column("gains"), plan.first);
        label = "segment " + std::to_string(segment->k) + "/" + std::to_string(plan.segments.size());
    } else if (opt.kind == OutputKind::Video) {
        const CarriedMetadata carried = metadataFor(opt, clip, job);
        for (const std::string& line : describeMetadata(carried)) console::say("%s", line.c_str());
        vs.metadata = carried.movie;
    }
    st = openSinkAndEngine(opt, job, vs, output, sink, choice);
    if (!st.ok()) {
        output.abort();
        return st;
    }
    Engine& engine = *choice.engine;
    const EngineSpec& params = job.engine;
    console::note("%s: %ux%u, frames %lld-%lld at %d/%d fps, calibration %s, panorama %dx%d", opt.input.c_str(),
                  media.width, media.height, job.first, job.first + job.count - 1, job.fps.num, job.fps.den,
                  lens.text().c_str(), params.outWidth(), params.outHeight());
    if (opt.kind == OutputKind::Video && opt.prores)
        console::note("video: ProRes 422 HQ (10-bit 4:2:2)");
    else if (opt.kind == OutputKind::Video)
        console::note("video: %s%s, crf %d, preset %s%s", opt.hevc ? "HEVC (x265)" : "H.264 (x264)",
                      opt.bitDepth == 10 ? " 10-bit" : "", opt.crf, opt.preset.c_str(),
                      job.sharpestSize ? (", panorama held to its default cap" + capped).c_str() : "");
    console::note("engine: %s", engineLine(st, choice).c_str());
    const std::unique_ptr<ColorMatch> color = segment ? nullptr : makeColorMatch(opt, job);

    console::Progress progress(job.count, label);
    PipelineStats stats;
    FrameGains* gains = planned ? static_cast<FrameGains*>(planned.get()) : color.get();
    std::unique_ptr<SeamTracker> seams;
    std::unique_ptr<PlannedSeams> planSeams;
    if (segment) {
        st = plannedSeams(opt, *segment->plan, params, engine, seams, planSeams);
        if (!st.ok()) {
            output.abort();
            return st;
        }
    } else {
        seams = makeSeams(opt, params, engine);
    }
    if (planSeams)
        pipeline.setSeams(planSeams.get());
    else if (seams)
        pipeline.setSeams(seams.get());
    st = runPipeline(pipeline, gains, engine, job, *sink, progress, stats);
    sink.reset();
    if (!st.ok()) {
        output.abort();
        return console::nothingWritten(st);
    }
    st = output.commit();
    if (!st.ok()) return st;
    sayDone(opt, job, engine, color.get(), stats, progress, reader);
    if (!segment) saySeams(seams.get());
    if (!turns.summary.empty()) console::say("%s", turns.summary.c_str());
    return Status();
}

// ---- one clip over many machines ----

}  // namespace stitcher
