// Small MP4 (ISO-BMFF) writer for tests: builds clips that the ffmpeg command
// cannot make (text tracks with given samples, tags, protected "encv" entries,
// HEVC entries, odd audio object types, co64, moov after mdat, 64-bit and
// size-0 boxes).
//
//   testutil::Mp4Writer w;
//   auto& v = w.addVideoTrack("avc1", 64, 32, {sps}, {pps});   // or "encv" + originalFormat, "hvc1"
//   v.samples.push_back({idrBytes, true});
//   v.samples.push_back({pBytes, false});
//   auto& a = w.addAudioTrack(0x40, {0x12, 0x10});            // mp4a + esds
//   auto& t = w.addTextTrack();                                // "tx3g"
//   t.samples.push_back({std::string(200, 'x'), true});
//   w.setTag("desc", "2_713.65_...");                          // or "\xA9" "cmt"
//   w.options.moovFirst = false;                               // mdat before moov
//   w.writeFile(path);                                         // or std::string bytes = w.build();
//
// Track ids are 1, 2, ... in the order the tracks were added, which is also
// their order in moov. Every sample gets the track's sampleDuration.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "isobmff/Mp4Container.h"

namespace testutil {

class Mp4Writer {
public:
    struct Sample {
        std::string data;
        bool sync = true;
    };

    enum class Stss { Auto, Force, Omit };  // Auto: written only when some sample is not sync

    struct Track {
        std::string handler = "vide";      // hdlr type: "vide", "soun", "text", or any 4 characters
        std::string sampleEntry = "avc1";  // stsd entry: "avc1", "encv", "hvc1", "mp4a", "enca", "tx3g", "text", ...
        std::string originalFormat;        // encv/enca: written as sinf/frma (e.g. "264b"); empty: no sinf
        uint32_t timescale = 1000;         // mdhd timescale
        uint32_t sampleDuration = 40;      // stts delta of every sample
        bool overrideDuration = false;     // use `duration` in mdhd instead of count * sampleDuration
        uint64_t duration = 0;
        bool mdhdVersion1 = false;         // 64-bit mdhd times
        uint32_t tkhdFlags = 3;            // enabled and in the movie

        // Visual entries ("avc1", "encv", "hvc1", "hev1", ...).
        uint16_t width = 64;
        uint16_t height = 32;
        bool writeAvcC = true;             // avc1/encv: avcC from sps/pps
        uint8_t nalLengthSize = 4;         // avcC: bytes of each NAL unit's length prefix (1, 2 or 4)
        std::vector<std::string> sps;
        std::vector<std::string> pps;

        // Audio entries ("mp4a", "enca").
        bool writeEsds = true;
        uint8_t objectType = 0x40;
        std::string decoderConfig;         // DecoderSpecificInfo bytes (any length, 0 included)
        uint16_t channels = 2;
        uint32_t sampleRate = 48000;

        // When not empty: the complete first stsd entry (size, type and body) as
        // it stands; the fields above that describe the entry are then unused.
        std::string rawSampleEntry;

        std::vector<Sample> samples;
        Stss stss = Stss::Auto;
        uint32_t samplesPerChunk = 3;      // stsc; the last chunk may hold fewer
    };

    struct Options {
        bool moovFirst = true;       // moov before mdat (false: mdat first)
        bool co64 = false;           // chunk offsets in co64 instead of stco
        bool stz2 = false;           // sample sizes in stz2 instead of stsz ...
        unsigned stz2Bits = 16;      // ... with fields of 4, 8 or 16 bits (stsz when a size does not fit)
        bool compactStsz = false;    // stsz: one size for all when every sample has the same size
        bool largeSizes = false;     // boxes written with size 1 + 64-bit largesize (not the
                                     // stsd/dref entries; ffprobe then misses the tags)
        bool lastBoxSizeZero = false;// the last top-level box gets size 0 (runs to end of file)
        bool metaFullBox = true;     // udta/meta as full box (false: plain box, as some writers do)
        bool writeFtyp = true;
        std::string trailing;        // bytes appended after the last box
    };

    Options options;

    // Adds a track and returns it for filling in. The reference stays valid
    // until the next add*.
    Track& addTrack(const std::string& handler, const std::string& sampleEntry);
    Track& addVideoTrack(const std::string& sampleEntry, uint16_t width, uint16_t height,
                         const std::vector<std::string>& sps = {},
                         const std::vector<std::string>& pps = {});
    Track& addAudioTrack(uint8_t objectType, const std::string& decoderConfig,
                         const std::string& sampleEntry = "mp4a");
    Track& addTextTrack(const std::string& sampleEntry = "tx3g");
    // Adds a copy of an existing file's track: its first sample entry as it
    // stands (rawSampleEntry; clear it to write the entry anew from the parsed
    // fields, e.g. to turn "avc1" into "encv" + originalFormat), handler,
    // timescale, duration, every sample's bytes and sync flag. Returns null and
    // sets *error when the track or a sample cannot be read.
    Track* addCopyOf(const mp4::File& file, uint32_t trackId, std::string* error = nullptr);

    std::vector<Track>& tracks() { return tracks_; }

    // iTunes-style tag in moov/udta/meta/ilst: key is 4 bytes, "desc" or
    // "\xA9" "cmt"; the value is stored as UTF-8 text bytes as given.
    void setTag(const std::string& key, const std::string& value);

    std::string build() const;                     // the whole file
    bool writeFile(const std::string& path) const;

private:
    std::vector<Track> tracks_;
    std::vector<std::pair<std::string, std::string>> tags_;
};

inline Mp4Writer::Track* Mp4Writer::addCopyOf(const mp4::File& file, uint32_t trackId,
                                              std::string* error) {
    const mp4::Track* src = file.trackById(trackId);
    if (!src) {
        if (error) *error = "no track " + std::to_string(trackId);
        return nullptr;
    }
    Track t;
    t.handler = src->handler;
    t.sampleEntry = src->sampleEntry;
    t.originalFormat = src->originalFormat;
    t.timescale = src->timescale;
    t.overrideDuration = true;
    t.duration = src->duration;
    t.sampleDuration = src->samples.empty()
                           ? 0
                           : static_cast<uint32_t>(src->duration / src->samples.size());
    t.width = src->width;
    t.height = src->height;
    t.writeAvcC = src->hasAvcC;
    t.nalLengthSize = src->nalLengthSize;
    for (const auto& s : src->sps) t.sps.emplace_back(s.begin(), s.end());
    for (const auto& s : src->pps) t.pps.emplace_back(s.begin(), s.end());
    t.writeEsds = src->hasEsds;
    t.objectType = src->objectType;
    t.decoderConfig.assign(src->decoderConfig.begin(), src->decoderConfig.end());
    t.rawSampleEntry.assign(src->sampleEntryBox.begin(), src->sampleEntryBox.end());
    std::vector<uint8_t> buf(src->maxSampleSize ? src->maxSampleSize : 1);
    for (uint32_t n = 1; n <= src->samples.size(); ++n) {
        uint32_t size = 0;
        if (!file.readSample(trackId, n, buf.data(), static_cast<uint32_t>(buf.size()), size)) {
            if (error) *error = "cannot read sample " + std::to_string(n);
            return nullptr;
        }
        t.samples.push_back({std::string(reinterpret_cast<const char*>(buf.data()), size),
                             src->samples[n - 1].sync});
    }
    tracks_.push_back(std::move(t));
    return &tracks_.back();
}

}  // namespace testutil
