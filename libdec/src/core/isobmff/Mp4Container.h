// Small read-only ISO-BMFF (MP4) container layer: exactly what the clip reader
// needs. Tracks in file order with handler type and sample entry, per-sample
// size/offset/sync/time tables, avcC parameter sets, esds configuration, the
// visual sample entry's size, colour box and spherical video marks, the
// track's display matrix, media timing, the edit lists, the movie's time
// scale and the iTunes-style tags; and which samples the movie presents when.
//
// A file cut short keeps the samples of each track that lie wholly inside it
// (the index up to the first sample that does not); Track::indexedSamples
// tells how many the index listed.
//
// Every read is bounds-checked against its box and the file; a corrupt or
// hostile file gives a refusal with a reason, never an out-of-bounds access,
// an unbounded allocation or a hang.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace mp4 {

struct Sample {
    uint64_t offset = 0;  // absolute file offset of the sample's first byte
    uint32_t size = 0;    // bytes
    bool sync = false;    // key sample (every sample when the track has no stss)
    int64_t cts = 0;      // composition time in timescale units (decode time + ctts offset)
};

// One entry of a track's edit list: a stretch of the movie's timeline that
// shows the media from `mediaTime` on (or nothing, for an empty edit).
struct Edit {
    uint64_t duration = 0;   // in the movie's timescale
    int64_t mediaTime = -1;  // in the track's timescale; -1: an empty edit (a pause)
    int32_t rate = 0x10000;  // 16.16 fixed point: 1 plays the media, 0 holds one picture
};

struct Track {
    uint32_t id = 0;                 // track_ID from tkhd
    bool enabled = true;             // tkhd flags bit 0: players present the track
    std::string handler;             // hdlr handler type: "vide", "soun", "text", ...
    std::string sampleEntry;         // first stsd entry type: "avc1", "encv", "mp4a", ...
    std::string originalFormat;      // frma of a protected entry ("264b", "avc1", ...); empty when none
    uint32_t timescale = 0;          // mdhd
    uint64_t duration = 0;           // mdhd, in timescale units
    uint16_t width = 0;              // visual sample entry width
    uint16_t height = 0;             // visual sample entry height
    bool hasAvcC = false;
    uint8_t nalLengthSize = 4;              // avcC: bytes of each NAL unit's length prefix (1 to 4)
    std::vector<std::vector<uint8_t>> sps;  // avcC sequence parameter sets
    std::vector<std::vector<uint8_t>> pps;  // avcC picture parameter sets
    bool hasEsds = false;
    uint8_t objectType = 0;                 // esds DecoderConfigDescriptor objectTypeIndication
    std::vector<uint8_t> decoderConfig;     // esds DecoderSpecificInfo bytes
    std::vector<Sample> samples;            // index 0 is sample number 1; only those inside the file
    uint32_t indexedSamples = 0;            // samples the index lists (more than samples.size() when cut short)
    bool hasCompositionOffsets = false;     // ctts present: cts differs from decode time
    int64_t mediaStart = 0;                 // media time where the first non-empty edit starts (0: no edit list)
    std::vector<Edit> edits;                // the edit list (empty: none, or one that cannot be read)
    int64_t mediaEnd = 0;                   // when the last sample in composition order ends (track timescale)
    std::vector<uint8_t> sampleEntryBox;    // the first stsd entry as stored (header included)
    uint32_t maxSampleSize = 0;

    // The visual sample entry's colour box ("colr"): ISO/IEC 23091-2 codes
    // (2: unspecified) of an 'nclx' box, or of QuickTime's 'nclc', which
    // names no range. Other kinds (ICC profiles) leave hasColour false.
    bool hasColor = false;
    uint16_t colorPrimaries = 2, colorTransfer = 2, colorMatrix = 2;
    int8_t colorFullRange = -1;            // 1 full, 0 limited, -1 not given
    // tkhd's transformation matrix as the turn a player gives the picture,
    // clockwise in degrees: 0, 90, 180 or 270; -1 for any other transform
    // (a mirror, a shear, a scale that differs between the axes).
    int displayRotation = 0;
    // The track is marked as spherical video: the sample entry's "sv3d"
    // (its projection: "equirectangular", "cubemap", "mesh" or "unknown"),
    // or a spherical "uuid" box of the track (equirectangular). Empty when
    // neither.
    std::string projection;

    // Frames per second: sample count / (duration / timescale); 0 when unknown.
    double frameRate() const;
};

// A sample as the movie shows it.
struct ShownSample {
    uint32_t index = 0;  // into Track::samples
    int64_t time = 0;    // when it appears, in the track's timescale from the movie's start
};

struct Presentation {
    std::vector<ShownSample> samples;  // in the order shown (times never decrease)
    int64_t end = 0;                   // when the last one stops being shown
};

// The samples of `t` the movie shows, and when, as its edit list says (all
// samples at their composition times without one). An edit shows the
// samples composed for the stretch of media it plays, from its start on (a
// picture composed before the start, even one still showing at it, is left
// out, as common players do); one that holds a picture (rate 0) shows the
// one composed for its start. An edit list that cannot be followed (another
// rate, times out of range, or a movie without a timescale) is ignored. At
// most as many entries as a track may have samples are given.
Presentation presentTrack(const Track& t, uint32_t movieTimescale);

// Where the first non-empty edit of `t` (the one Track::mediaStart comes
// from) puts the media on the movie's timeline, in the track's timescale:
// `start` is the time of the movie at which media time mediaStart plays,
// `length` how long it plays (-1: to the end of the media). Without an edit
// list, or with one that cannot be followed, 0 and -1.
void firstEdit(const Track& t, uint32_t movieTimescale, int64_t& start, int64_t& length);

class File {
public:
    // Opens and parses `path` read-only. Returns null and sets *error (when
    // given) to a human-readable reason when the file cannot be used.
    static std::unique_ptr<File> open(const char* path, std::string* error = nullptr);
    // The same from bytes in memory (copied), e.g. for fuzzing.
    static std::unique_ptr<File> openMemory(const void* data, size_t size,
                                            std::string* error = nullptr);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::vector<Track>& tracks() const { return tracks_; }
    const Track* trackById(uint32_t id) const;

    // Reads sample `number` (1-based) of track `trackId` into `buf` of
    // `capacity` bytes and sets `size`. False (nothing written past capacity)
    // when the track or sample does not exist, the sample does not fit or the
    // read fails.
    bool readSample(uint32_t trackId, uint32_t number, uint8_t* buf, uint32_t capacity,
                    uint32_t& size) const;

    // iTunes-style metadata (moov/udta/meta/ilst): "\xA9" "cmt" (comment) and
    // "desc" (description). `key` is the 4-byte atom type. False when absent.
    bool tag(const char key[4], std::string& value) const;

    uint64_t fileSize() const { return fileSize_; }
    // mvhd: the time scale of the edit lists' durations; 0 when not given.
    uint32_t movieTimescale() const { return movieTimescale_; }
    // The file has movie fragments (mvex in moov, or moof boxes): their
    // samples are not in the track tables.
    bool fragmented() const { return fragmented_; }

private:
    File() = default;
    friend class Parser;
    static std::unique_ptr<File> parse(std::unique_ptr<File> f, std::string* error);
    // Reads n bytes at off of the file (or memory image); false past its end.
    bool readAt(uint64_t off, void* buf, size_t n) const;
    std::FILE* fp_ = nullptr;
    std::vector<uint8_t> mem_;  // the image of openMemory (fp_ null then)
    uint64_t fileSize_ = 0;
    bool fragmented_ = false;
    uint32_t movieTimescale_ = 0;
    std::vector<Track> tracks_;
    std::vector<std::pair<std::string, std::string>> tags_;  // key (4 bytes) -> value
};

}  // namespace mp4
