#include "Farm.h"

#include <algorithm>
#include <memory>
#include <thread>

#include "Calibrate.h"
#include "ClipHash.h"
#include "Console.h"
#include "DualFisheyeModel.h"
#include "Job.h"
#include "Join.h"
#include "Output.h"
#include "Plan.h"
#include "PlanFrames.h"
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

}  // namespace

// --plan-out: what a whole run decides, decided once and written down.
Status runPlan(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    std::string offset;
    Calibration cal;
    Status st = stitchCalibration(opt, clip, offset, cal, interrupted);
    if (!st.ok()) return st;
    if (interrupted) return console::interruptedRun();
    Job job;
    st = resolveJob(opt, clip.info(), offset, cal, job);
    if (!st.ok()) return st;
    if (job.count < opt.segments)
        return Status(kExitUsage, std::to_string(opt.segments) + " segments need at least as many frames; the "
                                      "range has " + std::to_string(job.count));
    if (!job.audioLeftOut.empty()) console::warn("%s", job.audioLeftOut.c_str());
    if (opt.audio && !clip.soundProblem().empty()) console::warn("%s", clip.soundProblem().c_str());
    sayVideoCap(opt, job);

    Plan plan;
    plan.clipPath = opt.input;
    plan.clipFrames = clip.info().frames;
    st = clipContentHash(opt.input, plan.clipHash);
    if (!st.ok()) return st;
    plan.offset = offset;
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
    plan.fpsNum = job.fps.num;
    plan.fpsDen = job.fps.den;
    plan.audio = job.audio;
    plan.audioRate = job.audioRate;
    plan.audioChannels = job.audioChannels;
    plan.spatialAudio = spatialAudioFor(job, clip);
    {
        const CarriedMetadata carried = metadataFor(opt, clip, job);
        plan.metadata = !carried.items.empty() || carried.motionKept;
        for (const std::string& line : describeMetadata(carried)) console::say("%s", line.c_str());
    }
    plan.segments = splitRange(job.first, job.count, opt.segments);

    Output output({opt.planOut}, opt.overwrite);
    st = output.prepare(opt.input);
    if (!st.ok()) return st;

    // The fall-off that the segments' engines will undo (the motion analysis
    // and the gains are measured with it, as in a whole run).
    job.engine.falloff = stitchFalloff(opt, clip, job, interrupted);
    if (!job.engine.falloff.flat()) plan.falloff = formatFalloff(job.engine.falloff);
    if (interrupted) return console::interruptedRun();

    // A stabilised plan: every frame's view, from one analysis of the whole range.
    if (stabilizes(opt)) {
        ViewRotations turns;
        st = viewRotationsFor(opt, clip, job, interrupted, turns);
            if (!st.ok()) return st;
        PlanColumn& view = plan.frames["view"];
        view.width = 9;
        for (const Rot& r : turns.view)
            for (int k = 0; k < 9; ++k) view.values.push_back(r.m[k / 3][k % 3]);
        if (!turns.summary.empty()) console::say("%s", turns.summary.c_str());
    }

    // Every frame's time, and its gains as a whole run measures them.
    std::unique_ptr<ColorMatch> colour = makeColourMatch(opt, offset, job);
    plan.colorMatch = colour != nullptr;
    if (!plan.colorMatch) plan.falloff.clear();  // undone with the gains only: a segment without them takes none
    const DualFisheyeModel model(job.engine.calibration);
    FrameMeasuring how;
    how.range = readSpec(job);
    how.model = &model;
    how.colour = colour.get();
    how.falloff = job.engine.falloff;
    how.threads = opt.threads ? opt.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    how.warn = showWarning;
    console::say("planning %lld frames of %s in %zu segment%s%s", job.count, opt.input.c_str(), plan.segments.size(),
                 plan.segments.size() == 1 ? "" : "s", colour ? " (measuring the colour gains)" : "");
    // Without colour matching a frame's time is all that is read: no rate.
    console::Progress progress(job.count, "plan", "frame", colour != nullptr);
    how.frameDone = [&progress] { progress.frameDone(); };
    st = measurePlanFrames(clip, how, interrupted, plan);
    progress.end();
    if (!st.ok()) return st;
    st = writePlan(plan, output.tempName(0), opt.planOut);
    if (st.ok()) st = output.commit();
    if (!st.ok()) return st;
    console::say("plan written to %s: frames %lld-%lld, %dx%d, %zu segment%s", opt.planOut.c_str(), plan.first,
                 plan.first + plan.count - 1, job.engine.outWidth(), job.engine.outHeight(), plan.segments.size(),
                 plan.segments.size() == 1 ? "" : "s");
    return Status();
}

// --plan --segment K/N: one segment as the plan has it.
Status runSegment(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    Plan plan;
    Status st = readPlan(opt.plan, plan);
    if (!st.ok()) return st;
    if (static_cast<size_t>(opt.segmentOf) != plan.segments.size())
        return Status(kExitUsage, "the plan " + opt.plan + " has " + std::to_string(plan.segments.size()) +
                                      " segments, not " + std::to_string(opt.segmentOf));
    st = checkPlanClip(plan, opt.input);
    if (!st.ok()) return st;
    const Options o = planOptions(opt, plan, opt.segment);
    std::string offset;
    Calibration cal;
    st = findCalibration(o, clip, offset, cal);
    if (st.ok()) st = checkPictureAspect(cal, static_cast<int>(clip.info().width), static_cast<int>(clip.info().height), true);
    if (!st.ok()) return Status(kExitPlan, "the plan's calibration cannot be used: " + st.message());
    const PlanSegment& seg = plan.segments[static_cast<size_t>(opt.segment - 1)];
    console::say("segment %d/%zu: frames %lld-%lld of %s", opt.segment, plan.segments.size(), seg.first,
                 seg.first + seg.count - 1, opt.input.c_str());
    PlannedSegment planned{&plan, opt.segment};
    return render(o, clip, offset, cal, &planned, interrupted);
}

// --join: the segments into one video, with the clip's sound.
Status runJoin(const Options& opt, const std::atomic<bool>& interrupted) {
    Plan plan;
    Status st = readPlan(opt.plan, plan);
    if (!st.ok()) return st;
    std::vector<std::string> ordered, found;
    st = checkSegments(plan, opt.parts, ordered, found);
    if (!st.ok()) return st;
    for (const std::string& line : found) console::say("found %s", line.c_str());
    std::unique_ptr<Clip> clip;
    const std::string clipPath = opt.clip.empty() ? plan.clipPath : opt.clip;
    if (plan.audio || plan.metadata) {
        st = Clip::open(clipPath, clip);
        if (st.ok()) st = checkPlanClip(plan, clipPath);
        if (!st.ok()) return Status(st.code(), st.message() + (opt.clip.empty() ? "; give the clip with --clip" : ""));
        // The sound is encoded as the plan has it: it must be the clip's.
        const _MediaInfo& m = clip->info();
        if (static_cast<unsigned>(plan.audioRate) != m.samplerate || static_cast<unsigned>(plan.audioChannels) != m.channels)
            return Status(kExitPlan, "the plan " + opt.plan + " cannot be used: \"output.audio\" (" +
                                         std::to_string(plan.audioRate) + " Hz, " + std::to_string(plan.audioChannels) +
                                         (plan.audioChannels == 1 ? " channel" : " channels") +
                                         ") is not the clip's sound");
    }
    Output output({opt.output}, opt.overwrite);
    st = output.prepare(clip ? clipPath : ordered.front());
    if (!st.ok()) return st;
    for (const auto& name : output.removedLeftovers())
        console::say("removed %s, left by a run that ended early", name.c_str());
    console::Progress progress(plan.count, "join");
    JoinSpec joining;
    joining.path = output.tempName(0);
    joining.name = opt.output;
    joining.clip = clip.get();
    joining.warn = showWarning;
    joining.frameDone = [&progress] { progress.frameDone(); };
    st = joinSegments(plan, ordered, joining, interrupted);
    progress.end();
    if (!st.ok()) {
        output.abort();
        return console::nothingWritten(st);
    }
    st = output.commit();
    if (!st.ok()) return st;
    console::say("joined %zu segment%s into %s: frames %lld-%lld%s", ordered.size(), ordered.size() == 1 ? "" : "s",
                 opt.output.c_str(), plan.first, plan.first + plan.count - 1,
                 plan.audio ? ", with the clip's sound" : ", without sound");
    return Status();
}

// The clip of any run; a clip cut short is said to be so.

}  // namespace stitcher
