#include "Run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "CalibrationRefine.h"
#include "Clip.h"
#include "ClipHash.h"
#include "ClipCalibration.h"
#include "ClipMetadata.h"
#include "ColorMatch.h"
#include "DualFisheyeModel.h"
#include "Console.h"
#include "CpuEngine.h"
#include "Engine.h"
#include "GlEngine.h"
#include "Job.h"
#include "Join.h"
#include "Mp4Patch.h"
#include "Output.h"
#include "Pipeline.h"
#include "Plan.h"
#include "PlanFrames.h"
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

// The clip's metadata that a video of the job carries.
CarriedMetadata metadataFor(const Options& opt, Clip& clip, const Job& job) {
    return carriedMetadata(clip, job.first, job.count, job.fps,
                           viewIsCamera(opt.yaw, opt.pitch, opt.roll, job.engine.perFrameRotation, opt.displayTurn));
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

// The calibration the run uses: --offset, else the clip's own. `offset`
// receives its text, also where it cannot be used.
Status findCalibration(const Options& opt, Clip& clip, std::string& offset, LensRig& lens) {
    Status st = opt.haveOffset ? readOffsetOption(opt.offset, offset) : clip.calibration(offset);
    if (!st.ok()) return st;
    st = parseCalibration(offset, lens);
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
        if (t.handler == "tmcd") use = "the timecode, carried over";
        if (t.sampleEntry == "camm") use = "the camera's motion, carried over where the view is the camera's";
        std::string what = video ? "video" : sound ? "sound" : t.handler;
        if (!t.sampleEntry.empty()) what += " (" + t.sampleEntry + ")";
        if (video) what += " " + std::to_string(t.width) + "x" + std::to_string(t.height);
        std::fprintf(o, "  track %u: %s, %s: %s\n", t.id, what.c_str(), t.enabled ? "enabled" : "disabled", use.c_str());
    }
}

// An ISO/IEC 23091-2 colour matrix in words.
std::string matrixName(int m) {
    switch (m) {
        case 1: return "BT.709";
        case 4: return "FCC";
        case 5:
        case 6: return "BT.601";
        case 7: return "SMPTE 240M";
        case 9: return "BT.2020";
        case 10: return "BT.2020 constant-luminance";
        default: return "code " + std::to_string(m);
    }
}

const char* colourSource(libdec::ColourSource s) {
    return s == libdec::ColourSource::Stream      ? "from the stream's colour description"
           : s == libdec::ColourSource::Container ? "from the container's colour box"
                                                  : "the players' default: the clip names none";
}

// The turn a player gives the picture, in words.
std::string displayTurnWords(int degrees) {
    if (degrees < 0) return "its display matrix mirrors or distorts the picture";
    return "its display matrix turns the picture " + std::to_string(degrees) + " degrees clockwise";
}

// How the clip's video is shown, for --info.
void printLook(FILE* o, const libdec::VideoLook& l) {
    if (l.colourKnown)
        std::fprintf(o, "  colours: %s matrix (%s), %s range (%s)\n", matrixName(l.matrix).c_str(),
                     colourSource(l.matrixFrom), l.fullRange ? "full" : "limited", colourSource(l.rangeFrom));
    else
        std::fprintf(o, "  colours: unknown (no picture decodes)\n");
    if (l.displayRotation == 180)
        std::fprintf(o, "  shown turned half a turn: %s; it is stitched as shown\n", displayTurnWords(180).c_str());
    else if (l.displayRotation != 0)
        std::fprintf(o, "  turned: %s; it cannot be stitched\n", displayTurnWords(l.displayRotation).c_str());
    if (!l.projection.empty())
        std::fprintf(o, "  already a 360 video (%s projection): it cannot be stitched again\n", l.projection.c_str());
}

// Refuses a clip whose video is not two lens images as a player shows them.
Status checkLook(const std::string& input, const libdec::VideoLook& l) {
    if (!l.projection.empty())
        return Status(kExitInput, input + " is already a 360 video (its video is marked as " + l.projection +
                                      " spherical video): it holds a panorama, not the two lens images, and is not "
                                      "stitched again");
    if (l.displayRotation != 0 && l.displayRotation != 180)
        return Status(kExitInput, input + " cannot be stitched as a player shows it: " + displayTurnWords(l.displayRotation) +
                                      (l.displayRotation > 0 ? ", so that its lens images stand one above the other" : "") +
                                      ", a layout this stitcher does not know");
    return Status();
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
    printLook(o, clip.look());
    const std::string ffSound = clip.soundThroughFfmpeg();
    const Clip::SoundSource& src = clip.soundSource();
    if (m.hasAudio) {
        // The clip's own sound, then what a video made of it carries.
        std::fprintf(o, "audio: %s %d Hz, %d channel%s, %s, %lld samples, %.3f s\n", ffSound.empty() ? "AAC" : ffSound.c_str(),
                     src.rate, src.channels, src.channels == 1 ? "" : "s", src.layout.c_str(),
                     static_cast<long long>(src.samples), src.rate ? static_cast<double>(src.samples) / src.rate : 0.0);
        const std::string leftOut = soundLeftOut(m);
        if (!leftOut.empty())
            std::fprintf(o, "  a video leaves it out: %s\n", leftOut.c_str());
        else {
            const int out = aacChannels(m.channels);
            std::fprintf(o, "  a video carries it over as AAC %u Hz, %d channel%s, %s%s\n", m.samplerate, out,
                         out == 1 ? "" : "s", soundLayoutName(out).c_str(),
                         !ffSound.empty() && src.channels > out ? " (decoded through FFmpeg, mixed down)"
                         : !ffSound.empty()                    ? " (decoded through FFmpeg)"
                         : src.channels > out                  ? " (mixed down)"
                                                               : "");
        }
    } else if (!clip.soundProblem().empty())
        std::fprintf(o, "audio: none (%s)\n", clip.soundProblem().c_str());
    else
        std::fprintf(o, "audio: none\n");
}

// The calibration a run would use and what it holds, for --info; fails
// where it cannot be used for this clip.
Status printCalibration(FILE* o, const Options& opt, Clip& clip, LensRig& lens) {
    const _MediaInfo& m = clip.info();
    std::string offset;
    Status st = findCalibration(opt, clip, offset, lens);
    const Calibration& cal = lens.values();
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
void printEngine(FILE* o, const Options& opt, const _MediaInfo& m, const LensRig& lens) {
    Job job;
    Options probe = opt;
    probe.kind = OutputKind::Picture;  // no frame-rate demand
    Status st = resolveJob(probe, m, lens, job);
    EngineChoice choice;
    if (st.ok()) st = chooseEngine(opt.engine, job.engine, choice, builtEngines());
    std::fprintf(o, "engine: %s\n", engineLine(st, choice).c_str());
}

// --info: what the clip holds and what a run would make of it, nothing written.
int runInfo(const Options& opt, Clip& clip) {
    FILE* o = console::out();
    printMedia(o, clip);
    LensRig lens;
    const Status calibrated = printCalibration(o, opt, clip, lens);
    std::string comment = clip.comment();
    std::fprintf(o, "comment: %s\n", comment.empty() ? "(none)" : comment.c_str());
    printTracks(o, clip);
    Job job;
    Options probe = opt;  // a video of the clip, turned as a run turns it
    probe.kind = OutputKind::Video;
    if (clip.look(false).displayRotation == 180) probe.displayTurn = 180;
    if (calibrated.ok() && resolveJob(probe, clip.info(), lens, job).ok()) {
        const std::vector<std::string> said = describeMetadata(metadataFor(probe, clip, job));
        std::fprintf(o, "metadata:%s\n", said.empty() ? " none to carry over" : "");
        for (const std::string& line : said) std::fprintf(o, "  %s\n", line.c_str());
    }
    if (calibrated.ok())
        printEngine(o, opt, clip.info(), lens);
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

// Refines `lens` from the clip's pictures and says how it went; on
// success `lens` is the refined calibration.
Status refine(const Options& opt, Clip& clip, LensRig& lens) {
    console::say("refining the calibration from %s's pictures...", opt.input.c_str());
    RefineResult r;
    const Status refined = refineClipCalibration(framesOf(clip), lens.text(), r);
    const std::string said = describeRefineResult(r);
    for (size_t at = 0; at < said.size();) {
        const size_t end = std::min(said.find('\n', at), said.size());
        console::say("%s", said.substr(at, end - at).c_str());
        at = end + 1;
    }
    if (!refined.ok()) return cannotRefine(refined);
    if (r.refined()) {
        Status st = parseCalibration(r.offset, lens);
        if (!st.ok()) return Status(kExitOffset, "the refined calibration cannot be used: " + st.message());
    }
    return Status();
}

// Each lens's fall-off, measured on frames spread over [first, first + count - 1].
FalloffEstimator::Result measureFalloff(Clip& clip, const LensRig& lens, long long first, long long count) {
    const _MediaInfo& m = clip.info();
    return estimateFalloff(lens.model(), static_cast<int>(m.width), static_cast<int>(m.height), first, count,
                           [&clip](long long frame, uint8_t* bgr) { return clip.readFrame(frame, bgr); });
}

// The fall-off the stitch undoes: --falloff's, else measured on the clip's
// frames; flat (gains only, said so) where it cannot be measured.
LensFalloff stitchFalloff(const Options& opt, Clip& clip, const Job& job) {
    if (!opt.colorMatch) return LensFalloff();
    if (opt.haveFalloff) {
        console::note("%s, from --falloff", describeFalloff(opt.falloff).c_str());
        return opt.falloff;
    }
    // A lens's fall-off does not change during a clip: measured over all of
    // it, whatever part is stitched.
    const FalloffEstimator::Result f = measureFalloff(clip, job.engine.lens, 1, clip.info().frames);
    if (!f.measured) {
        console::say("colour matching keeps to gains: the lenses' fall-off toward the rim cannot be measured: %s",
                     f.why.c_str());
        return LensFalloff();
    }
    // As its text has it, so that a run given that text (--falloff, a plan's
    // segments) stitches the same bytes.
    const std::string text = formatFalloff(f.falloff);
    LensFalloff used = f.falloff;
    if (!f.falloff.flat() && !parseFalloff(text, used).ok()) used = f.falloff;
    console::note("%s (%s)", describeFalloff(used).c_str(), text.c_str());
    return used;
}

// --calibrate: the refined calibration on standard output, nothing written.
int runCalibrate(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    std::string offset;
    LensRig lens;
    Status st = findCalibration(opt, clip, offset, lens);
    if (!st.ok()) return fail(st);
    RefineResult r;
    const Status refined = refineClipCalibration(framesOf(clip), lens.text(), r);
    if (interrupted) return kExitInterrupted;
    std::fprintf(console::out(), "%s\n", describeRefineResult(r).c_str());
    if (refined.ok()) {
        LensRig used = lens;
        if (r.offset.empty() || parseCalibration(r.offset, used).ok()) {
            const FalloffEstimator::Result f = measureFalloff(clip, used, 1, clip.info().frames);
            if (interrupted) return kExitInterrupted;
            if (f.measured)
                std::fprintf(console::out(), "falloff: %s\n  %s\n", formatFalloff(f.falloff).c_str(),
                             describeFalloff(f.falloff).c_str());
            else
                std::fprintf(console::out(), "falloff: not measured (%s)\n", f.why.c_str());
        }
    }
    Status written = console::finishOut();
    if (!written.ok()) return fail(written);
    if (!refined.ok()) return fail(cannotRefine(refined));
    return kExitOk;
}

// The calibration a stitch uses, checked against the clip's pictures, and
// refined first where asked; the clip's chosen tracks are said first.
Status stitchCalibration(const Options& opt, Clip& clip, LensRig& lens) {
    sayChosenTracks(opt.input, clip.tracks());
    const _MediaInfo& media = clip.info();
    std::string offset;
    Status st = findCalibration(opt, clip, offset, lens);
    if (st.ok()) st = checkPictureAspect(lens.values(), static_cast<int>(media.width), static_cast<int>(media.height), opt.haveOffset);
    if (!st.ok()) return st;
    if (!opt.haveOffset && isBuiltInDefault(offset))
        console::warn("%s names no lens calibration: the built-in default is used, which fits only the camera it was "
                      "made for; give this camera's calibration with --offset%s",
                      opt.input.c_str(), opt.refineCalibration ? " (or refine it: see below)" : " or --refine-calibration");
    if (opt.refineCalibration) return refine(opt, clip, lens);
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
std::unique_ptr<ColorMatch> makeColourMatch(const Options& opt, const Job& job) {
    if (!opt.colorMatch) return nullptr;
    auto colour = std::make_unique<ColorMatch>();
    const Status st = colour->init(job.engine.lens.model(), job.engine.frameWidth, job.engine.frameHeight,
                                   job.fps.num / static_cast<double>(job.fps.den));
    if (st.ok()) {
        colour->setFalloff(job.engine.falloff);
        return colour;
    }
    console::warn("colour matching is off: %s", st.message().c_str());
    return nullptr;
}

// The frames through the stages, with the progress line (and, when
// verbose, each frame's gains).
Status runPipeline(Pipeline& pipeline, FrameGains* colour, Engine& engine, const Job& job, FrameSink& sink,
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

// A segment of a plan that a stitch renders.
struct PlannedSegment {
    const Plan* plan = nullptr;
    int k = 0;  // from 1
};

// The frames of `opt` into its output with the calibration `lens`; for a
// planned segment, with the plan's gains and tagged as its segment.
int render(const Options& opt, Clip& clip, const LensRig& lens,
           const PlannedSegment* segment, const std::atomic<bool>& interrupted);

// A stitch: the clip's frames into the output.
int runStitch(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    LensRig lens;
    Status st = stitchCalibration(opt, clip, lens);
    if (!st.ok()) return fail(st);
    if (opt.refineCalibration && interrupted) return kExitInterrupted;
    return render(opt, clip, lens, nullptr, interrupted);
}

int render(const Options& opt, Clip& clip, const LensRig& lens, const PlannedSegment* segment,
           const std::atomic<bool>& interrupted) {
    const _MediaInfo& media = clip.info();
    Job job;
    Status st = resolveJob(opt, media, lens, job);
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

    job.engine.falloff = stitchFalloff(opt, clip, job);
    if (interrupted) {
        output.abort();
        return kExitInterrupted;
    }

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
    } else if (segment && segment->plan->column("view")) {
        // The plan's view per frame, as the whole clip's analysis left it.
        const Plan& plan = *segment->plan;
        const PlanColumn& view = *plan.column("view");
        job.engine.perFrameRotation = true;
        turns.first = job.first;
        for (long long f = job.first; f < job.first + job.count; ++f) {
            Rot r;
            for (int k = 0; k < 9; ++k) r.m[k / 3][k % 3] = view.at(f - plan.first, k);
            turns.view.push_back(r);
        }
    }
    if (!turns.view.empty()) {
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
    VideoSettings vs = videoSettings(opt, job, reader.timescale(), spatialAudio);
    std::unique_ptr<PlannedGains> planned;
    std::string label;
    if (segment) {
        const Plan& plan = *segment->plan;
        if (reader.timescale() != plan.timescale) {
            output.abort();
            return fail(Status(kExitPlan, "the clip's frame times are not those of the plan"));
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
        return fail(st);
    }
    Engine& engine = *choice.engine;
    const EngineSpec& params = job.engine;
    console::note("%s: %ux%u, frames %lld-%lld at %d/%d fps, calibration %s, panorama %dx%d", opt.input.c_str(),
                  media.width, media.height, job.first, job.first + job.count - 1, job.fps.num, job.fps.den,
                  lens.text().c_str(), params.outWidth(), params.outHeight());
    if (opt.kind == OutputKind::Video)
        console::note("video: %s, crf %d, preset %s%s", opt.hevc ? "HEVC (x265)" : "H.264 (x264)", opt.crf,
                      opt.preset.c_str(), job.sharpestSize ? (", panorama held to its default cap" + capped).c_str() : "");
    console::note("engine: %s", engineLine(st, choice).c_str());
    const std::unique_ptr<ColorMatch> colour = segment ? nullptr : makeColourMatch(opt, job);

    console::Progress progress(job.count, label);
    PipelineStats stats;
    FrameGains* gains = planned ? static_cast<FrameGains*>(planned.get()) : colour.get();
    st = runPipeline(pipeline, gains, engine, job, *sink, progress, stats);
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

// ---- one clip over many machines ----

const char* engineWord(EngineKind k) { return k == EngineKind::Gl ? "gl" : k == EngineKind::Cpu ? "cpu" : "auto"; }

// Refuses a clip whose content is not the plan's.
Status checkPlanClip(const Plan& plan, const std::string& path) {
    std::string hash;
    Status st = clipContentHash(path, hash);
    if (!st.ok()) return st;
    if (hash != plan.clipHash)
        return Status(kExitPlan, path + " is not the clip the plan was made for (" + plan.clipPath +
                                     "): their contents differ");
    return Status();
}

// Writes `text` to the output's file 0 and commits it.
Status writeTextOutput(Output& output, const std::string& text, const std::string& name) {
    FILE* f = std::fopen(output.tempName(0).c_str(), "wb");
    if (!f) return Status(kExitOutput, "cannot write " + name + ": " + std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) return Status(kExitOutput, "cannot write " + name + ": " + std::strerror(errno));
    return output.commit();
}

// --plan-out: what a whole run decides, decided once and written down.
int runPlan(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    LensRig lens;
    Status st = stitchCalibration(opt, clip, lens);
    if (!st.ok()) return fail(st);
    if (interrupted) return kExitInterrupted;
    Job job;
    st = resolveJob(opt, clip.info(), lens, job);
    if (!st.ok()) return fail(st);
    if (job.count < opt.segments)
        return fail(Status(kExitUsage, std::to_string(opt.segments) + " segments need at least as many frames; the "
                                           "range has " + std::to_string(job.count)));
    if (!job.audioLeftOut.empty()) console::warn("%s", job.audioLeftOut.c_str());
    if (opt.audio && !clip.soundProblem().empty()) console::warn("%s", clip.soundProblem().c_str());
    sayVideoCap(opt, job);

    Plan plan;
    plan.clipPath = opt.input;
    plan.clipFrames = clip.info().frames;
    st = clipContentHash(opt.input, plan.clipHash);
    if (!st.ok()) return fail(st);
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
    if (!st.ok()) return fail(st);

    // The fall-off that the segments' engines will undo (the motion analysis
    // and the gains are measured with it, as in a whole run).
    job.engine.falloff = stitchFalloff(opt, clip, job);
    if (!job.engine.falloff.flat()) plan.falloff = formatFalloff(job.engine.falloff);
    if (interrupted) return kExitInterrupted;

    // A stabilised plan: every frame's view, from one analysis of the whole range.
    if (stabilizes(opt)) {
        ViewRotations turns;
        st = planViewRotations(opt, clip, job, interrupted, turns);
        if (st.code() == kExitInterrupted) return kExitInterrupted;
        if (!st.ok()) return fail(st);
        PlanColumn& view = plan.frames["view"];
        view.width = 9;
        for (const Rot& r : turns.view)
            for (int k = 0; k < 9; ++k) view.values.push_back(r.m[k / 3][k % 3]);
        if (!turns.summary.empty()) console::say("%s", turns.summary.c_str());
    }

    // Every frame's time, and its gains as a whole run measures them.
    std::unique_ptr<ColorMatch> colour = makeColourMatch(opt, job);
    plan.colorMatch = colour != nullptr;
    if (!plan.colorMatch) plan.falloff.clear();  // undone with the gains only: a segment without them takes none
    FrameMeasuring how;
    how.range = readSpec(job);
    how.model = &job.engine.lens.model();
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
    if (st.code() == kExitInterrupted) return kExitInterrupted;
    if (!st.ok()) return fail(st);
    st = writeTextOutput(output, planToJson(plan), opt.planOut);
    if (!st.ok()) return fail(st);
    console::say("plan written to %s: frames %lld-%lld, %dx%d, %zu segment%s", opt.planOut.c_str(), plan.first,
                 plan.first + plan.count - 1, job.engine.outWidth(), job.engine.outHeight(), plan.segments.size(),
                 plan.segments.size() == 1 ? "" : "s");
    return kExitOk;
}

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

// --plan --segment K/N: one segment as the plan has it.
int runSegment(const Options& opt, Clip& clip, const std::atomic<bool>& interrupted) {
    Plan plan;
    Status st = readPlan(opt.plan, plan);
    if (!st.ok()) return fail(st);
    if (static_cast<size_t>(opt.segmentOf) != plan.segments.size())
        return fail(Status(kExitUsage, "the plan " + opt.plan + " has " + std::to_string(plan.segments.size()) +
                                           " segments, not " + std::to_string(opt.segmentOf)));
    st = checkPlanClip(plan, opt.input);
    if (!st.ok()) return fail(st);
    const Options o = planOptions(opt, plan, opt.segment);
    std::string offset;
    LensRig lens;
    st = findCalibration(o, clip, offset, lens);
    if (st.ok()) st = checkPictureAspect(lens.values(), static_cast<int>(clip.info().width), static_cast<int>(clip.info().height), true);
    if (!st.ok()) return fail(Status(kExitPlan, "the plan's calibration cannot be used: " + st.message()));
    const PlanSegment& seg = plan.segments[static_cast<size_t>(opt.segment - 1)];
    console::say("segment %d/%zu: frames %lld-%lld of %s", opt.segment, plan.segments.size(), seg.first,
                 seg.first + seg.count - 1, opt.input.c_str());
    PlannedSegment planned{&plan, opt.segment};
    return render(o, clip, lens, &planned, interrupted);
}

// --join: the segments into one video, with the clip's sound.
int runJoin(const Options& opt, const std::atomic<bool>& interrupted) {
    Plan plan;
    Status st = readPlan(opt.plan, plan);
    if (!st.ok()) return fail(st);
    std::vector<std::string> ordered, found;
    st = checkSegments(plan, opt.parts, ordered, found);
    if (!st.ok()) return fail(st);
    for (const std::string& line : found) console::say("found %s", line.c_str());
    std::unique_ptr<Clip> clip;
    const std::string clipPath = opt.clip.empty() ? plan.clipPath : opt.clip;
    if (plan.audio || plan.metadata) {
        st = Clip::open(clipPath, clip);
        if (st.ok()) st = checkPlanClip(plan, clipPath);
        if (!st.ok()) return fail(Status(st.code(), st.message() + (opt.clip.empty() ? "; give the clip with --clip" : "")));
        // The sound is encoded as the plan has it: it must be the clip's.
        const _MediaInfo& m = clip->info();
        if (static_cast<unsigned>(plan.audioRate) != m.samplerate || static_cast<unsigned>(plan.audioChannels) != m.channels)
            return fail(Status(kExitPlan, "the plan " + opt.plan + " cannot be used: \"output.audio\" (" +
                                              std::to_string(plan.audioRate) + " Hz, " + std::to_string(plan.audioChannels) +
                                              (plan.audioChannels == 1 ? " channel" : " channels") +
                                              ") is not the clip's sound"));
    }
    Output output({opt.output}, opt.overwrite);
    st = output.prepare(clip ? clipPath : ordered.front());
    if (!st.ok()) return fail(st);
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
        if (st.code() == kExitInterrupted) return kExitInterrupted;
        console::error("%s; nothing was written", st.message().c_str());
        return st.code();
    }
    st = output.commit();
    if (!st.ok()) return fail(st);
    console::say("joined %zu segment%s into %s: frames %lld-%lld%s", ordered.size(), ordered.size() == 1 ? "" : "s",
                 opt.output.c_str(), plan.first, plan.first + plan.count - 1,
                 plan.audio ? ", with the clip's sound" : ", without sound");
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
    if (opt.join) return runJoin(opt, interrupted);
    std::unique_ptr<Clip> clip;
    Status st = openClip(opt, clip);
    if (!st.ok()) return fail(st);
    if (opt.info) return runInfo(opt, *clip);
    const libdec::VideoLook look = clip->look(false);
    st = checkLook(opt.input, look);
    if (!st.ok()) return fail(st);
    Options o = opt;
    if (look.displayRotation == 180) {
        o.displayTurn = 180;
        console::say("%s is shown turned half a turn (%s): it is stitched as shown", opt.input.c_str(),
                     displayTurnWords(180).c_str());
    }
    if (o.calibrate) return runCalibrate(o, *clip, interrupted);
    if (!o.planOut.empty()) return runPlan(o, *clip, interrupted);
    if (o.segment) return runSegment(o, *clip, interrupted);
    return runStitch(o, *clip, interrupted);
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
