#include "Mp4Patch.h"

#include "Mp4Moov.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace stitcher {

using namespace mp4;

uint32_t spatialAudioChannels(const std::vector<uint8_t>& box) {
    if (box.size() < 20 || std::memcmp(box.data() + 4, "SA3D", 4) != 0 || be32(box.data()) != box.size()) return 0;
    return be32(box.data() + 16);
}

namespace {

// Whether `boxes` is one or more whole boxes, one after another.
bool wholeBoxes(const std::vector<uint8_t>& boxes) {
    size_t at = 0;
    while (at + 8 <= boxes.size()) {
        const uint32_t size = be32(boxes.data() + at);
        if (size < 8 || size > boxes.size() - at) return false;
        at += size;
    }
    return at == boxes.size() && at > 0;
}

// Adds `box` (one or more boxes) to the first track whose handler is
// `handler`: to the children of its first sample entry (`intoEntry`) or to
// those of its track box.
Status addTrackBox(const std::string& path, const std::vector<uint8_t>& box, const char* handler, bool intoEntry,
                   const std::string& what, bool& intact) {
    intact = true;
    auto fail = [&](const std::string& why) { return Status(kExitOutput, "cannot " + what + " of " + path + ": " + why); };
    if (!wholeBoxes(box)) return fail("the box to add is malformed");
    MovieFile f;
    std::string why;
    if (!f.open(path, why)) return fail(why);
    if (f.moovSize + box.size() > 0xFFFFFFFFull) return fail("its index box is too large");
    Bytes& m = f.moov;

    // The track's entry (or the track) and the boxes around it; every track's chunk offsets.
    std::vector<size_t> grow{0};  // header offsets of the boxes that grow; moov first
    size_t insertAt = 0;
    std::vector<Box> tracks, level;
    if (!children(m, 8, m.size(), tracks)) return fail("its index is malformed");
    std::vector<ChunkOffset> offsets;
    for (const Box& trak : tracks) {
        if (!trak.is("trak")) continue;
        std::vector<size_t> path{trak.at};
        if (!children(m, trak.body, trak.at + trak.size, level)) return fail("a track is malformed");
        const Box* mdia = find(level, "mdia");
        if (!mdia) continue;
        path.push_back(mdia->at);
        Box md = *mdia;
        if (!children(m, md.body, md.at + md.size, level)) return fail("a track is malformed");
        const Box* hdlr = find(level, "hdlr");
        const Box* minf = find(level, "minf");
        if (!minf) continue;
        const bool wanted = hdlr && hdlr->size >= 20 && std::memcmp(m.data() + hdlr->at + 16, handler, 4) == 0;
        path.push_back(minf->at);
        Box mi = *minf;
        if (!children(m, mi.body, mi.at + mi.size, level)) return fail("a track is malformed");
        const Box* stbl = find(level, "stbl");
        if (!stbl) continue;
        path.push_back(stbl->at);
        Box sb = *stbl;
        if (!children(m, sb.body, sb.at + sb.size, level)) return fail("a track is malformed");
        if (!f.collectChunkOffsets(level, offsets)) return fail("a chunk offset table is malformed");
        if (!wanted || insertAt != 0) continue;
        if (!intoEntry) {
            grow.push_back(trak.at);
            insertAt = trak.at + trak.size;
            continue;
        }
        const Box* stsd = find(level, "stsd");
        if (!stsd || stsd->size < 16 + 8 || be32(m.data() + stsd->at + 12) == 0)
            return fail("the track has no sample entry");
        const uint32_t entrySize = be32(m.data() + stsd->at + 16);
        if (entrySize < 8 || entrySize > stsd->size - 16) return fail("the track's sample entry is malformed");
        path.push_back(stsd->at);
        path.push_back(stsd->at + 16);
        grow.insert(grow.end(), path.begin(), path.end());
        insertAt = stsd->at + 16 + entrySize;
    }
    if (insertAt == 0) return fail(std::string("it has no ") + (std::strcmp(handler, "soun") == 0 ? "sound" : "video") + " track");

    // Data behind moov's start moves by the box's size.
    const uint64_t delta = box.size();
    if (!f.shiftChunkOffsets(offsets, delta, why)) return fail(why);
    for (size_t at : grow) set32(m.data() + at, static_cast<uint32_t>(be32(m.data() + at) + delta));
    m.insert(m.begin() + static_cast<long>(insertAt), box.begin(), box.end());

    // What follows moov moves back, from the end on; then the new moov.
    intact = false;
    if (!f.rewrite(delta)) return fail(std::strerror(errno ? errno : EIO));
    if (!f.close()) return fail(std::strerror(errno));
    return Status();
}

}  // namespace

Status addAudioEntryBox(const std::string& path, const std::vector<uint8_t>& box, bool& intact) {
    return addTrackBox(path, box, "soun", true, "mark the sound", intact);
}

Status addVideoTrackBox(const std::string& path, const std::vector<uint8_t>& box, bool& intact) {
    return addTrackBox(path, box, "vide", false, "tag the video", intact);
}

Status addVideoEntryBox(const std::string& path, const std::vector<uint8_t>& boxes, bool& intact) {
    return addTrackBox(path, boxes, "vide", true, "tag the video", intact);
}

}  // namespace stitcher
