#include "Clip.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libdec_internal.h"

namespace stitcher {

namespace {

// Why the reader refused a regular file, in the stitcher's words.
Status refusal(const std::string& path, const libdec::ClipOpening& o) {
    using libdec::ClipRefusal;
    switch (o.refusal) {
        case ClipRefusal::NotMp4:
            if (o.containerKind.empty()) return Status(kExitInput, "cannot read " + path + ": not an MP4 clip");
            return Status(kExitInput, "cannot read " + path + ": not an MP4 file (it is " + o.containerKind +
                                          "); the clip reader takes MP4 only: rewrite it first, for example with "
                                          "ffmpeg -i " + path + " -c copy out.mp4");
        case ClipRefusal::Fragmented:
            return Status(kExitInput, "cannot read " + path +
                                          ": it is a fragmented MP4 (its frames are in movie fragments, which the "
                                          "clip reader does not take); rewrite it as a plain MP4 first, for example "
                                          "with ffmpeg -i in.mp4 -c copy out.mp4");
        case ClipRefusal::NoVideo: return Status(kExitInput, path + " has no video track");
        case ClipRefusal::VideoNotH264:
            return Status(kExitInput, path + ": its main video is not H.264 (" + o.videoCodec +
                                          "); the stitcher reads H.264 only");
        default: return Status(kExitInput, "cannot read " + path + ": " + o.reason);
    }
}

// The usual rate of the shown frames: from the intervals between them that
// are near their median (a pause or a burst is not the rate; the intervals
// of a rate the timescale cannot give exactly are averaged); one frame: its
// own length. 0 without timing.
double usualRate(const libdec::PresentationTimeline& t) {
    if (t.timescale == 0 || t.frames.empty()) return 0.0;
    std::vector<long long> steps;
    for (size_t i = 1; i < t.frames.size(); ++i)
        if (t.frames[i].time > t.frames[i - 1].time) steps.push_back(t.frames[i].time - t.frames[i - 1].time);
    if (steps.empty()) {
        long long last = t.end - t.frames.back().time;
        return last > 0 ? static_cast<double>(t.timescale) / last : 0.0;
    }
    std::sort(steps.begin(), steps.end());
    const long long median = steps[steps.size() / 2];
    double sum = 0;
    size_t count = 0;
    for (long long s : steps)
        if (2 * s >= median && 2 * s <= 3 * median) {
            sum += static_cast<double>(s);
            ++count;
        }
    return static_cast<double>(t.timescale) * static_cast<double>(count) / sum;
}

}  // namespace

Clip::~Clip() {
    if (handle_) PRDClose(handle_);
}

Status Clip::open(const std::string& path, std::unique_ptr<Clip>& clip) {
    clip.reset();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Status(kExitInput, "cannot open " + path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return Status(kExitInput, path + " is a folder, not a clip");
    // A named pipe would block the reader (and could not be read twice).
    if (!S_ISREG(st.st_mode))
        return Status(kExitInput, path + " is not a regular file (a named pipe, device or socket); the stitcher "
                                         "reads clips from files only");
    if (::access(path.c_str(), R_OK) != 0)
        return Status(kExitInput, "cannot read " + path + ": " + std::strerror(errno));

    std::unique_ptr<Clip> c(new Clip);
    c->path_ = path;
    libdec::ClipOpening opening;
    c->handle_ = libdec::OpenClip(path.c_str(), opening);
    if (!c->handle_) return refusal(path, opening);
    // A seek forward (a sampling of the clip, a later start) need not decode
    // the pictures it passes over that nothing refers to.
    libdec::SkipPassedPictures(c->handle_, true);
    // Nor decode a whole group before a key picture asked for (a stretch of
    // a plan starts at one).
    libdec::SeekFromOwnGroup(c->handle_, true);
    PRDGetMediaInfo(c->handle_, c->info_);
    if (!c->info_.hasVideo || c->info_.frames == 0 || c->info_.width == 0 || c->info_.height == 0)
        return Status(kExitInput, path + " has no video track");
    if (opening.indexedSamples > opening.samplesInFile) c->framesLost_ = opening.indexedSamples - opening.samplesInFile;
    libdec::GetClipTracks(c->handle_, c->tracks_);
    // No AAC channel configuration has 7 channels: only a program config
    // element gives them (6.1), and the reader does not lay its channels out
    // in FFmpeg's order, which FFmpeg's own decoder does.
    const bool sixOne = c->tracks_.soundDecoded && c->info_.hasAudio && c->info_.channels == 7;
    if (c->tracks_.sound && (!c->tracks_.soundDecoded || sixOne)) {
        // Sound the reader does not decode (MP3, Opus, PCM, ...) comes through FFmpeg.
        const Status decoded = FfAudio::open(path, c->tracks_.sound, c->ffAudio_);
        if (sixOne && !decoded.ok()) {
            // The reader's own decoding stands.
        } else if (decoded.ok()) {
            c->info_.hasAudio = 1;
            c->info_.samplerate = static_cast<uint32_t>(c->ffAudio_->rate());
            c->info_.channels = static_cast<uint8_t>(c->ffAudio_->channels());
            c->info_.samples = c->ffAudio_->samples();
            c->soundSource_ = {c->ffAudio_->sourceRate(), c->ffAudio_->sourceChannels(), c->ffAudio_->sourceLayout(),
                               c->ffAudio_->sourceSamples()};
        } else {
            std::string entry;
            for (const libdec::ClipTrack& t : c->tracks_.tracks)
                if (t.id == c->tracks_.sound) entry = t.sampleEntry;
            c->soundProblem_ = "the sound of " + path + " (track " + std::to_string(c->tracks_.sound) +
                               (entry.empty() ? "" : ", " + entry) + ") cannot be decoded: " + decoded.message() +
                               "; the video has no sound";
        }
    }
    if (c->info_.hasAudio && !c->ffAudio_) {
        // The reader's AAC, in the layout sound is handed on in.
        c->soundSource_ = {static_cast<int>(c->info_.samplerate), c->info_.channels, soundLayoutName(c->info_.channels),
                           static_cast<int64_t>(c->info_.samples)};
    }
    if (!libdec::GetPresentationTimeline(c->handle_, c->timeline_))
        return Status(kExitInput, "cannot read " + path + ": the times of its frames cannot be worked out");
    if (c->timeline_.frames.empty())
        return Status(kExitInput, path + ": its edit list shows none of its " + std::to_string(c->info_.frames) +
                                      " frames");
    c->info_.frames = static_cast<uint32_t>(c->timeline_.frames.size());
    c->info_.fps = usualRate(c->timeline_);
    clip = std::move(c);
    return Status();
}

Status Clip::openAgain(std::unique_ptr<Clip>& again) const {
    const Status st = open(path_, again);
    if (!st.ok()) return st;
    if (again->info().frames != info_.frames || again->info().width != info_.width ||
        again->info().height != info_.height) {
        again.reset();
        return Status(kExitFailed, path_ + " changed while it was being read");
    }
    return Status();
}

Status Clip::calibration(std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    char* offset = nullptr;
    if (PRDGetOffset(handle_, offset) != 0 || !offset)
        return Status(kExitOffset, path_ + " names no lens calibration and its tags cannot be read; give one with --offset");
    text = trimOffset(offset, std::strlen(offset));
    return Status();
}

unsigned int Clip::calibrationTrack() {
    std::lock_guard<std::mutex> lock(mutex_);
    libdec::ClipTracks now;
    return libdec::GetClipTracks(handle_, now) == 0 ? now.calibration : 0;
}

libdec::VideoLook Clip::look(bool colors) {
    std::lock_guard<std::mutex> lock(mutex_);
    libdec::VideoLook l;
    libdec::GetVideoLook(handle_, l, colors);
    return l;
}

bool Clip::storedTrack(unsigned int id, long long from, long long to, size_t maxBytes, libdec::StoredTrack& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    return libdec::GetStoredTrack(handle_, id, from, to, timeline_.timescale, maxBytes, out) == 0;
}

std::string Clip::comment() {
    std::lock_guard<std::mutex> lock(mutex_);
    char* comment = nullptr;
    PRDGetVideoComment(handle_, comment);
    std::string text = comment ? comment : "";
    delete[] comment;
    return text;
}

long long Clip::frameTime(long long frame) const {
    const auto& shown = timeline_.frames;
    if (frame >= 1 && frame <= static_cast<long long>(shown.size())) return shown[frame - 1].time;
    return frame < 1 ? shown.front().time : std::max(timeline_.end, shown.back().time);
}

double Clip::seconds() const {
    return timeline_.timescale ? static_cast<double>(frameTime(info_.frames + 1) - frameTime(1)) / timeline_.timescale
                               : 0.0;
}

Status Clip::readFrame(long long frame, uint8_t* bgr) {
    // Converted straight from the decoder's planes where it leaves the
    // picture in them (the same bytes, without a copy of the whole picture).
    std::shared_ptr<const SourcePicture> source;
    const Status st = readSource(frame, source, bgr);
    if (!st.ok() || !source) return st;
    if (source->toPacked(bgr)) return Status();
    return Status(kExitFailed, "frame " + std::to_string(frame) + " of " + path_ + " cannot be decoded");
}

long long Clip::keyFrameBefore(long long frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    const long long frames = static_cast<long long>(timeline_.frames.size());
    if (frame < 1 || frame > frames) return frame;
    const long long picture = timeline_.frames[frame - 1].frame;
    return frame - (picture - libdec::KeyFrameBefore(handle_, picture));
}

namespace {

// A picture in the decoder's planes, shared with the decoder's own buffers.
class DecodedSource : public SourcePicture {
public:
    explicit DecodedSource(const libdec::DecodedPicture& p) : p_(p) {}
    int width() const override { return p_.width; }
    int height() const override { return p_.height; }
    bool toBgr(int row0, int row1, int x0, int x1, uint8_t* bgr, size_t stride) const override {
        return libdec::ConvertPictureRows(p_, row0, row1, x0, x1, bgr, static_cast<int>(stride));
    }

private:
    const libdec::DecodedPicture p_;
};

}  // namespace

Status Clip::readSource(long long frame, std::shared_ptr<const SourcePicture>& source, uint8_t* bgr, size_t* bytes) {
    source.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    const long long frames = static_cast<long long>(timeline_.frames.size());
    if (frame < 1 || frame > frames)
        return Status(kExitFailed, path_ + " has no frame " + std::to_string(frame) + ": its frames are 1 to " +
                                       std::to_string(frames));
    const long long shown = timeline_.frames[frame - 1].frame;
    libdec::DecodedPicture picture;
    unsigned char* pic = nullptr;
    int rc = libdec::GetDecodedPicture(handle_, shown, picture, pic);
    if (rc == 0 && picture.width == static_cast<int>(info_.width) && picture.height == static_cast<int>(info_.height)) {
        source = std::make_shared<DecodedSource>(picture);
        if (bytes) {
            const size_t rows = static_cast<size_t>(picture.height), chromaRows = (rows + (1u << picture.shiftY) - 1) >> picture.shiftY;
            *bytes = static_cast<size_t>(std::abs(picture.strides[0])) * rows +
                     static_cast<size_t>(std::abs(picture.strides[1]) + std::abs(picture.strides[2])) * chromaRows;
        }
        return Status();
    }
    // A picture of another size: the packed one is scaled to the clip's.
    if (rc == 0) rc = PRDGetVideoFrame(handle_, shown, pic) == 0 ? 2 : 1;
    if (rc != 2 || !pic)
        return Status(kExitFailed, "frame " + std::to_string(frame) + " of " + path_ + " cannot be decoded");
    std::memcpy(bgr, pic, static_cast<size_t>(info_.width) * info_.height * 3);
    return Status();
}

const int16_t* Clip::readAudio(int64_t start, int64_t aacFrames) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ffAudio_) return ffAudio_->read(start, aacFrames * 1024);
    unsigned char* pcm = nullptr;
    if (PRDGetAudioSample(handle_, start, aacFrames * 1024, pcm) != 0 || !pcm) return nullptr;
    return reinterpret_cast<const int16_t*>(pcm);
}

std::vector<uint8_t> Clip::spatialAudio() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> box;
    libdec::AudioSpatialBox(handle_, box);
    return box;
}

}  // namespace stitcher
