// The clip: a reader session with its media record, and the reasons a file
// cannot be read when the reader refuses it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FfAudio.h"
#include "Status.h"
#include "libdec.h"
#include "libdec_internal.h"

namespace stitcher {

class Clip {
public:
    ~Clip();
    Clip(const Clip&) = delete;
    Clip& operator=(const Clip&) = delete;

    // Opens a clip. Anything but a regular file is refused without being
    // opened; when the reader refuses the file, the status says why.
    static Status open(const std::string& path, std::unique_ptr<Clip>& clip);

    const std::string& path() const { return path_; }
    const _MediaInfo& info() const { return info_; }
    // Frames the file's index names but the file no longer holds (a clip cut short).
    long long framesLost() const { return framesLost_; }
    // The clip's tracks and which of them the reader uses.
    const libdec::ClipTracks& tracks() const { return tracks_; }
    // The sound's codec as FFmpeg names it when the reader does not decode it
    // and FFmpeg does; empty when the sound is the reader's AAC (or none).
    std::string soundThroughFfmpeg() const { return ffAudio_ ? ffAudio_->codec() : std::string(); }
    // Why the clip's sound cannot be carried over, when it has sound that
    // neither the reader nor FFmpeg decodes; empty otherwise.
    const std::string& soundProblem() const { return soundProblem_; }

    // The calibration text the clip names (trimmed), or the reader's built-in
    // default; kExitOffset when the clip's tags cannot be read.
    Status calibration(std::string& text);
    // The text track whose record gave calibration() its text; 0 when none did.
    unsigned int calibrationTrack();
    // The comment tag, empty when there is none.
    std::string comment();

    // Packed BGR picture of `frame` (from 1) into `bgr` (width * height * 3 bytes).
    bool readFrame(long long frame, uint8_t* bgr);
    // Interleaved PCM of `aacFrames` whole AAC frames (1024 samples each) from
    // sample `start` (a multiple of 1024). Valid until the next call; null on failure.
    const int16_t* readAudio(int64_t start, int64_t aacFrames);
    // The spatial audio box of the clip's sound ("SA3D", header included);
    // empty when it has none.
    std::vector<uint8_t> spatialAudio();

private:
    Clip() = default;

    std::string path_;
    void* handle_ = nullptr;
    _MediaInfo info_{};
    long long framesLost_ = 0;
    libdec::ClipTracks tracks_;
    std::unique_ptr<FfAudio> ffAudio_;  // the sound, when the reader does not decode it
    std::string soundProblem_;
    std::mutex mutex_;  // one call on the session at a time
};

}  // namespace stitcher
