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
    make.gl = [](const EngineSpec& s, std::string& e, std::string* r) { return makeGlEngine(s, e, r); };
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

int printInfo(const Options& opt, Clip& clip) {
    const _MediaInfo& m = clip.info();
    FILE* o = console::out();
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

    std::string offset;
    Calibration cal;
    Status calStatus = findCalibration(opt, clip, offset, cal);
    if (offset.empty()) {
        std::fprintf(o, "calibration: none found (the clip's tags cannot be read)\n");
    } else {
        std::fprintf(o, "calibration: %s%s\n", offset.c_str(),
                     opt.haveOffset              ? " (from --offset)"
                     : isBuiltInDefault(offset) ? " (the built-in default: the clip names none)"
                                                : "");
        if (calStatus.ok())
            calStatus = checkPictureAspect(cal, static_cast<int>(m.width), static_cast<int>(m.height), opt.haveOffset);
        if (calStatus.ok()) {
            std::fprintf(o, "  image %dx%d, lens code %d (type %d)\n", cal.imageWidth, cal.imageHeight,
                         cal.lensCode, cal.lensType());
            for (int b = 0; b < 2; ++b) {
                const calibration::Lens& l = cal.lens[b];
                std::fprintf(o, "  lens %d: radius %.3f, centre (%.3f, %.3f), yaw %.3f, pitch %.3f, roll %.3f\n", b,
                             l.radius, l.centerX, l.centerY, l.yaw, l.pitch, l.roll);
            }
            const int size = defaultSize(cal, static_cast<int>(m.width));
            std::fprintf(o, "  default panorama: %dx%d\n", 2 * size, size);
        } else {
            std::fprintf(o, "  not usable for stitching: %s\n", calStatus.message().c_str());
        }
    }
    std::string comment = clip.comment();
    std::fprintf(o, "comment: %s\n", comment.empty() ? "(none)" : comment.c_str());
    printTracks(o, clip);

    if (calStatus.ok()) {
        Job job;
        Options probe = opt;
        probe.kind = OutputKind::Picture;  // no frame-rate demand
        Status st = resolveJob(probe, m, offset, cal, job);
        EngineChoice choice;
        if (st.ok()) st = chooseEngine(opt.engine, job.engine, choice, builtEngines());
        std::fprintf(o, "engine: %s\n", engineLine(st, choice).c_str());
    } else {
        std::fprintf(o, "engine: none chosen (the calibration cannot be used)\n");
    }
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

// Refines `offset` from the clip's pictures and says how it went; on
// success `offset` and `cal` are the refined calibration.
Status refine(const Options& opt, Clip& clip, std::string& offset, Calibration& cal) {
    console::say("refining the calibration from %s's pictures...", opt.input.c_str());
    const RefineResult r = refineClipCalibration(framesOf(clip), offset);
    const std::string said = describeRefineResult(r);
    for (size_t at = 0; at < said.size();) {
        const size_t end = std::min(said.find('\n', at), said.size());
        console::say("%s", said.substr(at, end - at).c_str());
        at = end + 1;
    }
    if (r.status == RefineStatus::BadInput) return Status(kExitOffset, "cannot refine the calibration: " + r.reason);
    if (r.refined()) {
        Status st = parseCalibration(r.offset, cal);
        if (!st.ok()) return Status(kExitOffset, "the refined calibration cannot be used: " + st.message());
        offset = r.offset;
    }
    return Status();
}

// --calibrate: the refined calibration on standard output, nothing written.
int calibrate(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    std::string offset;
    Calibration cal;
    Status st = findCalibration(opt, clip, offset, cal);
    if (!st.ok()) return fail(st);
    const RefineResult r = refineClipCalibration(framesOf(clip), offset);
    if (interrupted) return kExitInterrupted;
    std::fprintf(console::out(), "%s\n", describeRefineResult(r).c_str());
    Status written = console::finishOut();
    if (!written.ok()) return fail(written);
    if (r.status == RefineStatus::BadInput) return fail(Status(kExitOffset, "cannot refine the calibration: " + r.reason));
    return kExitOk;
}

int stitch(const Options& opt, const std::atomic<bool>& interrupted) {
    std::unique_ptr<Clip> clip;
    Status st = Clip::open(opt.input, clip);
    if (!st.ok()) return fail(st);
    if (clip->framesLost())
        console::warn("%s is cut short: %lld of its frames lie beyond the end of the file and are left out",
                      opt.input.c_str(), clip->framesLost());
    if (opt.info) return printInfo(opt, *clip);
    if (opt.calibrate) return calibrate(opt, *clip, interrupted);
    sayChosenTracks(opt.input, clip->tracks());
    const _MediaInfo& media = clip->info();

    std::string offset;
    Calibration cal;
    st = findCalibration(opt, *clip, offset, cal);
    if (st.ok()) st = checkPictureAspect(cal, static_cast<int>(media.width), static_cast<int>(media.height), opt.haveOffset);
    if (!st.ok()) return fail(st);
    if (!opt.haveOffset && isBuiltInDefault(offset))
        console::warn("%s names no lens calibration: the built-in default is used, which fits only the camera it was "
                      "made for; give this camera's calibration with --offset%s",
                      opt.input.c_str(), opt.refineCalibration ? " (or refine it: see below)" : " or --refine-calibration");
    if (opt.refineCalibration) {
        st = refine(opt, *clip, offset, cal);
        if (!st.ok()) return fail(st);
        if (interrupted) return kExitInterrupted;
    }

    Job job;
    st = resolveJob(opt, media, offset, cal, job);
    if (!st.ok()) return fail(st);
    if (!job.audioLeftOut.empty()) console::warn("%s", job.audioLeftOut.c_str());
    if (opt.kind == OutputKind::Video && opt.audio && !clip->soundProblem().empty())
        console::warn("%s", clip->soundProblem().c_str());

    std::vector<uint8_t> spatialAudio;
    if (job.audio) {
        spatialAudio = clip->spatialAudio();
        if (!spatialAudio.empty() && spatialAudioChannels(spatialAudio) != static_cast<uint32_t>(job.audioChannels)) {
            console::warn("the clip's spatial sound names %u channels, its sound has %d; the video's sound is not "
                          "marked as spatial", spatialAudioChannels(spatialAudio), job.audioChannels);
            spatialAudio.clear();
        }
    }

    Output output(outputNames(opt, job), opt.overwrite);
    st = output.prepare(opt.input);
    if (!st.ok()) return fail(st);
    for (const auto& name : output.removedLeftovers())
        console::say("removed %s, left by a run that ended early", name.c_str());

    // Frames are decoded from here on, while the encoder and the engine are made.
    Reader reader(*clip, readSpec(job), showWarning);
    Pipeline pipeline(reader, interrupted);

    const EngineSpec& params = job.engine;
    // A video's encoder opens on a thread of its own while the engine is
    // made: both take a while, and the engine's set-up leaves cores idle.
    std::unique_ptr<FrameSink> sink;
    Status sinkStatus;
    auto openSink = [&] {
        try {
            if (opt.kind == OutputKind::Video) {
                VideoSettings vs;
                vs.width = params.outWidth();
                vs.height = params.outHeight();
                vs.fpsNum = job.fps.num;
                vs.fpsDen = job.fps.den;
                vs.timescale = reader.timescale();  // each frame keeps its own time
                vs.crf = opt.crf;
                vs.preset = opt.preset;
                vs.spherical = params.layout == Layout::Stitch;
                if (job.audio) {
                    vs.audioRate = job.audioRate;
                    vs.audioChannels = job.audioChannels;
                    vs.audioSpatialBox = spatialAudio;
                }
                vs.warn = showWarning;
                sink = makeVideoSink(output, vs, static_cast<int>(params.outStride()), sinkStatus);
            } else {
                sink = makePictureSink(output, params.outWidth(), params.outHeight(),
                                       static_cast<int>(params.outStride()));
            }
        } catch (const std::exception& e) {
            sink.reset();
            sinkStatus = Status(kExitFailed, std::string("out of resources: ") + e.what());
        }
    };
    std::thread opening;
    try {
        opening = std::thread(openSink);
    } catch (const std::exception&) {
        openSink();  // no thread to be had: one after the other
    }

    EngineChoice choice;
    // Nothing may leave before the encoder's thread is joined.
    try {
        st = chooseEngine(opt.engine, job.engine, choice, builtEngines());
    } catch (const std::exception& e) {
        st = Status(kExitFailed, std::string("out of resources: ") + e.what());
    }
    if (opening.joinable()) opening.join();
    if (!st.ok() || !sink) {
        sink.reset();
        output.abort();
        return fail(st.ok() ? sinkStatus : st);
    }
    Engine& engine = *choice.engine;
    console::note("%s: %ux%u, frames %lld-%lld at %d/%d fps, calibration %s, panorama %dx%d", opt.input.c_str(),
                  media.width, media.height, job.first, job.first + job.count - 1, job.fps.num, job.fps.den,
                  offset.c_str(), params.outWidth(), params.outHeight());
    console::note("engine: %s", engineLine(st, choice).c_str());

    std::unique_ptr<ColorMatch> colour;
    if (opt.colorMatch) {
        colour = std::make_unique<ColorMatch>();
        std::string why;
        if (!colour->init(DualFisheyeModel(params.calibration), params.frameWidth, params.frameHeight, job.fps.num / static_cast<double>(job.fps.den), &why)) {
            console::warn("colour matching is off: %s", why.c_str());
            colour.reset();
        }
    }

    console::Progress progress(job.count);
    PipelineStats stats;
    PipelineEvents events;
    events.frameDone = [&progress] { progress.frameDone(); };
    events.end = [&progress] { progress.end(); };
    if (console::verbose())
        events.gains = [](long long frame, const std::string& gains) {
            console::note("frame %lld: %s", frame, gains.c_str());
        };
    st = pipeline.run(colour.get(), engine, params, *sink, events, stats);
    sink.reset();
    if (!st.ok()) {
        output.abort();
        if (st.code() == kExitInterrupted) return kExitInterrupted;  // the caller names the signal
        console::error("%s; nothing was written", st.message().c_str());
        return st.code();
    }
    st = output.commit();
    if (!st.ok()) return fail(st);

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
    return kExitOk;
}

}  // namespace

int runStitcher(const Options& opt, const std::atomic<bool>& interrupted) {
    try {
        return stitch(opt, interrupted);
    } catch (const std::exception& e) {
        console::error("out of resources: %s; nothing was written", e.what());
        return kExitFailed;
    }
}

}  // namespace stitcher
