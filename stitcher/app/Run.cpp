#include "Run.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "CalibrationRefine.h"
#include "Clip.h"
#include "ClipCalibration.h"
#include "ColorMatch.h"
#include "DualFisheyeModel.h"
#include "Console.h"
#include "CpuEngine.h"
#include "Engine.h"
#include "GlEngine.h"
#include "Job.h"
#include "Mp4Patch.h"
#include "Output.h"
#include "Pipeline.h"
#include "Reader.h"
#include "MotionFile.h"
#include "MotionPlot.h"
#include "Stabilize.h"
#include "Writers.h"

namespace stitcher {

namespace {

int fail(const Status& s) {
    console::error(s);
    return s.code();
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

// The calibration the run uses: --offset, else the clip's own.
Status findCalibration(const Options& opt, Clip& clip, std::string& offset, Calibration& cal) {
    Status st = opt.haveOffset ? readOffsetOption(opt.offset, offset) : clip.calibration(offset);
    if (!st.ok()) return st;
    st = parseCalibration(offset, cal);
    if (!st.ok())
        return Status(kExitOffset, (opt.haveOffset ? "the --offset calibration cannot be used: "
                                                   : "the clip's calibration cannot be used: ") +
                                       st.message() + (opt.haveOffset ? "" : "; give one with --offset"));
    return Status();
}

std::string engineLine(const Status& st, const EngineChoice& choice) {
    if (!st.ok()) return "none (" + st.message() + ")";
    return std::string(choice.engine->name()) + " (" + choice.why + ")";
}

// Which track a run uses where the clip has several of a kind.
void sayChosenTracks(const std::string& input, const libdec::ClipTracks& tracks) {
    for (const bool video : {true, false}) {
        int count = 0;
        for (const libdec::ClipTrack& t : tracks.tracks) count += t.handler == (video ? "vide" : "soun");
        if (count > 1)
            console::say("%s has %d %s tracks; track %u is %s", input.c_str(), count, video ? "video" : "sound",
                         video ? tracks.video : tracks.sound, video ? "stitched" : "the sound");
    }
}

// Every track of the clip and what the run makes of it.
void printTracks(FILE* o, Clip& clip) {
    const libdec::ClipTracks& tracks = clip.tracks();
    const unsigned int calibration = clip.calibrationTrack();
    std::fprintf(o, "tracks:\n");
    for (const libdec::ClipTrack& t : tracks.tracks) {
        const bool video = t.handler == "vide", sound = t.handler == "soun";
        std::string use = "not used";
        if (video && t.id == tracks.video) use = "stitched";
        if (sound && t.id == tracks.sound)
            use = tracks.soundDecoded                    ? "the sound"
                  : !clip.soundThroughFfmpeg().empty() ? "the sound, decoded through FFmpeg"
                                                        : "the sound, which cannot be decoded";
        if (t.id == calibration) use = "the calibration";
        std::string what = video ? "video" : sound ? "sound" : t.handler;
        if (!t.sampleEntry.empty()) what += " (" + t.sampleEntry + ")";
        if (video) what += " " + std::to_string(t.width) + "x" + std::to_string(t.height);
        std::fprintf(o, "  track %u: %s, %s: %s\n", t.id, what.c_str(), t.enabled ? "enabled" : "disabled", use.c_str());
    }
}

// The clip's video and sound, for --info.
void printMedia(FILE* o, Clip& clip) {
    const _MediaInfo& m = clip.info();
    std::fprintf(o, "clip: %s\n", clip.path().c_str());
    Rational r = frameRate(m.fps);
    std::fprintf(o, "video: H.264 %ux%u, %u frames at %.6g fps (%d/%d), %.3f s\n", m.width, m.height, m.frames, m.fps,
                 r.num, r.den, clip.seconds());
    if (clip.framesLost())
        std::fprintf(o, "  cut short: %lld more frames of the index lie beyond the end of the file\n",
                     clip.framesLost());
    const std::string ffSound = clip.soundThroughFfmpeg();
    if (m.hasAudio)
        std::fprintf(o, "audio: %s %u Hz, %u channel%s, %lld samples, %.3f s%s\n", ffSound.empty() ? "AAC" : ffSound.c_str(),
                     m.samplerate, m.channels, m.channels == 1 ? "" : "s", static_cast<long long>(m.samples),
                     m.samplerate ? static_cast<double>(m.samples) / m.samplerate : 0.0,
                     ffSound.empty() ? "" : " (decoded through FFmpeg, carried over as AAC)");
    else if (!clip.soundProblem().empty())
        std::fprintf(o, "audio: none (%s)\n", clip.soundProblem().c_str());
    else
        std::fprintf(o, "audio: none\n");
}

// The calibration a run would use and what it holds, for --info; fails
// where it cannot be used for this clip.
Status printCalibration(FILE* o, const Options& opt, Clip& clip, std::string& offset, Calibration& cal) {
    const _MediaInfo& m = clip.info();
    Status st = findCalibration(opt, clip, offset, cal);
    if (offset.empty()) {
        std::fprintf(o, "calibration: none found (the clip's tags cannot be read)\n");
        return st;
    }
    std::fprintf(o, "calibration: %s%s\n", offset.c_str(),
                 opt.haveOffset              ? " (from --offset)"
                 : isBuiltInDefault(offset) ? " (the built-in default: the clip names none)"
                                            : "");
    if (st.ok()) st = checkPictureAspect(cal, static_cast<int>(m.width), static_cast<int>(m.height), opt.haveOffset);
    if (!st.ok()) {
        std::fprintf(o, "  not usable for stitching: %s\n", st.message().c_str());
        return st;
    }
    std::fprintf(o, "  image %dx%d, lens code %d (type %d)\n", cal.imageWidth, cal.imageHeight, cal.lensCode,
                 cal.lensType());
    for (int b = 0; b < 2; ++b) {
        const calibration::Lens& l = cal.lens[b];
        std::fprintf(o, "  lens %d: radius %.3f, centre (%.3f, %.3f), yaw %.3f, pitch %.3f, roll %.3f\n", b,
                     l.radius, l.centerX, l.centerY, l.yaw, l.pitch, l.roll);
    }
    const int size = defaultSize(cal, static_cast<int>(m.width));
    const int h264 = capSize(size, Layout::Stitch, videoCap(false));
    if (h264 < size)
        std::fprintf(o, "  default panorama: %dx%d; an H.264 video's %dx%d, the most that many players decode\n",
                     2 * size, size, 2 * h264, h264);
    else
        std::fprintf(o, "  default panorama: %dx%d\n", 2 * size, size);
    return st;
}

// The engine a run would use, and why, for --info.
void printEngine(FILE* o, const Options& opt, const _MediaInfo& m, const std::string& offset, const Calibration& cal) {
    Job job;
    Options probe = opt;
    probe.kind = OutputKind::Picture;  // no frame-rate demand
    Status st = resolveJob(probe, m, offset, cal, job);
    EngineChoice choice;
    if (st.ok()) st = chooseEngine(opt.engine, job.engine, choice, builtEngines());
    std::fprintf(o, "engine: %s\n", engineLine(st, choice).c_str());
}

// --info: what the clip holds and what a run would make of it, nothing written.
int runInfo(const Options& opt, Clip& clip) {
    FILE* o = console::out();
    printMedia(o, clip);
    std::string offset;
    Calibration cal;
    const Status calibrated = printCalibration(o, opt, clip, offset, cal);
    std::string comment = clip.comment();
    std::fprintf(o, "comment: %s\n", comment.empty() ? "(none)" : comment.c_str());
    printTracks(o, clip);
    if (calibrated.ok())
        printEngine(o, opt, clip.info(), offset, cal);
    else
        std::fprintf(o, "engine: none chosen (the calibration cannot be used)\n");
    Status written = console::finishOut();
    return written.ok() ? kExitOk : fail(written);
}

// The clip's pictures for the refinement, read through its own session.
ClipFrames framesOf(Clip& clip) {
    ClipFrames f;
    f.count = clip.info().frames;
    f.width = static_cast<int>(clip.info().width);
    f.height = static_cast<int>(clip.info().height);
    f.read = [&clip](long long number, uint8_t* bgr) { return clip.readFrame(number, bgr); };
    return f;
}

Status cannotRefine(const Status& st) { return Status(st.code(), "cannot refine the calibration: " + st.message()); }

// Refines `offset` from the clip's pictures and says how it went; on
// success `offset` and `cal` are the refined calibration.
Status refine(const Options& opt, Clip& clip, std::string& offset, Calibration& cal) {
    console::say("refining the calibration from %s's pictures...", opt.input.c_str());
    RefineResult r;
    const Status refined = refineClipCalibration(framesOf(clip), offset, r);
    const std::string said = describeRefineResult(r);
    for (size_t at = 0; at < said.size();) {
        const size_t end = std::min(said.find('\n', at), said.size());
        console::say("%s", said.substr(at, end - at).c_str());
        at = end + 1;
    }
    if (!refined.ok()) return cannotRefine(refined);
    if (r.refined()) {
        Status st = parseCalibration(r.offset, cal);
        if (!st.ok()) return Status(kExitOffset, "the refined calibration cannot be used: " + st.message());
        offset = r.offset;
    }
    return Status();
}

// --calibrate: the refined calibration on standard output, nothing written.
int runCalibrate(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    std::string offset;
    Calibration cal;
    Status st = findCalibration(opt, clip, offset, cal);
    if (!st.ok()) return fail(st);
    RefineResult r;
    const Status refined = refineClipCalibration(framesOf(clip), offset, r);
    if (interrupted) return kExitInterrupted;
    std::fprintf(console::out(), "%s\n", describeRefineResult(r).c_str());
    Status written = console::finishOut();
    if (!written.ok()) return fail(written);
    if (!refined.ok()) return fail(cannotRefine(refined));
    return kExitOk;
}

// The calibration a stitch uses, checked against the clip's pictures, and
// refined first where asked.
Status stitchCalibration(const Options& opt, Clip& clip, std::string& offset, Calibration& cal) {
    const _MediaInfo& media = clip.info();
    Status st = findCalibration(opt, clip, offset, cal);
    if (st.ok()) st = checkPictureAspect(cal, static_cast<int>(media.width), static_cast<int>(media.height), opt.haveOffset);
    if (!st.ok()) return st;
    if (!opt.haveOffset && isBuiltInDefault(offset))
        console::warn("%s names no lens calibration: the built-in default is used, which fits only the camera it was "
                      "made for; give this camera's calibration with --offset%s",
                      opt.input.c_str(), opt.refineCalibration ? " (or refine it: see below)" : " or --refine-calibration");
    if (opt.refineCalibration) return refine(opt, clip, offset, cal);
    return Status();
}

// Says where the video's default size was held to what players decode, and
// warns where --size asks for more; what the lenses allow, for -v.
std::string sayVideoCap(const Options& opt, const Job& job) {
    const PictureCap cap = videoCap(opt.hevc);
    const char* codec = opt.hevc ? "HEVC" : "H.264";
    std::string capped;
    if (job.sharpestSize) {
        EngineSpec full = job.engine;
        full.size = job.sharpestSize;
        capped = " (the lenses allow " + std::to_string(full.outWidth()) + "x" + std::to_string(full.outHeight()) + ")";
        console::say("the video is %dx%d: an %s video's default panorama is held to what most players decode%s; "
                     "%s--size asks for more", job.engine.outWidth(), job.engine.outHeight(), codec, capped.c_str(),
                     opt.hevc ? "" : "--codec hevc or ");
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
    vs.spherical = params.layout == Layout::Stitch;
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
    try {
        if (opt.kind == OutputKind::Video)
            return makeVideoSink(output, vs, static_cast<int>(params.outStride()), sink);
        sink = makePictureSink(output, params.outWidth(), params.outHeight(), static_cast<int>(params.outStride()));
        return Status();
    } catch (const std::exception& e) {
        sink.reset();
        return Status(kExitFailed, std::string("out of resources: ") + e.what());
    }
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
    Status st;
    // Nothing may leave before the encoder's thread is joined.
    try {
        st = chooseEngine(opt.engine, job.engine, choice, builtEngines());
    } catch (const std::exception& e) {
        st = Status(kExitFailed, std::string("out of resources: ") + e.what());
    }
    if (opening.joinable()) opening.join();
    if (st.ok() && !sink) st = sinkStatus;
    if (!st.ok()) sink.reset();
    return st;
}

// Colour matching for the stitch, where it is asked for and can run.
std::unique_ptr<ColorMatch> makeColourMatch(const Options& opt, const std::string& offset, const Job& job) {
    if (!opt.colorMatch) return nullptr;
    auto colour = std::make_unique<ColorMatch>();
    const Status st = colour->init(DualFisheyeModel(job.engine.calibration), job.engine.frameWidth, job.engine.frameHeight,
                                   job.fps.num / static_cast<double>(job.fps.den));
    if (st.ok()) return colour;
    console::warn("colour matching is off: %s", st.message().c_str());
    return nullptr;
}

// The frames through the stages, with the progress line (and, when
// verbose, each frame's gains).
Status runPipeline(Pipeline& pipeline, ColorMatch* colour, Engine& engine, const Job& job, FrameSink& sink,
                   console::Progress& progress, PipelineStats& stats) {
    PipelineEvents events;
    events.frameDone = [&progress] { progress.frameDone(); };
    events.end = [&progress] { progress.end(); };
    if (console::verbose())
        events.gains = [](long long frame, const std::string& gains) {
            console::note("frame %lld: %s", frame, gains.c_str());
        };
    return pipeline.run(colour, engine, job.engine, sink, events, stats);
}

// The account of a finished stitch.
void sayDone(const Options& opt, const Job& job, const Engine& engine, const ColorMatch* colour,
             const PipelineStats& stats, const console::Progress& progress, const Reader& reader) {
    const EngineSpec& params = job.engine;
    console::note("busy seconds per stage: decode %.2f, stitch %.2f, encode/write %.2f", stats.readBusy,
                  stats.stitchBusy, stats.writeBusy);
    if (colour) console::note("%s at the last frame", formatGains(colour->gains()).c_str());
    console::Summary done;
    done.frames = stats.done;
    done.width = params.outWidth();
    done.height = params.outHeight();
    done.stereo = params.layout == Layout::Stereo;
    done.seconds = progress.seconds();
    done.engine = engine.name();
    done.output = opt.output;
    done.damaged = reader.damagedFrames();
    console::summary(done);
}

// A stitch: the clip's frames into the output.
int runStitch(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    sayChosenTracks(opt.input, clip.tracks());
    const _MediaInfo& media = clip.info();
    std::string offset;
    Calibration cal;
    Status st = stitchCalibration(opt, clip, offset, cal);
    if (!st.ok()) return fail(st);
    if (opt.refineCalibration && interrupted) return kExitInterrupted;

    Job job;
    st = resolveJob(opt, media, offset, cal, job);
    if (!st.ok()) return fail(st);
    if (!job.audioLeftOut.empty()) console::warn("%s", job.audioLeftOut.c_str());
    if (opt.kind == OutputKind::Video && opt.audio && !clip.soundProblem().empty())
        console::warn("%s", clip.soundProblem().c_str());
    const std::vector<uint8_t> spatialAudio = spatialAudioFor(job, clip);
    const std::string capped = sayVideoCap(opt, job);

    Output output(outputNames(opt, job), opt.overwrite);
    st = output.prepare(opt.input);
    if (!st.ok()) return fail(st);
    for (const auto& name : output.removedLeftovers())
        console::say("removed %s, left by a run that ended early", name.c_str());

    // A stabilised run measures the motion first, in a pass of its own.
    ViewRotations turns;
    Pipeline::RotationOf rotationOf;
    if (stabilizes(opt)) {
        st = planViewRotations(opt, clip, job, interrupted, turns);
        if (!st.ok()) {
            output.abort();
            return st.code() == kExitInterrupted ? kExitInterrupted : fail(st);
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
            return fail(st);
        }
        turns.view.front().toRenderer(job.engine.rotation);
        rotationOf = [&turns](long long frame, float m[4][4]) {
            const long long k = frame - turns.first;
            if (k < 0 || k >= static_cast<long long>(turns.view.size())) return false;
            turns.view[static_cast<size_t>(k)].toRenderer(m);
            return true;
        };
    }

    // Frames are decoded from here on, while the encoder and the engine are made.
    Reader reader(clip, readSpec(job), showWarning);
    Pipeline pipeline(reader, interrupted, rotationOf);
    std::unique_ptr<FrameSink> sink;
    EngineChoice choice;
    st = openSinkAndEngine(opt, job, videoSettings(opt, job, reader.timescale(), spatialAudio), output, sink, choice);
    if (!st.ok()) {
        output.abort();
        return fail(st);
    }
    Engine& engine = *choice.engine;
    const EngineSpec& params = job.engine;
    console::note("%s: %ux%u, frames %lld-%lld at %d/%d fps, calibration %s, panorama %dx%d", opt.input.c_str(),
                  media.width, media.height, job.first, job.first + job.count - 1, job.fps.num, job.fps.den,
                  offset.c_str(), params.outWidth(), params.outHeight());
    if (opt.kind == OutputKind::Video)
        console::note("video: %s, crf %d, preset %s%s", opt.hevc ? "HEVC (x265)" : "H.264 (x264)", opt.crf,
                      opt.preset.c_str(), job.sharpestSize ? (", panorama held to its default cap" + capped).c_str() : "");
    console::note("engine: %s", engineLine(st, choice).c_str());
    const std::unique_ptr<ColorMatch> colour = makeColourMatch(opt, offset, job);

    console::Progress progress(job.count);
    PipelineStats stats;
    st = runPipeline(pipeline, colour.get(), engine, job, *sink, progress, stats);
    sink.reset();
    if (!st.ok()) {
        output.abort();
        if (st.code() == kExitInterrupted) return kExitInterrupted;  // the caller names the signal
        console::error("%s; nothing was written", st.message().c_str());
        return st.code();
    }
    st = output.commit();
    if (!st.ok()) return fail(st);
    sayDone(opt, job, engine, colour.get(), stats, progress, reader);
    if (!turns.summary.empty()) console::say("%s", turns.summary.c_str());
    return kExitOk;
}

// The clip of any run; a clip cut short is said to be so.
Status openClip(const Options& opt, std::unique_ptr<Clip>& clip) {
    Status st = Clip::open(opt.input, clip);
    if (!st.ok()) return st;
    if (clip->framesLost())
        console::warn("%s is cut short: %lld of its frames lie beyond the end of the file and are left out",
                      opt.input.c_str(), clip->framesLost());
    return Status();
}

// One run, in the mode the options name.
int run(const Options& opt, const std::atomic<bool>& interrupted) {
    std::unique_ptr<Clip> clip;
    Status st = openClip(opt, clip);
    if (!st.ok()) return fail(st);
    if (opt.info) return runInfo(opt, *clip);
    if (opt.calibrate) return runCalibrate(opt, *clip, interrupted);
    return runStitch(opt, *clip, interrupted);
}

}  // namespace

int runStitcher(const Options& opt, const std::atomic<bool>& interrupted) {
    try {
        return run(opt, interrupted);
    } catch (const std::exception& e) {
        console::error("out of resources: %s; nothing was written", e.what());
        return kExitFailed;
    }
}

}  // namespace stitcher
