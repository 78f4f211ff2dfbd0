#include "Info.h"

#include <algorithm>
#include <cstdio>

#include "Calibrate.h"
#include "ClipMetadata.h"
#include "Console.h"
#include "Job.h"
#include "SoundLayout.h"
#include "Stitch.h"
#include "Writers.h"

namespace stitcher {

namespace {

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

const char* colorSource(libdec::ColorSource s) {
    return s == libdec::ColorSource::Stream      ? "from the stream's colour description"
           : s == libdec::ColorSource::Container ? "from the container's colour box"
                                                  : "the players' default: the clip names none";
}

// How the clip's video is shown, for --info.
void printLook(FILE* o, const libdec::VideoLook& l) {
    if (l.colorKnown)
        std::fprintf(o, "  colours: %s matrix (%s), %s range (%s)\n", matrixName(l.matrix).c_str(),
                     colorSource(l.matrixFrom), l.fullRange ? "full" : "limited", colorSource(l.rangeFrom));
    else
        std::fprintf(o, "  colours: unknown (no picture decodes)\n");
    if (l.displayRotation == 180)
        std::fprintf(o, "  shown turned half a turn: %s; it is stitched as shown\n", displayTurnWords(180).c_str());
    else if (l.displayRotation != 0)
        std::fprintf(o, "  turned: %s; it cannot be stitched\n", displayTurnWords(l.displayRotation).c_str());
    if (!l.projection.empty())
        std::fprintf(o, "  already a 360 video (%s projection): it cannot be stitched again\n", l.projection.c_str());
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
    const double lit = clipLitBesideTheLenses(clip, cal);
    if (lit > kLitBesideLensImages)
        std::fprintf(o, "  %.0f%% of the picture clear of the lens circles is lit, where the lenses cast no light: it "
                     "does not look like two lens images\n",
                     100.0 * lit);
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
    // The CPU engine runs wherever its table fits in memory: made small here,
    // it answers the same in a moment where a 5.7K table would take seconds.
    EngineMakers makers = builtEngines();
    makers.cpu = [full = makers.cpu](const EngineSpec& setup, std::unique_ptr<Engine>& engine) {
        EngineSpec small = setup;
        small.size = std::min(small.size, 64);
        small.view.width = std::min(small.view.width, 64);
        small.view.height = std::min(small.view.height, 64);
        return full(small, engine);
    };
    EngineChoice choice;
    if (st.ok()) st = chooseEngine(opt.engine, job.engine, choice, makers);
    std::fprintf(o, "engine: %s\n", engineLine(st, choice).c_str());
}

}  // namespace

// The turn a player gives the picture, in words.
std::string displayTurnWords(int degrees) {
    if (degrees < 0) return "its display matrix mirrors or distorts the picture";
    return "its display matrix turns the picture " + std::to_string(degrees) + " degrees clockwise";
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

// --info: what the clip holds and what a run would make of it, nothing written.
Status runInfo(const Options& opt, Clip& clip) {
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
    return console::finishOut();
}

}  // namespace stitcher
