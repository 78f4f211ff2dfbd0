#include "isobmff/Mp4Container.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

namespace mp4 {
namespace {

constexpr int kMaxDepth = 16;
// moov is parsed from memory; real ones are far below this.
constexpr uint64_t kMaxMoovSize = 256ull << 20;
// Days of 48 kHz audio; keeps the sample list of a hostile table bounded.
constexpr uint32_t kMaxSamples = 1u << 24;
// Edits kept of a track's edit list; real lists have one to a few.
constexpr uint32_t kMaxEdits = 4096;

constexpr uint32_t fourcc(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint64_t be64(const uint8_t* p) { return (uint64_t(be32(p)) << 32) | be32(p + 4); }

std::string typeString(uint32_t t) {
    std::string s;
    for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>((t >> (8 * i)) & 0xFF));
    return s;
}

// Printable form of a box type for refusal texts.
std::string typeName(uint32_t t) {
    std::string s;
    for (int i = 3; i >= 0; --i) {
        unsigned char c = (t >> (8 * i)) & 0xFF;
        if (c >= 0x20 && c < 0x7F) {
            s.push_back(static_cast<char>(c));
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            s += buf;
        }
    }
    return "'" + s + "'";
}

// A box in memory: payload span (header excluded).
struct Box {
    uint32_t type = 0;
    uint32_t parent = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    int depth = 0;
};

// Splits a box header off [p, p + avail). Size 0 runs to the end of the span.
bool splitBox(const uint8_t* p, size_t avail, uint32_t& type, size_t& header, size_t& total,
              std::string& err) {
    if (avail < 8) {
        err = "box header cut short";
        return false;
    }
    uint64_t size = be32(p);
    type = be32(p + 4);
    header = 8;
    if (size == 1) {
        if (avail < 16) {
            err = "64-bit box header of " + typeName(type) + " cut short";
            return false;
        }
        size = be64(p + 8);
        header = 16;
    } else if (size == 0) {
        size = avail;
    }
    if (size < header) {
        err = "box " + typeName(type) + " is smaller than its header";
        return false;
    }
    if (size > avail) {
        err = "box " + typeName(type) + " runs past its parent";
        return false;
    }
    total = static_cast<size_t>(size);
    return true;
}

}  // namespace

double Track::frameRate() const {
    if (timescale == 0 || duration == 0) return 0.0;
    return static_cast<double>(samples.size()) /
           (static_cast<double>(duration) / static_cast<double>(timescale));
}

namespace {

// Edit times beyond this (decades at any timescale) are not followed; it
// keeps every sum well inside the range of int64_t.
constexpr int64_t kMaxEditTime = int64_t(1) << 60;

// A non-empty edit on the track's timeline.
struct Stretch {
    int64_t start = 0;      // the movie's time where it begins, in the track's timescale
    int64_t length = -1;    // -1: to the end of the media
    int64_t mediaTime = 0;  // the media time it shows first
    bool hold = false;      // shows one picture for its length
};

// `d` movie units in the track's timescale, rounded; false when too large.
bool toTrackTime(uint64_t d, uint32_t movieTimescale, uint32_t trackTimescale, int64_t& out) {
    unsigned __int128 v = static_cast<unsigned __int128>(d) * trackTimescale + movieTimescale / 2;
    v /= movieTimescale;
    if (v > static_cast<unsigned __int128>(kMaxEditTime)) return false;
    out = static_cast<int64_t>(v);
    return true;
}

// The non-empty edits of `t` in order; false (and none) when the list is
// absent or cannot be followed.
bool stretches(const Track& t, uint32_t movieTimescale, std::vector<Stretch>& out) {
    out.clear();
    if (t.edits.empty() || movieTimescale == 0 || t.timescale == 0) return false;
    uint64_t at = 0;  // movie units
    for (const Edit& e : t.edits) {
        if (e.duration > static_cast<uint64_t>(kMaxEditTime) || e.mediaTime < -1 || e.mediaTime > kMaxEditTime ||
            (e.rate != 0x10000 && e.rate != 0)) {
            out.clear();
            return false;
        }
        if (e.mediaTime >= 0) {
            Stretch s;
            s.mediaTime = e.mediaTime;
            s.hold = e.rate == 0;
            int64_t end = 0;
            if (!toTrackTime(at, movieTimescale, t.timescale, s.start) ||
                !toTrackTime(at + e.duration, movieTimescale, t.timescale, end)) {
                out.clear();
                return false;
            }
            // A duration of 0 (as fragmented files write it) runs to the end.
            s.length = e.duration == 0 ? -1 : end - s.start;
            out.push_back(s);
            if (s.length < 0) break;  // nothing after it can be reached
        }
        at += e.duration;
        if (at > static_cast<uint64_t>(kMaxEditTime)) {
            out.clear();
            return false;
        }
    }
    return true;
}

}  // namespace

Presentation presentTrack(const Track& t, uint32_t movieTimescale) {
    Presentation p;
    const size_t n = t.samples.size();
    if (n == 0) return p;
    // Composition order; equal times keep their decoding order.
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
    std::stable_sort(order.begin(), order.end(),
                     [&t](uint32_t a, uint32_t b) { return t.samples[a].cts < t.samples[b].cts; });
    auto cts = [&](size_t k) { return t.samples[order[k]].cts; };
    auto endOf = [&](size_t k) { return k + 1 < n ? cts(k + 1) : std::max(t.mediaEnd, cts(k)); };

    std::vector<Stretch> edits;
    if (!stretches(t, movieTimescale, edits)) {
        p.samples.reserve(n);
        for (size_t k = 0; k < n; ++k) p.samples.push_back({order[k], cts(k)});
        p.end = endOf(n - 1);
        return p;
    }
    for (const Stretch& s : edits) {
        const int64_t m = s.mediaTime;
        // The first sample composed at or after media time m.
        size_t k = static_cast<size_t>(
            std::lower_bound(order.begin(), order.end(), m,
                             [&t](uint32_t i, int64_t v) { return t.samples[i].cts < v; }) -
            order.begin());
        if (s.hold) {
            // The picture composed for m: the last one at or before it.
            if (k == n || cts(k) > m) k = k > 0 ? k - 1 : 0;
            if (cts(k) < m && endOf(k) <= m) k = n;  // the media ends before m
            if (k < n && p.samples.size() < kMaxSamples) p.samples.push_back({order[k], s.start});
            p.end = s.length < 0 ? s.start : s.start + s.length;
            continue;
        }
        const int64_t stop = s.length < 0 ? std::numeric_limits<int64_t>::max() : m + s.length;
        for (; k < n && cts(k) < stop && p.samples.size() < kMaxSamples; ++k)
            p.samples.push_back({order[k], s.start + (cts(k) - m)});
        p.end = s.length < 0 ? s.start + std::max<int64_t>(endOf(n - 1) - m, 0) : s.start + s.length;
    }
    return p;
}

void firstEdit(const Track& t, uint32_t movieTimescale, int64_t& start, int64_t& length) {
    start = 0;
    length = -1;
    std::vector<Stretch> edits;
    if (!stretches(t, movieTimescale, edits) || edits.empty()) return;
    start = edits[0].start;
    length = edits[0].length;
}

// Builds a File from the boxes. Every handler gets a bounded payload span and
// returns false with err_ set to refuse the file.
class Parser {
public:
    explicit Parser(File& f) : file_(f) {}

    bool run();
    const std::string& error() const { return err_; }

private:
    using Handler = bool (Parser::*)(const Box&);
    struct Entry {
        uint32_t type;
        Handler fn;
    };
    static const Entry kTable[];

    // Sample-table spans of the track being parsed (pointers into moov_).
    struct TableSpans {
        Box stsz, stz2, stco, co64, stsc, stss, stts, ctts;
        bool hasStsz = false, hasStz2 = false, hasStco = false, hasCo64 = false, hasStsc = false,
             hasStss = false, hasStts = false, hasCtts = false;
    };

    bool fail(const std::string& why) {
        if (err_.empty()) err_ = why;
        return false;
    }
    bool readAt(uint64_t off, void* buf, size_t n) { return file_.readAt(off, buf, n); }

    bool children(const Box& b, size_t skip = 0);
    bool dispatch(const Box& b);

    bool container(const Box& b) { return children(b); }
    // Only the top-level movie box holds the tracks and tags.
    bool movie(const Box& b) { return b.parent == 0 ? children(b) : true; }
    bool trak(const Box& b);
    bool mvhd(const Box& b);
    bool tkhd(const Box& b);
    bool mdhd(const Box& b);
    bool hdlr(const Box& b);
    bool stsd(const Box& b);
    bool table(const Box& b);
    bool avcC(const Box& b);
    bool esds(const Box& b);
    bool frma(const Box& b);
    bool meta(const Box& b);
    bool ilst(const Box& b);
    bool elst(const Box& b);
    bool colr(const Box& b);
    bool sv3d(const Box& b);
    bool uuid(const Box& b);
    bool mvex(const Box& b) {
        if (b.parent == fourcc("moov")) file_.fragmented_ = true;
        return true;
    }

    bool sampleEntry(const Box& entry);
    bool buildSamples();
    void sampleTimes();

    File& file_;
    std::string err_;
    std::vector<uint8_t> moov_;
    Track* track_ = nullptr;
    TableSpans spans_;
    bool inSampleEntry_ = false;
    uint32_t entryType_ = 0;  // the sample entry whose children are being parsed
};

const Parser::Entry Parser::kTable[] = {
    {fourcc("moov"), &Parser::movie},     {fourcc("trak"), &Parser::trak},
    {fourcc("mdia"), &Parser::container}, {fourcc("minf"), &Parser::container},
    {fourcc("stbl"), &Parser::container}, {fourcc("udta"), &Parser::container},
    {fourcc("sinf"), &Parser::container}, {fourcc("wave"), &Parser::container},
    {fourcc("tkhd"), &Parser::tkhd},      {fourcc("mdhd"), &Parser::mdhd},
    {fourcc("hdlr"), &Parser::hdlr},      {fourcc("stsd"), &Parser::stsd},
    {fourcc("stsz"), &Parser::table},     {fourcc("stz2"), &Parser::table},
    {fourcc("stco"), &Parser::table},     {fourcc("co64"), &Parser::table},
    {fourcc("stsc"), &Parser::table},     {fourcc("stss"), &Parser::table},
    {fourcc("avcC"), &Parser::avcC},      {fourcc("esds"), &Parser::esds},
    {fourcc("frma"), &Parser::frma},      {fourcc("meta"), &Parser::meta},
    {fourcc("ilst"), &Parser::ilst},      {fourcc("edts"), &Parser::container},
    {fourcc("elst"), &Parser::elst},      {fourcc("stts"), &Parser::table},
    {fourcc("ctts"), &Parser::table},     {fourcc("mvex"), &Parser::mvex},
    {fourcc("mvhd"), &Parser::mvhd},      {fourcc("colr"), &Parser::colr},
    {fourcc("sv3d"), &Parser::sv3d},      {fourcc("uuid"), &Parser::uuid},
};

bool Parser::dispatch(const Box& b) {
    for (const Entry& e : kTable)
        if (e.type == b.type) return (this->*e.fn)(b);
    return true;  // unknown boxes are skipped
}

bool Parser::children(const Box& b, size_t skip) {
    if (b.depth >= kMaxDepth) return fail("boxes nested too deeply");
    if (skip > b.size) return fail("box " + typeName(b.type) + " is too short");
    const uint8_t* p = b.data + skip;
    size_t left = b.size - skip;
    // Fewer than 8 bytes left is padding (some writers end udta with 4 zero bytes).
    while (left >= 8) {
        uint32_t type;
        size_t header, total;
        if (!splitBox(p, left, type, header, total, err_)) return false;
        Box c{type, b.type, p + header, total - header, b.depth + 1};
        if (!dispatch(c)) return false;
        p += total;
        left -= total;
    }
    return true;
}

bool Parser::trak(const Box& b) {
    // A trak inside a trak is not a track (and would move the one being filled).
    if (b.parent != fourcc("moov") || track_) return true;
    file_.tracks_.emplace_back();
    track_ = &file_.tracks_.back();
    spans_ = TableSpans();
    bool ok = children(b) && buildSamples();
    uint32_t id = track_->id;
    track_ = nullptr;
    if (!ok) return false;
    // Tracks are looked up by id: 0 means none to callers, and ids are unique.
    if (id == 0) return fail("track " + std::to_string(file_.tracks_.size()) + " has no track id");
    for (size_t i = 0; i + 1 < file_.tracks_.size(); ++i)
        if (file_.tracks_[i].id == id) return fail("two tracks with id " + std::to_string(id));
    return true;
}

bool Parser::mvhd(const Box& b) {
    if (track_ || b.parent != fourcc("moov")) return true;
    // Without it edit lists cannot be timed; the samples remain usable.
    if (b.size < 4) return true;
    const size_t at = b.data[0] == 1 ? 4 + 8 + 8 : 4 + 4 + 4;
    if (b.size >= at + 4) file_.movieTimescale_ = be32(b.data + at);
    return true;
}

bool Parser::tkhd(const Box& b) {
    if (!track_) return true;
    if (b.size < 4) return fail("tkhd too short");
    uint8_t version = b.data[0];
    size_t need = version == 1 ? 4 + 8 + 8 + 4 : 4 + 4 + 4 + 4;
    if (b.size < need) return fail("tkhd too short");
    track_->enabled = (b.data[3] & 1) != 0;
    track_->id = be32(b.data + need - 4);
    // The matrix follows reserved, duration, reserved, layer, group, volume
    // and reserved; a box too short for it keeps the picture as stored.
    const size_t matrix = version == 1 ? 52 : 40;
    if (b.size >= matrix + 36) {
        const int32_t a = static_cast<int32_t>(be32(b.data + matrix)), bb = static_cast<int32_t>(be32(b.data + matrix + 4)),
                      c = static_cast<int32_t>(be32(b.data + matrix + 12)),
                      d = static_cast<int32_t>(be32(b.data + matrix + 16));
        // A point (x, y) is shown at (a x + c y, b x + d y).
        if (bb == 0 && c == 0 && a == d && a != 0)
            track_->displayRotation = a > 0 ? 0 : 180;
        else if (a == 0 && d == 0 && bb != 0 && int64_t{bb} == -int64_t{c})  // -c overflows for INT32_MIN
            track_->displayRotation = bb > 0 ? 90 : 270;
        else
            track_->displayRotation = -1;
    }
    return true;
}

bool Parser::colr(const Box& b) {
    // The colour box of the visual sample entry itself; the first one counts.
    if (!track_ || !inSampleEntry_ || b.parent != entryType_ || track_->hasColor) return true;
    if (b.size < 4) return true;  // too short to name its kind: as if absent
    const uint32_t kind = be32(b.data);
    if (kind != fourcc("nclx") && kind != fourcc("nclc")) return true;  // an ICC profile names no matrix
    if (b.size < 10) return true;
    track_->hasColor = true;
    track_->colorPrimaries = be16(b.data + 4);
    track_->colorTransfer = be16(b.data + 6);
    track_->colorMatrix = be16(b.data + 8);
    track_->colorFullRange = kind == fourcc("nclx") && b.size >= 11 ? static_cast<int8_t>(b.data[10] >> 7) : -1;
    return true;
}

namespace {

// The projection box's kind among the children of [p, p + left), in words:
// its first child after the header box; "unknown" for any other.
std::string projectionOf(const uint8_t* p, size_t left) {
    std::string ignored;
    while (left >= 8) {
        uint32_t type;
        size_t header, total;
        if (!splitBox(p, left, type, header, total, ignored)) break;
        if (type == fourcc("equi")) return "equirectangular";
        if (type == fourcc("cbmp")) return "cubemap";
        if (type == fourcc("mshp")) return "mesh";
        if (type != fourcc("prhd")) break;
        p += total;
        left -= total;
    }
    return "unknown";
}

}  // namespace

bool Parser::sv3d(const Box& b) {
    if (!track_ || !inSampleEntry_ || b.parent != entryType_) return true;
    // Spherical video whatever its details; a malformed box still says so.
    track_->projection = "unknown";
    const uint8_t* p = b.data;
    size_t left = b.size;
    std::string ignored;
    while (left >= 8) {
        uint32_t type;
        size_t header, total;
        if (!splitBox(p, left, type, header, total, ignored)) break;
        if (type == fourcc("proj")) {
            track_->projection = projectionOf(p + header, total - header);
            break;
        }
        p += total;
        left -= total;
    }
    return true;
}

bool Parser::uuid(const Box& b) {
    // The first form of spherical video metadata: an XML text in a uuid box
    // of the track, which marks equirectangular video.
    static const uint8_t kSpherical[16] = {0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                                           0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};
    if (!track_ || b.parent != fourcc("trak") || b.size < 16 || std::memcmp(b.data, kSpherical, 16) != 0) return true;
    static const char kMark[] = "Spherical>true<";
    const uint8_t* end = b.data + b.size;
    if (std::search(b.data + 16, end, kMark, kMark + sizeof kMark - 1) != end && track_->projection.empty())
        track_->projection = "equirectangular";
    return true;
}

bool Parser::mdhd(const Box& b) {
    if (!track_) return true;
    if (b.size < 4) return fail("mdhd too short");
    uint8_t version = b.data[0];
    if (version == 1) {
        if (b.size < 4 + 8 + 8 + 4 + 8) return fail("mdhd too short");
        track_->timescale = be32(b.data + 20);
        track_->duration = be64(b.data + 24);
    } else {
        if (b.size < 4 + 4 + 4 + 4 + 4) return fail("mdhd too short");
        track_->timescale = be32(b.data + 12);
        track_->duration = be32(b.data + 16);
    }
    return true;
}

bool Parser::hdlr(const Box& b) {
    // The meta box has an hdlr too ("mdir"); only the media handler names the track.
    if (!track_ || b.parent != fourcc("mdia")) return true;
    if (b.size < 12) return fail("hdlr too short");
    track_->handler = typeString(be32(b.data + 8));
    return true;
}

bool Parser::table(const Box& b) {
    if (!track_ || b.parent != fourcc("stbl")) return true;
    switch (b.type) {
        case fourcc("stsz"): spans_.stsz = b; spans_.hasStsz = true; break;
        case fourcc("stz2"): spans_.stz2 = b; spans_.hasStz2 = true; break;
        case fourcc("stco"): spans_.stco = b; spans_.hasStco = true; break;
        case fourcc("co64"): spans_.co64 = b; spans_.hasCo64 = true; break;
        case fourcc("stsc"): spans_.stsc = b; spans_.hasStsc = true; break;
        case fourcc("stss"): spans_.stss = b; spans_.hasStss = true; break;
        case fourcc("stts"): spans_.stts = b; spans_.hasStts = true; break;
        case fourcc("ctts"): spans_.ctts = b; spans_.hasCtts = true; break;
        default: break;
    }
    return true;
}

bool Parser::stsd(const Box& b) {
    if (!track_ || b.parent != fourcc("stbl")) return true;
    if (b.size < 8) return fail("stsd too short");
    uint32_t count = be32(b.data + 4);
    if (count == 0) return true;
    uint32_t type;
    size_t header, total;
    if (!splitBox(b.data + 8, b.size - 8, type, header, total, err_)) return false;
    Box entry{type, b.type, b.data + 8 + header, total - header, b.depth + 1};
    track_->sampleEntry = typeString(type);
    track_->sampleEntryBox.assign(b.data + 8, b.data + 8 + total);
    return sampleEntry(entry);
}

bool Parser::sampleEntry(const Box& e) {
    static const uint32_t kVisual[] = {fourcc("avc1"), fourcc("avc3"), fourcc("encv"),
                                       fourcc("hvc1"), fourcc("hev1"), fourcc("mp4v")};
    static const uint32_t kAudio[] = {fourcc("mp4a"), fourcc("enca")};
    bool visual = track_->handler == "vide";
    bool audio = track_->handler == "soun";
    for (uint32_t t : kVisual) visual = visual || e.type == t;
    for (uint32_t t : kAudio) audio = audio || e.type == t;

    size_t fixed = 8;  // reserved(6) + data_reference_index(2)
    if (visual) {
        fixed = 8 + 70;
        if (e.size < fixed) return fail("visual sample entry too short");
        track_->width = be16(e.data + 24);
        track_->height = be16(e.data + 26);
    } else if (audio) {
        fixed = 8 + 20;
        if (e.size < fixed) return fail("audio sample entry too short");
        uint16_t version = be16(e.data + 8);  // QuickTime sound description versions
        if (version == 1) fixed += 16;
        if (version == 2) fixed += 36;
        if (e.size < fixed) return fail("audio sample entry too short");
    } else {
        return true;  // text and other entries: only the name is used
    }
    inSampleEntry_ = true;
    entryType_ = e.type;
    bool ok = children(e, fixed);
    inSampleEntry_ = false;
    entryType_ = 0;
    return ok;
}

bool Parser::frma(const Box& b) {
    if (!track_ || !inSampleEntry_ || b.parent != fourcc("sinf")) return true;
    if (b.size < 4) return fail("frma too short");
    track_->originalFormat = typeString(be32(b.data));
    return true;
}

bool Parser::avcC(const Box& b) {
    if (!track_ || !inSampleEntry_) return true;
    const uint8_t* p = b.data;
    size_t left = b.size;
    if (left < 6) return fail("avcC too short");
    std::vector<std::vector<uint8_t>> sps, pps;
    const uint8_t lengthSize = static_cast<uint8_t>((p[4] & 3) + 1);
    unsigned n = p[5] & 0x1F;
    p += 6;
    left -= 6;
    for (int list = 0; list < 2; ++list) {
        auto& out = list == 0 ? sps : pps;
        for (unsigned i = 0; i < n; ++i) {
            if (left < 2) return fail("avcC parameter set list cut short");
            size_t len = be16(p);
            if (left - 2 < len) return fail("avcC parameter set runs past the box");
            out.emplace_back(p + 2, p + 2 + len);
            p += 2 + len;
            left -= 2 + len;
        }
        if (list == 0) {
            if (left < 1) return fail("avcC parameter set list cut short");
            n = p[0];
            ++p;
            --left;
        }
    }
    track_->hasAvcC = true;
    track_->nalLengthSize = lengthSize;
    track_->sps = std::move(sps);
    track_->pps = std::move(pps);
    return true;
}

namespace {

// One MPEG-4 descriptor: tag, length of 1 to 4 bytes with the 0x80
// continuation bit; the body must lie within [p, p + left).
bool splitDescriptor(const uint8_t*& p, size_t& left, uint8_t& tag, const uint8_t*& body,
                     size_t& len) {
    if (left < 2) return false;
    tag = p[0];
    size_t i = 1;
    len = 0;
    for (int k = 0; k < 4; ++k) {
        if (i >= left) return false;
        uint8_t c = p[i++];
        len = (len << 7) | (c & 0x7F);
        if (!(c & 0x80)) break;
        if (k == 3) return false;  // continuation past four bytes
    }
    if (len > left - i) return false;
    body = p + i;
    p += i + len;
    left -= i + len;
    return true;
}

}  // namespace

bool Parser::esds(const Box& b) {
    if (!track_ || !inSampleEntry_) return true;
    if (b.size < 4) return fail("esds too short");
    const uint8_t* p = b.data + 4;
    size_t left = b.size - 4;
    uint8_t tag;
    const uint8_t* body;
    size_t len;
    if (!splitDescriptor(p, left, tag, body, len)) return fail("esds descriptor runs past the box");
    // Usually an ES_Descriptor; some writers put the DecoderConfigDescriptor first.
    if (tag == 0x03) {
        if (len < 3) return fail("ES descriptor too short");
        uint8_t flags = body[2];
        size_t skip = 3;
        if (flags & 0x80) skip += 2;
        if (flags & 0x40) {
            if (len < skip + 1) return fail("ES descriptor too short");
            skip += 1 + body[skip];
        }
        if (flags & 0x20) skip += 2;
        if (len < skip) return fail("ES descriptor too short");
        p = body + skip;
        left = len - skip;
        bool found = false;
        while (left > 0) {
            if (!splitDescriptor(p, left, tag, body, len))
                return fail("esds descriptor runs past its parent");
            if (tag == 0x04) {
                found = true;
                break;
            }
        }
        if (!found) return true;
    } else if (tag != 0x04) {
        return true;
    }
    // DecoderConfigDescriptor.
    if (len < 13) return fail("decoder config descriptor too short");
    track_->hasEsds = true;
    track_->objectType = body[0];
    track_->decoderConfig.clear();
    p = body + 13;
    left = len - 13;
    while (left > 0) {
        const uint8_t* sub;
        size_t subLen;
        if (!splitDescriptor(p, left, tag, sub, subLen))
            return fail("esds descriptor runs past its parent");
        if (tag == 0x05) {
            track_->decoderConfig.assign(sub, sub + subLen);
            break;
        }
    }
    return true;
}

bool Parser::meta(const Box& b) {
    // Only the movie's tags: not those of a track's udta.
    if (track_ || (b.parent != fourcc("udta") && b.parent != fourcc("moov"))) return true;
    // Full box (version/flags, zero) or, from some writers, a plain box whose
    // first child's size stands where version/flags would be.
    size_t skip = (b.size >= 4 && be32(b.data) == 0) ? 4 : 0;
    return children(b, skip);
}

bool Parser::ilst(const Box& b) {
    if (b.parent != fourcc("meta")) return true;
    const uint8_t* p = b.data;
    size_t left = b.size;
    while (left >= 8) {
        uint32_t key;
        size_t header, total;
        if (!splitBox(p, left, key, header, total, err_)) return false;
        const uint8_t* q = p + header;
        size_t qleft = total - header;
        while (qleft >= 8) {
            uint32_t type;
            size_t h2, t2;
            if (!splitBox(q, qleft, type, h2, t2, err_)) return false;
            if (type == fourcc("data")) {
                if (t2 - h2 < 8) return fail("tag data box too short");
                const char* v = reinterpret_cast<const char*>(q + h2 + 8);
                std::string value(v, t2 - h2 - 8);
                std::string k = typeString(key);
                bool seen = false;
                for (const auto& kv : file_.tags_) seen = seen || kv.first == k;
                if (!seen) file_.tags_.emplace_back(k, std::move(value));
                break;
            }
            q += t2;
            qleft -= t2;
        }
        p += total;
        left -= total;
    }
    return true;
}

bool Parser::elst(const Box& b) {
    if (!track_ || b.parent != fourcc("edts")) return true;
    track_->edits.clear();
    track_->mediaStart = 0;
    // A malformed edit list is ignored: the samples remain usable without it.
    if (b.size < 8) return true;
    const uint8_t version = b.data[0];
    const size_t entrySize = version == 1 ? 20 : 12;
    const uint32_t count = be32(b.data + 4);
    if (count > (b.size - 8) / entrySize) return true;
    bool started = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = b.data + 8 + entrySize * i;
        Edit edit;
        edit.duration = version == 1 ? be64(e) : be32(e);
        edit.mediaTime = version == 1 ? static_cast<int64_t>(be64(e + 8))
                                       : static_cast<int64_t>(static_cast<int32_t>(be32(e + 4)));
        edit.rate = static_cast<int32_t>(be32(e + (version == 1 ? 16 : 8)));
        if (!started && edit.mediaTime >= 0) {  // -1 marks an empty edit (a pause before the media)
            track_->mediaStart = edit.mediaTime;
            started = true;
        }
        if (i < kMaxEdits) track_->edits.push_back(edit);
    }
    return true;
}

// Decode times from stts and composition offsets from ctts. Tables that do
// not cover every sample leave the rest at the last time; malformed ones are
// ignored (the samples then keep their decode order).
void Parser::sampleTimes() {
    Track& t = *track_;
    const TableSpans& s = spans_;
    const size_t count = t.samples.size();
    uint32_t lastDelta = 0;  // of the last sample in decoding order
    if (s.hasStts && s.stts.size >= 8) {
        uint32_t entries = be32(s.stts.data + 4);
        if (entries <= (s.stts.size - 8) / 8) {
            int64_t time = 0;
            size_t n = 0;
            for (uint32_t e = 0; e < entries && n < count; ++e) {
                uint32_t run = be32(s.stts.data + 8 + 8 * e);
                uint32_t delta = be32(s.stts.data + 12 + 8 * e);
                for (uint32_t k = 0; k < run && n < count; ++k, ++n) {
                    t.samples[n].cts = time;
                    time += delta;
                    lastDelta = delta;
                }
            }
            for (; n < count; ++n) t.samples[n].cts = time;
        }
    }
    if (s.hasCtts && s.ctts.size >= 8) {
        uint32_t entries = be32(s.ctts.data + 4);
        if (entries <= (s.ctts.size - 8) / 8) {
            size_t n = 0;
            for (uint32_t e = 0; e < entries && n < count; ++e) {
                uint32_t run = be32(s.ctts.data + 8 + 8 * e);
                // Signed in version 1; writers put negative offsets into version 0 too.
                int32_t offset = static_cast<int32_t>(be32(s.ctts.data + 12 + 8 * e));
                for (uint32_t k = 0; k < run && n < count; ++k, ++n) t.samples[n].cts += offset;
            }
            t.hasCompositionOffsets = true;
        }
    }
    // The last picture shows for as long as the last sample lasts.
    t.mediaEnd = 0;
    for (size_t n = 0; n < count; ++n)
        if (n == 0 || t.samples[n].cts + lastDelta > t.mediaEnd) t.mediaEnd = t.samples[n].cts + lastDelta;
}

bool Parser::buildSamples() {
    Track& t = *track_;
    const TableSpans& s = spans_;
    const uint64_t fileSize = file_.fileSize_;
    std::string tn = "track " + std::to_string(t.id) + ": ";

    // Sample sizes.
    uint32_t count = 0;
    uint32_t constSize = 0;
    const uint8_t* sizes = nullptr;
    unsigned fieldBits = 32;
    if (s.hasStsz) {
        if (s.stsz.size < 12) return fail(tn + "stsz too short");
        constSize = be32(s.stsz.data + 4);
        count = be32(s.stsz.data + 8);
        if (constSize == 0) {
            if (count > (s.stsz.size - 12) / 4) return fail(tn + "stsz holds fewer sizes than its count");
            sizes = s.stsz.data + 12;
        } else if (count > fileSize / constSize) {
            return fail(tn + "stsz counts more samples than the file can hold");
        }
    } else if (s.hasStz2) {
        if (s.stz2.size < 12) return fail(tn + "stz2 too short");
        fieldBits = s.stz2.data[7];
        count = be32(s.stz2.data + 8);
        if (fieldBits != 4 && fieldBits != 8 && fieldBits != 16)
            return fail(tn + "stz2 field size " + std::to_string(fieldBits) + " is not 4, 8 or 16");
        uint64_t bits = static_cast<uint64_t>(count) * fieldBits;
        if ((bits + 7) / 8 > s.stz2.size - 12) return fail(tn + "stz2 holds fewer sizes than its count");
        sizes = s.stz2.data + 12;
    }
    if (count == 0) return true;
    if (count > kMaxSamples) return fail(tn + "too many samples");

    // Chunk offsets.
    const uint8_t* offsets;
    uint32_t chunks;
    bool wide = false;
    if (s.hasStco) {
        if (s.stco.size < 8) return fail(tn + "stco too short");
        chunks = be32(s.stco.data + 4);
        if (chunks > (s.stco.size - 8) / 4) return fail(tn + "stco holds fewer offsets than its count");
        offsets = s.stco.data + 8;
    } else if (s.hasCo64) {
        if (s.co64.size < 8) return fail(tn + "co64 too short");
        chunks = be32(s.co64.data + 4);
        if (chunks > (s.co64.size - 8) / 8) return fail(tn + "co64 holds fewer offsets than its count");
        offsets = s.co64.data + 8;
        wide = true;
    } else {
        return fail(tn + "samples without chunk offsets");
    }

    // Sample-to-chunk runs.
    if (!s.hasStsc || s.stsc.size < 8) return fail(tn + "samples without a sample-to-chunk table");
    uint32_t runs = be32(s.stsc.data + 4);
    if (runs > (s.stsc.size - 8) / 12) return fail(tn + "stsc holds fewer entries than its count");
    const uint8_t* stsc = s.stsc.data + 8;

    t.samples.resize(count);
    t.indexedSamples = count;
    uint32_t n = 0;        // next sample index
    bool cut = false;      // a sample lies (partly) outside the file: keep those before it
    for (uint32_t r = 0; r < runs && n < count && !cut; ++r) {
        uint32_t first = be32(stsc + 12 * r);
        uint32_t perChunk = be32(stsc + 12 * r + 4);
        bool last = r + 1 == runs;
        uint32_t next = last ? chunks + 1 : be32(stsc + 12 * (r + 1));
        if (first == 0 || (r == 0 && first != 1) || (!last && next <= first))
            return fail(tn + "stsc chunk numbers out of order");
        if (next > chunks + 1) next = chunks + 1;
        for (uint32_t c = first; c < next && n < count && !cut; ++c) {
            uint64_t off = wide ? be64(offsets + 8 * (c - 1)) : be32(offsets + 4 * (c - 1));
            for (uint32_t k = 0; k < perChunk && n < count; ++k, ++n) {
                uint32_t size = constSize;
                if (sizes) {
                    if (fieldBits == 32)
                        size = be32(sizes + 4 * n);
                    else if (fieldBits == 16)
                        size = be16(sizes + 2 * n);
                    else if (fieldBits == 8)
                        size = sizes[n];
                    else
                        size = (n & 1) ? (sizes[n / 2] & 0x0F) : (sizes[n / 2] >> 4);
                }
                if (off > fileSize || size > fileSize - off) {
                    cut = true;
                    break;
                }
                t.samples[n].offset = off;
                t.samples[n].size = size;
                if (size > t.maxSampleSize) t.maxSampleSize = size;
                off += size;
            }
        }
    }
    if (n < count && !cut) return fail(tn + "chunks hold fewer samples than the sample size table");
    if (cut) t.samples.resize(n);
    count = n;

    // Sync samples: no stss means every sample is one.
    if (!s.hasStss) {
        for (Sample& x : t.samples) x.sync = true;
    } else {
        if (s.stss.size < 8) return fail(tn + "stss too short");
        uint32_t k = be32(s.stss.data + 4);
        if (k > (s.stss.size - 8) / 4) return fail(tn + "stss holds fewer entries than its count");
        for (uint32_t i = 0; i < k; ++i) {
            uint32_t num = be32(s.stss.data + 8 + 4 * i);
            if (num >= 1 && num <= count) t.samples[num - 1].sync = true;
        }
    }
    sampleTimes();
    return true;
}

bool Parser::run() {
    const uint64_t fileSize = file_.fileSize_;
    uint64_t pos = 0;
    bool haveMoov = false;
    while (fileSize - pos >= 8) {
        uint8_t h[16];
        if (!readAt(pos, h, 8)) return fail("read error");
        uint64_t size = be32(h);
        uint32_t type = be32(h + 4);
        uint64_t header = 8;
        if (size == 1) {
            if (fileSize - pos < 16 || !readAt(pos + 8, h + 8, 8))
                return fail("64-bit box header of " + typeName(type) + " cut short");
            size = be64(h + 8);
            header = 16;
        } else if (size == 0) {
            size = fileSize - pos;
        }
        if (size < header) return fail("box " + typeName(type) + " is smaller than its header");
        bool truncated = size > fileSize - pos;
        if (type == fourcc("moof")) file_.fragmented_ = true;
        if (type == fourcc("moov") && !haveMoov) {
            if (truncated) return fail("moov runs past the end of the file");
            if (size - header > kMaxMoovSize) return fail("moov too large");
            moov_.resize(static_cast<size_t>(size - header));
            if (!readAt(pos + header, moov_.data(), moov_.size())) return fail("read error");
            Box b{type, 0, moov_.data(), moov_.size(), 0};
            if (!dispatch(b)) return false;
            haveMoov = true;
        }
        if (truncated) break;  // e.g. a cut-off mdat: its samples are checked one by one
        pos += size;
    }
    if (!haveMoov) return fail("no moov box");
    return true;
}

bool File::readAt(uint64_t off, void* buf, size_t n) const {
    if (off > fileSize_ || n > fileSize_ - off) return false;
    if (n == 0) return true;
    if (!fp_) {
        std::memcpy(buf, mem_.data() + off, n);
        return true;
    }
    int fd = ::fileno(fp_);
    uint8_t* out = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t got = ::pread(fd, out, n, static_cast<off_t>(off));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        off += static_cast<uint64_t>(got);
        n -= static_cast<size_t>(got);
    }
    return true;
}

std::unique_ptr<File> File::parse(std::unique_ptr<File> f, std::string* error) {
    try {
        Parser p(*f);
        if (!p.run()) {
            if (error) *error = p.error();
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        if (error) *error = "out of memory";
        return nullptr;
    }
    return f;
}

std::unique_ptr<File> File::open(const char* path, std::string* error) {
    try {
        if (!path || !*path) {
            if (error) *error = "no file name";
            return nullptr;
        }
        std::unique_ptr<File> f(new File());
        f->fp_ = std::fopen(path, "rb");
        if (!f->fp_) {
            if (error) *error = std::string("cannot open: ") + std::strerror(errno);
            return nullptr;
        }
        struct stat st;
        if (::fstat(::fileno(f->fp_), &st) != 0 || !S_ISREG(st.st_mode)) {
            if (error) *error = "not a regular file";
            return nullptr;
        }
        f->fileSize_ = static_cast<uint64_t>(st.st_size);
        return parse(std::move(f), error);
    } catch (const std::exception&) {
        if (error) *error = "out of memory";
        return nullptr;
    }
}

std::unique_ptr<File> File::openMemory(const void* data, size_t size, std::string* error) {
    try {
        std::unique_ptr<File> f(new File());
        const uint8_t* p = static_cast<const uint8_t*>(data);
        if (size) f->mem_.assign(p, p + size);
        f->fileSize_ = size;
        return parse(std::move(f), error);
    } catch (const std::exception&) {
        if (error) *error = "out of memory";
        return nullptr;
    }
}

File::~File() {
    if (fp_) std::fclose(fp_);
}

const Track* File::trackById(uint32_t id) const {
    for (const Track& t : tracks_)
        if (t.id == id) return &t;
    return nullptr;
}

bool File::readSample(uint32_t trackId, uint32_t number, uint8_t* buf, uint32_t capacity,
                      uint32_t& size) const {
    const Track* t = trackById(trackId);
    if (!t || number == 0 || number > t->samples.size()) return false;
    const Sample& s = t->samples[number - 1];
    if (s.size > capacity || (s.size > 0 && !buf)) return false;
    if (!readAt(s.offset, buf, s.size)) return false;
    size = s.size;
    return true;
}

bool File::tag(const char key[4], std::string& value) const {
    if (!key) return false;
    std::string k(key, 4);
    for (const auto& kv : tags_)
        if (kv.first == k) {
            value = kv.second;
            return true;
        }
    return false;
}

}  // namespace mp4
