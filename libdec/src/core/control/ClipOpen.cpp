// Opening a clip for our own hosts: the session, or the reason the file
// cannot be one, from what the container layer finds in it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/CControl.h"
#include "isobmff/Mp4Container.h"
#include "libdec_internal.h"
#include "mp4read/CMp4Read.h"

namespace libdec {

namespace {

// The video track a player presents: the first enabled one, else the first.
const mp4::Track* MainVideo(const std::vector<mp4::Track>& tracks) {
    const mp4::Track* first = nullptr;
    for (const mp4::Track& t : tracks) {
        if (t.handler != "vide") continue;
        if (t.enabled) return &t;
        if (!first) first = &t;
    }
    return first;
}

// The codec of a video sample entry, by its usual short name.
std::string CodecOf(const mp4::Track& t) {
    const std::string& e = t.sampleEntry == "encv" && !t.originalFormat.empty() ? t.originalFormat : t.sampleEntry;
    if (e == "avc1" || e == "avc3" || e == "264b") return "h264";
    if (e == "hvc1" || e == "hev1") return "hevc";
    if (e == "av01") return "av1";
    if (e == "vp08") return "vp8";
    if (e == "vp09") return "vp9";
    if (e == "mp4v") return "mpeg4";
    if (e == "jpeg" || e == "mjpa" || e == "mjpb") return "mjpeg";
    if (e == "apch" || e == "apcn" || e == "apcs" || e == "apco" || e == "ap4h") return "prores";
    return e.empty() ? "unknown" : e;
}

bool IsBoxType(const unsigned char* p) {
    static const char* const kTop[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "uuid", "styp", "sidx", "moof"};
    for (const char* t : kTop)
        if (std::memcmp(p + 4, t, 4) == 0) return true;
    return false;
}

// What a file that is not an MP4 is, from its first bytes; empty when unknown.
// `isoBoxes` tells a file that starts like an MP4 (its structure then is what
// cannot be read).
std::string ContainerKind(const char* path, bool& isoBoxes) {
    isoBoxes = false;
    unsigned char b[192] = {0};
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return "";
    const size_t n = std::fread(b, 1, sizeof b, f);
    std::fclose(f);
    if (n >= 8 && IsBoxType(b)) {
        isoBoxes = true;
        return "";
    }
    if (n >= 4 && b[0] == 0x1A && b[1] == 0x45 && b[2] == 0xDF && b[3] == 0xA3) return "Matroska / WebM";
    if (n >= 12 && std::memcmp(b, "RIFF", 4) == 0) {
        if (std::memcmp(b + 8, "AVI ", 4) == 0) return "AVI (Audio Video Interleaved)";
        if (std::memcmp(b + 8, "WAVE", 4) == 0) return "WAV (Waveform Audio)";
    }
    if (n >= 4 && std::memcmp(b, "OggS", 4) == 0) return "Ogg";
    if (n >= 4 && std::memcmp(b, "fLaC", 4) == 0) return "raw FLAC";
    if (n >= 3 && std::memcmp(b, "FLV", 3) == 0) return "FLV";
    if (n >= 189 && b[0] == 0x47 && b[188] == 0x47) return "MPEG-TS (MPEG-2 Transport Stream)";
    if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 1 && b[3] == 0xBA) return "MPEG-PS (MPEG-2 Program Stream)";
    if (n >= 5 && b[0] == 0 && b[1] == 0 && ((b[2] == 1 && (b[3] & 0x1F) >= 6 && (b[3] & 0x1F) <= 9) ||
                                             (b[2] == 0 && b[3] == 1 && (b[4] & 0x1F) >= 6 && (b[4] & 0x1F) <= 9)))
        return "raw H.264 video";
    if (n >= 3 && std::memcmp(b, "ID3", 3) == 0) return "MP3 (MPEG audio layer 3)";
    if (n >= 2 && b[0] == 0xFF && (b[1] & 0xF6) == 0xF0) return "raw ADTS AAC (Advanced Audio Coding)";
    if (n >= 2 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && (b[1] & 0x06) != 0) return "MP3 (MPEG audio layer 3)";
    return "";
}

void Refuse(ClipOpening& out, ClipRefusal kind, const std::string& reason) {
    out.refusal = kind;
    out.reason = reason;
}

void VideoFacts(const mp4::Track& t, ClipOpening& out) {
    out.videoCodec = CodecOf(t);
    out.indexedSamples = t.indexedSamples;
    out.samplesInFile = static_cast<long long>(t.samples.size());
}

// Why the session refused a regular file: from the container layer's own reading.
void Diagnose(const char* path, ClipOpening& out) {
    std::string why;
    std::unique_ptr<mp4::File> file = mp4::File::open(path, &why);
    if (!file) {
        bool iso = false;
        out.containerKind = ContainerKind(path, iso);
        if (iso)
            Refuse(out, ClipRefusal::Unreadable, "its MP4 structure cannot be read (" + why + ")");
        else
            Refuse(out, ClipRefusal::NotMp4,
                   out.containerKind.empty() ? "not an MP4 file" : "not an MP4 file (it is " + out.containerKind + ")");
        return;
    }
    out.fragmented = file->fragmented();
    const mp4::Track* video = MainVideo(file->tracks());
    if (video) VideoFacts(*video, out);
    if (out.fragmented)
        return Refuse(out, ClipRefusal::Fragmented, "it is a fragmented MP4 (its frames are in movie fragments)");
    if (!video) return Refuse(out, ClipRefusal::NoVideo, "it has no video track");
    if (out.videoCodec != "h264")
        return Refuse(out, ClipRefusal::VideoNotH264, "its main video is not H.264 (" + out.videoCodec + ")");
    if (out.indexedSamples == 0) return Refuse(out, ClipRefusal::NoFrames, "its index names no video frames");
    if (out.samplesInFile == 0)
        return Refuse(out, ClipRefusal::CutShort,
                      "the file is cut short (" + std::to_string(out.fileSize) + " bytes): frame 1 of " +
                          std::to_string(out.indexedSamples) + " lies beyond its end");
    Refuse(out, ClipRefusal::Unreadable, "its H.264 video or its MP4 structure is not readable");
}

void* Open(const char* path, ClipOpening& out) {
    out = ClipOpening();
    struct stat st;
    if (!path || ::stat(path, &st) != 0) {
        Refuse(out, ClipRefusal::NotAFile, std::string("cannot open it: ") + std::strerror(path ? errno : EINVAL));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        Refuse(out, ClipRefusal::NotAFile, S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file");
        return nullptr;
    }
    if (::access(path, R_OK) != 0) {
        Refuse(out, ClipRefusal::NotAFile, std::string("cannot read it: ") + std::strerror(errno));
        return nullptr;
    }
    out.fileSize = static_cast<long long>(st.st_size);
    void* handle = PRDOpen(path);
    if (!handle) {
        Diagnose(path, out);
        return nullptr;
    }
    const CControl* session = static_cast<const CControl*>(handle);
    const mp4::Track* video = session->m_pMp4Read ? session->m_pMp4Read->VideoTrack() : nullptr;
    if (!video || session->m_mediaInfo.hasVideo != 1) {
        PRDClose(handle);
        Refuse(out, ClipRefusal::NoVideo, "it has no video track");
        return nullptr;
    }
    try {
        VideoFacts(*video, out);
    } catch (...) {
        PRDClose(handle);
        throw;
    }
    return handle;
}

}  // namespace

void* OpenClip(const char* path, ClipOpening& out) {
    try {
        return Open(path, out);
    } catch (...) {
        out.refusal = ClipRefusal::Unreadable;
        out.reason = "out of memory";
        return nullptr;
    }
}

}  // namespace libdec
