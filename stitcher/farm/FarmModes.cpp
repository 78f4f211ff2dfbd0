#include "FarmModes.h"

#include <algorithm>
#include <thread>

#include "ClipHash.h"
#include "DualFisheyeModel.h"
#include "Join.h"
#include "Output.h"
#include "PlanFrames.h"

namespace stitcher {

namespace {

std::string plural(size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

std::string frames(long long first, long long count) {
    return "frames " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

Status interruptedRun() { return Status(kExitInterrupted, "interrupted"); }

void begin(const FarmEvents& events, long long total, const char* label, bool rated) {
    if (events.begin) events.begin(total, label, rated);
}

void end(const FarmEvents& events) {
    if (events.end) events.end();
}

}  // namespace

Status makePlan(const PlanSettings& settings, Clip& clip, const PlanSteps& steps, const FarmEvents& events,
                const std::atomic<bool>& interrupted) {
    PlanJob job;
    Status st = steps.resolve(job);
    if (!st.ok()) return st;
    Plan& plan = job.plan;
    if (plan.count < settings.segments)
        return Status(kExitUsage, std::to_string(settings.segments) + " segments need at least as many frames; the "
                                      "range has " + std::to_string(plan.count));
    steps.sayJob();

    plan.clipPath = settings.input;
    plan.clipFrames = clip.info().frames;
    st = clipContentHash(settings.input, plan.clipHash);
    if (!st.ok()) return st;
    steps.carried(plan);
    plan.segments = splitRange(plan.first, plan.count, settings.segments);

    Output output({settings.planOut}, settings.overwrite);
    st = output.prepare(settings.input);
    if (!st.ok()) return st;

    // The fall-off that the segments' engines will undo (the motion analysis
    // and the gains are measured with it, as in a whole run).
    const LensFalloff falloff = steps.falloff();
    if (!falloff.flat()) plan.falloff = formatFalloff(falloff);
    if (interrupted) return interruptedRun();

    // A stabilised plan: every frame's view, from one analysis of the whole range.
    if (steps.view) {
        std::string summary;
        PlanColumn& view = plan.frames["view"];
        view.width = 9;
        PlanColumn fov;
        st = steps.view(view, fov, summary);
        if (!st.ok()) return st;
        if (!fov.values.empty()) plan.frames["fov"] = std::move(fov);
        if (!summary.empty()) events.say(summary);
    }

    // Every frame's time, and its gains as a whole run measures them.
    std::unique_ptr<ColorMatch> color = steps.color();
    plan.colorMatch = color != nullptr;
    if (!plan.colorMatch) plan.falloff.clear();  // undone with the gains only: a segment without them takes none
    FrameMeasuring how;
    how.range = job.range;
    how.model = &job.lens.model();
    how.color = color.get();
    how.falloff = falloff;
    how.size = plan.size;
    how.seams = planSeamSettings(plan, 1);
    std::string seamReport;
    how.seamReport = &seamReport;
    how.threads = settings.threads ? settings.threads
                                   : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    how.warn = events.warn;
    events.say("planning " + std::to_string(plan.count) + " frames of " + settings.input + " in " +
               plural(plan.segments.size(), "segment") +
               (color && plan.seam == "auto" ? " (measuring the seams, then the colour gains)"
                : color                      ? " (measuring the colour gains)"
                : plan.seam == "auto"        ? " (measuring the seams)"
                                             : ""));
    // Without colour matching or seams measured a frame's time is all that is read: no rate.
    begin(events, plan.count * planFramePasses(plan, how), "plan", color != nullptr || plan.seam == "auto");
    how.frameDone = [&events] {
        if (events.frameDone) events.frameDone();
    };
    st = measurePlanFrames(clip, how, interrupted, plan);
    end(events);
    if (!st.ok()) return st;
    if (!seamReport.empty()) events.say(seamReport);
    st = writePlan(plan, output.tempName(0), settings.planOut);
    if (st.ok()) st = output.commit();
    if (!st.ok()) return st;
    events.say("plan written to " + settings.planOut + ": " + frames(plan.first, plan.count) + ", " +
               std::to_string(job.outWidth) + "x" + std::to_string(job.outHeight) + ", " +
               plural(plan.segments.size(), "segment"));
    return Status();
}

Status stitchSegment(const SegmentSettings& settings, const SegmentSteps& steps, const FarmEvents& events) {
    Plan plan;
    Status st = readPlan(settings.plan, plan);
    if (!st.ok()) return st;
    if (static_cast<size_t>(settings.segmentOf) != plan.segments.size())
        return Status(kExitUsage, "the plan " + settings.plan + " has " + std::to_string(plan.segments.size()) +
                                      " segments, not " + std::to_string(settings.segmentOf));
    st = checkPlanClip(plan, settings.input);
    if (!st.ok()) return st;
    st = steps.prepare(plan, settings.segment);
    if (!st.ok()) return Status(kExitPlan, "the plan's calibration cannot be used: " + st.message());
    const PlanSegment& seg = plan.segments[static_cast<size_t>(settings.segment - 1)];
    events.say("segment " + std::to_string(settings.segment) + "/" + std::to_string(plan.segments.size()) + ": " +
               frames(seg.first, seg.count) + " of " + settings.input);
    return steps.render(plan, settings.segment);
}

Status joinPlan(const JoinSettings& settings, const FarmEvents& events, const std::atomic<bool>& interrupted) {
    Plan plan;
    Status st = readPlan(settings.plan, plan);
    if (!st.ok()) return st;
    std::vector<std::string> ordered, found;
    st = checkSegments(plan, settings.parts, ordered, found);
    if (!st.ok()) return st;
    for (const std::string& line : found) events.say("found " + line);
    std::unique_ptr<Clip> clip;
    const std::string clipPath = settings.clip.empty() ? plan.clipPath : settings.clip;
    if (plan.audio || plan.metadata) {
        st = Clip::open(clipPath, clip);
        if (st.ok()) st = checkPlanClip(plan, clipPath);
        if (!st.ok())
            return Status(st.code(), st.message() + (settings.clip.empty() ? "; give the clip with --clip" : ""));
        // The sound is encoded as the plan has it: it must be the clip's.
        const _MediaInfo& m = clip->info();
        if (static_cast<unsigned>(plan.audioRate) != m.samplerate || static_cast<unsigned>(plan.audioChannels) != m.channels)
            return Status(kExitPlan, "the plan " + settings.plan + " cannot be used: \"output.audio\" (" +
                                         std::to_string(plan.audioRate) + " Hz, " + std::to_string(plan.audioChannels) +
                                         (plan.audioChannels == 1 ? " channel" : " channels") +
                                         ") is not the clip's sound");
    }
    Output output({settings.output}, settings.overwrite);
    st = output.prepare(clip ? clipPath : ordered.front());
    if (!st.ok()) return st;
    for (const auto& name : output.removedLeftovers())
        events.say("removed " + name + ", left by a run that ended early");
    begin(events, plan.count, "join", true);
    JoinSpec joining;
    joining.path = output.tempName(0);
    joining.name = settings.output;
    joining.clip = clip.get();
    joining.warn = events.warn;
    joining.frameDone = [&events] {
        if (events.frameDone) events.frameDone();
    };
    st = joinSegments(plan, ordered, joining, interrupted);
    end(events);
    if (!st.ok()) {
        output.abort();
        if (st.code() == kExitInterrupted) return st;
        return Status(st.code(), st.message() + "; nothing was written");
    }
    st = output.commit();
    if (!st.ok()) return st;
    events.say("joined " + plural(ordered.size(), "segment") + " into " + settings.output + ": " +
               frames(plan.first, plan.count) + (plan.audio ? ", with the clip's sound" : ", without sound"));
    return Status();
}

}  // namespace stitcher
