#include "Clip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "libdec_internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace stitcher {

namespace {

uint64_t bigEndian(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// Walks the boxes in [begin, end) of the file: calls visit(type, start, size)
// for each; stops at the first box that does not fit.
template <class Visit>
void walkBoxes(int fd, uint64_t begin, uint64_t end, Visit&& visit) {
    uint64_t at = begin;
    for (int count = 0; at + 8 <= end && count < 100000; ++count) {
        unsigned char head[16];
        if (::pread(fd, head, 16, static_cast<off_t>(at)) < 8) return;
        uint64_t size = bigEndian(head, 4);
        uint64_t header = 8;
        if (size == 1) {
            if (at + 16 > end) return;
            size = bigEndian(head + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at) return;
        visit(std::string(reinterpret_cast<char*>(head + 4), 4), at + header, size - header);
        at += size;
    }
}

// Movie fragments: 'moof' boxes at the top, or 'mvex' announcing them in 'moov'.
bool hasFragments(const std::string& path, uint64_t fileSize) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool fragments = false;
    walkBoxes(fd, 0, fileSize, [&](const std::string& type, uint64_t body, uint64_t size) {
        if (type == "moof") fragments = true;
        if (type == "moov")
            walkBoxes(fd, body, body + size, [&](const std::string& inner, uint64_t, uint64_t) {
                if (inner == "mvex") fragments = true;
            });
    });
    ::close(fd);
    return fragments;
}

// Facts about an MP4 file from its own structure, independent of the reader.
struct FileFacts {
    bool container = false;       // libavformat reads it as a movie
    std::string otherFormat;      // the container's kind where it is not MP4 (e.g. "Matroska / WebM")
    bool fragmented = false;      // samples in movie fragments (moof)
    bool hasVideo = false;
    std::string videoCodec;       // e.g. "h264"
    long long indexedFrames = 0;  // video samples the index names
    long long framesInFile = 0;   // of them, those wholly inside the file
    long long fileSize = 0;
};

FileFacts examineFile(const std::string& path) {
    FileFacts f;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return f;
    f.fileSize = st.st_size;
    f.fragmented = hasFragments(path, static_cast<uint64_t>(st.st_size));
    AVFormatContext* fmt = nullptr;
    AVDictionary* opts = nullptr;
    // One index entry per stored sample, whatever the edit list says.
    av_dict_set(&opts, "ignore_editlist", "1", 0);
    int rc = avformat_open_input(&fmt, path.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (rc < 0) return f;
    f.container = true;
    // The MP4 demuxer's names start with "mov"; it reads QuickTime and MP4 alike.
    if (std::strncmp(fmt->iformat->name, "mov", 3) != 0)
        f.otherFormat = fmt->iformat->long_name ? fmt->iformat->long_name : fmt->iformat->name;
    // The video a player shows: the first marked default (an MP4 track that
    // is enabled), else the first.
    AVStream* main = nullptr;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream* s = fmt->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || (s->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
        if (!main || (!(main->disposition & AV_DISPOSITION_DEFAULT) && (s->disposition & AV_DISPOSITION_DEFAULT)))
            main = s;
    }
    if (main) {
        f.hasVideo = true;
        f.videoCodec = avcodec_get_name(main->codecpar->codec_id);
        int n = avformat_index_get_entries_count(main);
        f.indexedFrames = n;
        // Samples are stored in order: count those that end inside the file.
        for (int k = 0; k < n; ++k) {
            const AVIndexEntry* e = avformat_index_get_entry(main, k);
            if (!e || e->pos < 0 || e->pos + e->size > f.fileSize) break;
            ++f.framesInFile;
        }
    }
    avformat_close_input(&fmt);
    return f;
}

// Why the reader refused a regular file.
Status diagnose(const std::string& path) {
    FileFacts f = examineFile(path);
    if (!f.container) return Status(kExitInput, "cannot read " + path + ": not an MP4 clip");
    if (!f.otherFormat.empty())
        return Status(kExitInput, "cannot read " + path + ": not an MP4 file (it is " + f.otherFormat +
                                      "); the clip reader takes MP4 only: rewrite it first, for example with ffmpeg -i " +
                                      path + " -c copy out.mp4");
    if (f.fragmented)
        return Status(kExitInput, "cannot read " + path +
                                      ": it is a fragmented MP4 (its frames are in movie fragments, which the clip "
                                      "reader does not take); rewrite it as a plain MP4 first, for example with "
                                      "ffmpeg -i in.mp4 -c copy out.mp4");
    if (!f.hasVideo) return Status(kExitInput, path + " has no video track");
    if (f.videoCodec != "h264")
        return Status(kExitInput, path + ": its main video is not H.264 (" + f.videoCodec + "); the stitcher reads H.264 only");
    if (f.indexedFrames == 0)
        return Status(kExitInput, "cannot read " + path + ": its index names no video frames");
    if (f.framesInFile < f.indexedFrames)
        return Status(kExitInput, "cannot read " + path + ": the file is cut short (" +
                                      std::to_string(f.fileSize) + " bytes): frame " +
                                      std::to_string(f.framesInFile + 1) + " of " +
                                      std::to_string(f.indexedFrames) + " lies beyond its end");
    return Status(kExitInput, "cannot read " + path + ": its H.264 video or its MP4 structure is not readable");
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
    c->handle_ = PRDOpen(path.c_str());
    if (!c->handle_) return diagnose(path);
    PRDGetMediaInfo(c->handle_, c->info_);
    if (!c->info_.hasVideo || c->info_.frames == 0 || c->info_.width == 0 || c->info_.height == 0)
        return Status(kExitInput, path + " has no video track");
    FileFacts f = examineFile(path);
    if (f.indexedFrames > c->info_.frames) c->framesLost_ = f.indexedFrames - c->info_.frames;
    libdec::GetClipTracks(c->handle_, c->tracks_);
    if (c->tracks_.sound && !c->tracks_.soundDecoded) {
        // Sound the reader does not decode (MP3, Opus, PCM, ...) comes through FFmpeg.
        std::string why;
        c->ffAudio_ = FfAudio::open(path, c->tracks_.sound, why);
        if (c->ffAudio_) {
            c->info_.hasAudio = 1;
            c->info_.samplerate = static_cast<uint32_t>(c->ffAudio_->rate());
            c->info_.channels = static_cast<uint8_t>(c->ffAudio_->channels());
            c->info_.samples = c->ffAudio_->samples();
        } else {
            std::string entry;
            for (const libdec::ClipTrack& t : c->tracks_.tracks)
                if (t.id == c->tracks_.sound) entry = t.sampleEntry;
            c->soundProblem_ = "the sound of " + path + " (track " + std::to_string(c->tracks_.sound) +
                               (entry.empty() ? "" : ", " + entry) + ") cannot be decoded: " + why +
                               "; the video has no sound";
        }
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

bool Clip::readFrame(long long frame, uint8_t* bgr) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frame < 1 || frame > static_cast<long long>(timeline_.frames.size())) return false;
    unsigned char* pic = nullptr;
    if (PRDGetVideoFrame(handle_, timeline_.frames[frame - 1].frame, pic) != 0 || !pic) return false;
    std::memcpy(bgr, pic, static_cast<size_t>(info_.width) * info_.height * 3);
    return true;
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
