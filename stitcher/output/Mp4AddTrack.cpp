#include "Mp4AddTrack.h"

#include "Mp4Moov.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace stitcher {

namespace {

using namespace mp4;

void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}
void put64(Bytes& b, uint64_t v) {
    put32(b, static_cast<uint32_t>(v >> 32));
    put32(b, static_cast<uint32_t>(v));
}
void putZeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }

Bytes box(const char* type, const Bytes& body) {
    Bytes b;
    put32(b, static_cast<uint32_t>(body.size() + 8));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
Bytes fullBox(const char* type, uint32_t versionFlags, const Bytes& body) {
    Bytes b;
    put32(b, versionFlags);
    b.insert(b.end(), body.begin(), body.end());
    return box(type, b);
}
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
void putMatrix(Bytes& b) {
    const uint32_t unity[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : unity) put32(b, v);
}

// `v` units of `from` per second in units of `to`, rounded.
uint64_t rescale(uint64_t v, uint32_t from, uint32_t to) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(v) * to + from / 2) / from);
}

// The track's box: its samples in one chunk at `dataAt`.
Bytes trakBox(const CopiedTrack& t, uint32_t id, uint32_t movieTimescale, uint64_t dataAt) {
    const int64_t first = t.samples.front().time;
    const int64_t end = t.samples.back().time + std::max<int64_t>(t.samples.back().duration, 0);
    const uint64_t mediaDuration = static_cast<uint64_t>(end - first);
    const uint64_t lead = rescale(static_cast<uint64_t>(first), t.timescale, movieTimescale);
    const uint64_t shown = rescale(mediaDuration, t.timescale, movieTimescale);

    Bytes tkhd;
    put64(tkhd, 0);  // creation and modification times
    put32(tkhd, id);
    put32(tkhd, 0);
    put32(tkhd, static_cast<uint32_t>(std::min<uint64_t>(lead + shown, 0xFFFFFFFFu)));
    putZeros(tkhd, 8 + 2 + 2 + 2 + 2);  // reserved, layer, group, volume, reserved
    putMatrix(tkhd);
    put64(tkhd, 0);  // no picture size

    // Sound or pictures start at the movie's start; this track's first sample
    // may come later: an empty edit before it.
    Bytes elst;
    put32(elst, lead > 0 ? 2 : 1);
    if (lead > 0) {
        put32(elst, static_cast<uint32_t>(std::min<uint64_t>(lead, 0xFFFFFFFFu)));
        put32(elst, 0xFFFFFFFFu);
        put32(elst, 0x10000);
    }
    put32(elst, static_cast<uint32_t>(std::min<uint64_t>(shown, 0xFFFFFFFFu)));
    put32(elst, 0);
    put32(elst, 0x10000);

    Bytes mdhd;
    put64(mdhd, 0);
    put32(mdhd, t.timescale);
    put32(mdhd, static_cast<uint32_t>(std::min<uint64_t>(mediaDuration, 0xFFFFFFFFu)));
    put16(mdhd, 0x55C4);  // "und"
    put16(mdhd, 0);
    Bytes hdlr;
    put32(hdlr, 0);
    hdlr.insert(hdlr.end(), t.handler.begin(), t.handler.begin() + 4);
    putZeros(hdlr, 12);
    const char name[] = "MotionHandler";
    hdlr.insert(hdlr.end(), name, name + sizeof name);

    Bytes stsd, stts, stsc, stsz, co64;
    put32(stsd, 1);
    stsd.insert(stsd.end(), t.sampleEntry.begin(), t.sampleEntry.end());
    std::vector<std::pair<uint32_t, uint32_t>> runs;  // count, duration
    for (size_t k = 0; k < t.samples.size(); ++k) {
        const int64_t next = k + 1 < t.samples.size() ? t.samples[k + 1].time : end;
        const uint32_t d = static_cast<uint32_t>(std::clamp<int64_t>(next - t.samples[k].time, 0, 0x7FFFFFFF));
        if (!runs.empty() && runs.back().second == d)
            ++runs.back().first;
        else
            runs.push_back({1, d});
    }
    put32(stts, static_cast<uint32_t>(runs.size()));
    for (const auto& r : runs) put32(stts, r.first), put32(stts, r.second);
    put32(stsc, 1);
    put32(stsc, 1);
    put32(stsc, static_cast<uint32_t>(t.samples.size()));
    put32(stsc, 1);
    put32(stsz, 0);
    put32(stsz, static_cast<uint32_t>(t.samples.size()));
    for (const auto& s : t.samples) put32(stsz, static_cast<uint32_t>(s.data.size()));
    put32(co64, 1);
    put64(co64, dataAt);

    Bytes url = fullBox("url ", 1, {});
    Bytes dref;
    put32(dref, 1);
    dref.insert(dref.end(), url.begin(), url.end());
    const Bytes stbl = box("stbl", join({fullBox("stsd", 0, stsd), fullBox("stts", 0, stts), fullBox("stsc", 0, stsc),
                                         fullBox("stsz", 0, stsz), fullBox("co64", 0, co64)}));
    const Bytes minf = box("minf", join({fullBox("nmhd", 0, {}), box("dinf", fullBox("dref", 0, dref)), stbl}));
    const Bytes mdia = box("mdia", join({fullBox("mdhd", 0, mdhd), fullBox("hdlr", 0, hdlr), minf}));
    return box("trak", join({fullBox("tkhd", 3, tkhd), box("edts", fullBox("elst", 0, elst)), mdia}));
}

}  // namespace

Status addCopiedTrack(const std::string& path, const CopiedTrack& track, bool& intact) {
    intact = true;
    auto fail = [&](const std::string& why) {
        return Status(kExitOutput, "cannot add the " + track.handler + " track to " + path + ": " + why);
    };
    if (track.samples.empty()) return Status();
    if (track.handler.size() != 4 || track.timescale == 0 || track.sampleEntry.size() < 8 ||
        be32(track.sampleEntry.data()) != track.sampleEntry.size())
        return fail("the track is malformed");
    uint64_t dataBytes = 0;
    for (size_t k = 0; k < track.samples.size(); ++k) {
        const auto& s = track.samples[k];
        if (s.time < 0 || (k > 0 && s.time < track.samples[k - 1].time) || s.data.size() > 0xFFFFFFFFu)
            return fail("the track's samples are out of order");
        dataBytes += s.data.size();
    }

    MovieFile f;
    std::string why;
    if (!f.open(path, why)) return fail(why);
    const uint64_t fileSize = f.fileSize, moovSize = f.moovSize;
    Bytes& m = f.moov;

    // The movie's time scale and next track id; every chunk offset.
    std::vector<Box> top, level;
    if (!children(m, 8, m.size(), top)) return fail("its index is malformed");
    const Box* mvhd = find(top, "mvhd");
    if (!mvhd || mvhd->size < 8 + 4 + 16 + 4) return fail("it has no movie header");
    const bool wideHeader = m[mvhd->body] == 1;
    const size_t scaleAt = mvhd->body + (wideHeader ? 4 + 16 : 4 + 8);
    const size_t nextIdAt = mvhd->at + mvhd->size - 4;
    if (scaleAt + 4 > nextIdAt) return fail("its movie header is malformed");
    const uint32_t movieTimescale = be32(m.data() + scaleAt);
    if (movieTimescale == 0) return fail("its movie has no time scale");
    uint32_t id = be32(m.data() + nextIdAt);
    std::vector<ChunkOffset> offsets;
    for (const Box& trak : top) {
        if (!trak.is("trak")) continue;
        if (!children(m, trak.body, trak.at + trak.size, level)) return fail("a track is malformed");
        if (const Box* tkhd = find(level, "tkhd")) {
            const size_t idAt = tkhd->body + (m[tkhd->body] == 1 ? 4 + 16 : 4 + 8);
            if (idAt + 4 <= tkhd->at + tkhd->size) id = std::max(id, be32(m.data() + idAt) + 1);
        }
        const char* descent[] = {"mdia", "minf", "stbl"};
        bool found = true;
        for (const char* name : descent) {
            const Box* b = find(level, name);
            if (!b) {
                found = false;
                break;
            }
            const Box inner = *b;
            if (!children(m, inner.body, inner.at + inner.size, level)) return fail("a track is malformed");
        }
        if (!found) continue;
        if (!f.collectChunkOffsets(level, offsets)) return fail("a chunk offset table is malformed");
    }
    if (id == 0 || id == 0xFFFFFFFFu) return fail("it has no track id left");

    // The new track's box; its samples go in a media data box at the new end of the file.
    const uint64_t mdatHeader = dataBytes + 8 > 0xFFFFFFFFu ? 16 : 8;
    Bytes probe = trakBox(track, id, movieTimescale, 0);
    const uint64_t delta = probe.size();
    if (moovSize + delta > 0xFFFFFFFFu) return fail("its index box is too large");
    const Bytes trak = trakBox(track, id, movieTimescale, fileSize + delta + mdatHeader);

    if (!f.shiftChunkOffsets(offsets, delta, why)) return fail(why);
    set32(m.data() + nextIdAt, id + 1);
    set32(m.data(), static_cast<uint32_t>(moovSize + delta));
    m.insert(m.end(), trak.begin(), trak.end());
    Bytes mdat;
    if (mdatHeader == 16) {
        put32(mdat, 1);
        mdat.insert(mdat.end(), {'m', 'd', 'a', 't'});
        put64(mdat, dataBytes + 16);
    } else {
        put32(mdat, static_cast<uint32_t>(dataBytes + 8));
        mdat.insert(mdat.end(), {'m', 'd', 'a', 't'});
    }

    // What follows moov moves back, from the end on; then the new moov, then the samples.
    intact = false;
    if (!f.rewrite(delta)) return fail(std::strerror(errno ? errno : EIO));
    uint64_t at = fileSize + delta;
    bool ok = writeAll(f.fd, mdat.data(), mdat.size(), at);
    at += mdat.size();
    for (size_t k = 0; ok && k < track.samples.size(); ++k) {
        ok = writeAll(f.fd, track.samples[k].data.data(), track.samples[k].data.size(), at);
        at += track.samples[k].data.size();
    }
    if (!ok) return fail(std::strerror(errno ? errno : EIO));
    if (!f.close()) return fail(std::strerror(errno));
    return Status();
}

}  // namespace stitcher
