// The clip: a reader session with its media record, and the reasons a file
// cannot be read when the reader refuses it. The clip is the clip as a
// player shows it: its frames, counted from 1, are the pictures its edit
// list shows, each at its own time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FfAudio.h"
#include "FrameItem.h"
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
    // The reader's media record, but for the video: `frames` counts the
    // frames shown and `fps` is their usual rate (pauses left out).
    const _MediaInfo& info() const { return info_; }
    // When frame `frame` (from 1) appears, in timescale() units from the
    // movie's start; frame info().frames + 1 is the time the last one ends.
    long long frameTime(long long frame) const;
    // Units per second of the times; 0 when the clip gives none.
    uint32_t timescale() const { return timeline_.timescale; }
    // When the sound's sample 0 plays, and when the sound stops (-1: at
    // the end of the track), in timescale() units.
    long long audioStart() const { return timeline_.audioStart; }
    long long audioEnd() const { return timeline_.audioEnd; }
    // Seconds from the first frame to the end of the last.
    double seconds() const;
    // Frames the file's index names but the file no longer holds (a clip cut short).
    long long framesLost() const { return framesLost_; }
    // The clip's tracks and which of them the reader uses.
    const libdec::ClipTracks& tracks() const { return tracks_; }
    // The sound's codec as FFmpeg names it when FFmpeg decodes it (sound the
    // reader does not decode, and 6.1 AAC); empty when the sound is the
    // reader's AAC (or none).
    std::string soundThroughFfmpeg() const { return ffAudio_ ? ffAudio_->codec() : std::string(); }
    // The clip's own sound, before a run converts it (info() gives what the
    // run reads): its rate, channels, FFmpeg's name of its channel layout
    // and samples per channel. Zero when the clip has no sound that decodes.
    struct SoundSource {
        int rate = 0, channels = 0;
        std::string layout;
        int64_t samples = 0;
    };
    const SoundSource& soundSource() const { return soundSource_; }
    // Why the clip's sound cannot be carried over, when it has sound that
    // neither the reader nor FFmpeg decodes; empty otherwise.
    const std::string& soundProblem() const { return soundProblem_; }

    // The calibration text the clip names (trimmed), or the reader's built-in
    // default; kExitOffset when the clip's tags cannot be read.
    Status calibration(std::string& text);
    // The text track whose record gave calibration() its text; 0 when none did.
    unsigned int calibrationTrack();
    // How its video is shown: the colours its pictures are read with and
    // where they come from (with `colours`: the first picture is decoded for
    // them), the turn a player gives them, and whether it is a 360 video already.
    libdec::VideoLook look(bool colors = true);

    // Another session of the same file, for a second decoder beside this
    // one; fails where the file no longer opens as the same frames and size.
    Status openAgain(std::unique_ptr<Clip>& again) const;

    // The samples of track `id` shown from `from` to before `to` (timescale()
    // units); false when they cannot be read or pass `maxBytes`.
    bool storedTrack(unsigned int id, long long from, long long to, size_t maxBytes, libdec::StoredTrack& out);

    // The comment tag, empty when there is none.
    std::string comment();

    // Packed BGR picture of `frame` (from 1) into `bgr` (width * height * 3
    // bytes); fails where the frame is not in the clip or cannot be decoded.
    Status readFrame(long long frame, uint8_t* bgr);
    // About where a decode that seeks to `frame` starts: the key picture
    // before it, counted as `frame` is (below 1 where the clip's edit list
    // leaves it out).
    long long keyFrameBefore(long long frame);
    // The same picture, left in the decoder's planes where it is 8-bit YUV
    // (`source` set; its packed picture the same bytes as readFrame's), else
    // written to `bgr` as readFrame writes it (`source` null). With `bytes`,
    // where `source` is set: the memory its planes hold.
    Status readSource(long long frame, std::shared_ptr<const SourcePicture>& source, uint8_t* bgr,
                      size_t* bytes = nullptr);
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
    libdec::PresentationTimeline timeline_;
    long long framesLost_ = 0;
    libdec::ClipTracks tracks_;
    std::unique_ptr<FfAudio> ffAudio_;  // the sound, when the reader does not decode it
    std::string soundProblem_;
    SoundSource soundSource_;
    std::mutex mutex_;  // one call on the session at a time
};

}  // namespace stitcher
