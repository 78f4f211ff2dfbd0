#include "Farm.h"

#include <memory>

#include "Calibrate.h"
#include "Console.h"
#include "FarmModes.h"
#include "Job.h"
#include "Stitch.h"

namespace stitcher {

namespace {

const char* engineWord(EngineKind k) { return k == EngineKind::Gl ? "gl" : k == EngineKind::Cpu ? "cpu" : "auto"; }

// The options of a whole run that the plan stands for, narrowed to segment k.
Options planOptions(const Options& opt, const Plan& plan, int k) {
    Options o;
    o.input = opt.input;
    o.output = opt.output;
    o.kind = OutputKind::Video;
    o.overwrite = opt.overwrite;
    o.verbose = opt.verbose;
    o.audio = false;
    o.stereo = plan.stereo;
    o.size = plan.size;
    o.start = plan.segments[static_cast<size_t>(k - 1)].first;
    o.count = plan.segments[static_cast<size_t>(k - 1)].count;
    o.yaw = plan.yaw;
    o.pitch = plan.pitch;
    o.roll = plan.roll;
    o.projection = plan.projection == "flat"     ? Projection::Flat
                   : plan.projection == "planet" ? Projection::Planet
                                                 : Projection::Equirect;
    o.viewWidth = plan.viewWidth;
    o.viewHeight = plan.viewHeight;
    o.fov = plan.fov;
    o.seamAuto = plan.seam == "auto";
    o.seamDistanceM = plan.seamDistanceM;
    o.baselineMm = plan.baselineMm;
    o.displayTurn = opt.displayTurn;
    o.offset = plan.offset;
    o.haveOffset = true;
    o.hevc = plan.hevc;
    o.crf = plan.crf;
    o.preset = plan.preset;
    o.engine = plan.engine == "gl" ? EngineKind::Gl : plan.engine == "cpu" ? EngineKind::Cpu : EngineKind::Auto;
    for (const std::string& g : opt.given)
        if (g == "--engine") o.engine = opt.engine;
    o.colorMatch = plan.colorMatch;
    // The plan's fall-off, flat where it has none: a segment measures nothing.
    o.haveFalloff = o.colorMatch;
    if (!plan.falloff.empty()) parseFalloff(plan.falloff, o.falloff);  // checked when the plan was read
    o.threads = opt.threads;
    return o;
}

// The console as the farm modes' events; the progress line lives in `progress`.
FarmEvents consoleEvents(std::unique_ptr<console::Progress>& progress) {
    FarmEvents e;
    e.say = [](const std::string& line) { console::say("%s", line.c_str()); };
    e.warn = showWarning;
    e.begin = [&progress](long long total, const char* label, bool rated) {
        progress.reset(new console::Progress(total, label, "frame", rated));
    };
    e.frameDone = [&progress] { progress->frameDone(); };
    e.end = [&progress] { progress->end(); };
    return e;
}

}  // namespace

// --plan-out: the steps of a whole run, each as the stitch takes it.
Status runPlan(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    Job job;
    CameraPath camera;
    PlanSteps steps;
    steps.resolve = [&](PlanJob& out) {
        LensRig lens;
        Status st = stitchCalibration(opt, clip, lens, interrupted);
        if (!st.ok()) return st;
        if (interrupted) return console::interruptedRun();
        st = resolveJob(opt, clip.info(), lens, job);
        if (st.ok()) st = readCamera(opt, job, camera);
        if (!st.ok()) return st;
        Plan& plan = out.plan;
        plan.offset = lens.text();
        plan.refined = opt.refineCalibration;
        plan.first = job.first;
        plan.count = job.count;
        plan.size = job.engine.size;
        plan.stereo = opt.stereo;
        plan.yaw = opt.yaw;
        plan.pitch = opt.pitch;
        plan.roll = opt.roll;
        plan.hevc = opt.hevc;
        plan.crf = opt.crf;
        plan.preset = opt.preset;
        plan.engine = engineWord(opt.engine);
        if (job.engine.reprojected()) {
            plan.projection = projectionName(job.engine.view.projection);
            plan.viewWidth = job.engine.view.width;
            plan.viewHeight = job.engine.view.height;
            plan.fov = job.engine.view.fov;
        }
        // A plan that lines up the seams has its segments stitched by the cpu
        // engine, whose warp its disparities were measured for, on every machine.
        plan.baselineMm = opt.baselineMm;
        if (seamsLinedUp(opt, job.engine, opt.engine == EngineKind::Gl ? "gl" : "cpu")) {
            plan.seam = opt.seamAuto ? "auto" : "fixed";
            plan.seamDistanceM = opt.seamDistanceM;
            plan.engine = "cpu";
        }
        plan.fpsNum = job.fps.num;
        plan.fpsDen = job.fps.den;
        plan.audio = job.audio;
        plan.audioRate = job.audioRate;
        plan.audioChannels = job.audioChannels;
        out.range = readSpec(job);
        out.lens = job.engine.lens;
        out.outWidth = job.engine.outWidth();
        out.outHeight = job.engine.outHeight();
        return Status();
    };
    steps.sayJob = [&] {
        if (!job.audioLeftOut.empty()) console::warn("%s", job.audioLeftOut.c_str());
        if (opt.audio && !clip.soundProblem().empty()) console::warn("%s", clip.soundProblem().c_str());
        sayVideoCap(opt, job);
    };
    steps.carried = [&](Plan& plan) {
        plan.spatialAudio = spatialAudioFor(job, clip);
        const CarriedMetadata carried = metadataFor(opt, clip, job);
        plan.metadata = !carried.items.empty() || carried.motionKept;
        for (const std::string& line : describeMetadata(carried)) console::say("%s", line.c_str());
    };
    steps.falloff = [&] { return job.engine.falloff = stitchFalloff(opt, clip, job, interrupted); };
    if (stabilizes(opt) || !opt.camera.empty())
        steps.view = [&](PlanColumn& view, PlanColumn& fov, std::string& summary) {
            ViewRotations turns;
            if (stabilizes(opt)) {
                const Status st = viewRotationsFor(opt, clip, job, interrupted, turns);
                if (!st.ok()) return st;
            }
            if (!opt.camera.empty()) cameraViews(opt, job, camera, turns);
            for (const Rot& r : turns.view)
                for (int k = 0; k < 9; ++k) view.values.push_back(r.m[k / 3][k % 3]);
            if (job.engine.reprojected())
                for (float f : turns.fov) fov.values.push_back(f);
            summary = turns.summary;
            return Status();
        };
    steps.color = [&] { return makeColorMatch(opt, job); };
    PlanSettings settings;
    settings.input = opt.input;
    settings.planOut = opt.planOut;
    settings.overwrite = opt.overwrite;
    settings.segments = opt.segments;
    settings.threads = opt.threads;
    std::unique_ptr<console::Progress> progress;
    return makePlan(settings, clip, steps, consoleEvents(progress), interrupted);
}

// --plan --segment K/N: the segment's options from the plan, stitched as a run.
Status runSegment(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    Options o;
    std::string offset;
    LensRig lens;
    SegmentSteps steps;
    steps.prepare = [&](const Plan& plan, int k) {
        o = planOptions(opt, plan, k);
        Status st = findCalibration(o, clip, offset, lens);
        if (st.ok())
            st = checkPictureAspect(lens.values(), static_cast<int>(clip.info().width),
                                    static_cast<int>(clip.info().height), true);
        return st;
    };
    steps.render = [&](const Plan& plan, int k) {
        if (plan.seam != "far" && o.engine == EngineKind::Gl)
            return Status(kExitUsage, "the plan lines up the seams (\"seam\": " + plan.seam +
                                          ") on the cpu engine, so that its segments give the whole run's picture: --engine gl cannot render them");
        PlannedSegment planned{&plan, k};
        return render(o, clip, lens, &planned, interrupted);
    };
    SegmentSettings settings;
    settings.input = opt.input;
    settings.plan = opt.plan;
    settings.segment = opt.segment;
    settings.segmentOf = opt.segmentOf;
    std::unique_ptr<console::Progress> progress;
    return stitchSegment(settings, steps, consoleEvents(progress));
}

// --join: the segments into one video, with the clip's sound.
Status runJoin(const Options& opt, const std::atomic<bool>& interrupted) {
    JoinSettings settings;
    settings.plan = opt.plan;
    settings.output = opt.output;
    settings.clip = opt.clip;
    settings.parts = opt.parts;
    settings.overwrite = opt.overwrite;
    std::unique_ptr<console::Progress> progress;
    return joinPlan(settings, consoleEvents(progress), interrupted);
}

}  // namespace stitcher
