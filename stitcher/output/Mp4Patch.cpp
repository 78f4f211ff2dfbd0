#include "Mp4Patch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace stitcher {

namespace {

uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
uint64_t be64(const uint8_t* p) { return (uint64_t(be32(p)) << 32) | be32(p + 4); }
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v >> 32));
    put32(p + 4, static_cast<uint32_t>(v));
}

// A box inside moov's bytes: where it starts, its whole size, where its
// children (or payload) start. Only 32-bit sizes: the boxes this touches
// never need more.
struct Box {
    size_t at = 0, size = 0, body = 0;
    char type[5] = {0};
};

// The boxes in [begin, end); false when one does not fit.
bool children(const std::vector<uint8_t>& m, size_t begin, size_t end, std::vector<Box>& out) {
    out.clear();
    for (size_t at = begin; at < end;) {
        if (end - at < 8) return false;
        const uint32_t size = be32(m.data() + at);
        if (size < 8 || size > end - at) return false;  // 64-bit or to-the-end sizes are not expected here
        Box b;
        b.at = at;
        b.size = size;
        b.body = at + 8;
        std::memcpy(b.type, m.data() + at + 4, 4);
        out.push_back(b);
        at += size;
    }
    return true;
}

const Box* find(const std::vector<Box>& boxes, const char* type) {
    for (const Box& b : boxes)
        if (std::memcmp(b.type, type, 4) == 0) return &b;
    return nullptr;
}

bool readAll(int fd, uint8_t* p, size_t n, off_t at) {
    while (n > 0) {
        ssize_t got = ::pread(fd, p, n, at);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
        at += got;
    }
    return true;
}

bool writeAll(int fd, const uint8_t* p, size_t n, off_t at) {
    while (n > 0) {
        ssize_t put = ::pwrite(fd, p, n, at);
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
        at += put;
    }
    return true;
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

uint32_t spatialAudioChannels(const std::vector<uint8_t>& box) {
    if (box.size() < 20 || std::memcmp(box.data() + 4, "SA3D", 4) != 0 || be32(box.data()) != box.size()) return 0;
    return be32(box.data() + 16);
}

Status addAudioEntryBox(const std::string& path, const std::vector<uint8_t>& box, bool& intact) {
    intact = true;
    auto fail = [&](const std::string& why) { return Status(kExitOutput, "cannot mark the sound of " + path + ": " + why); };
    if (box.size() < 8 || be32(box.data()) != box.size()) return fail("the box to add is malformed");
    Fd f{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    struct stat st {};
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0) return fail(std::strerror(errno));
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);

    // moov among the top-level boxes.
    uint64_t moovAt = 0, moovSize = 0;
    for (uint64_t at = 0; at + 8 <= fileSize;) {
        uint8_t h[16];
        if (!readAll(f.fd, h, 8, static_cast<off_t>(at))) return fail("cannot read it");
        uint64_t size = be32(h);
        if (size == 1) {
            if (at + 16 > fileSize || !readAll(f.fd, h + 8, 8, static_cast<off_t>(at + 8))) return fail("a box is cut short");
            size = be64(h + 8);
        } else if (size == 0) {
            size = fileSize - at;
        }
        if (size < 8 || size > fileSize - at) return fail("a box runs past the end of the file");
        if (std::memcmp(h + 4, "moov", 4) == 0) {
            if (be32(h) == 1) return fail("its index box has a 64-bit size");
            moovAt = at;
            moovSize = size;
            break;
        }
        at += size;
    }
    if (moovSize == 0) return fail("it has no index box");
    if (moovSize + box.size() > 0xFFFFFFFFull || moovSize > (256u << 20)) return fail("its index box is too large");
    std::vector<uint8_t> m(moovSize);
    if (!readAll(f.fd, m.data(), m.size(), static_cast<off_t>(moovAt))) return fail("cannot read its index");

    // The sound track's entry and the boxes around it; every track's chunk offsets.
    std::vector<size_t> grow{0};  // header offsets of the boxes that grow; moov first
    size_t insertAt = 0;
    std::vector<Box> tracks, level;
    if (!children(m, 8, m.size(), tracks)) return fail("its index is malformed");
    struct Offsets {
        size_t at;
        bool wide;
    };
    std::vector<Offsets> offsets;
    for (const Box& trak : tracks) {
        if (std::memcmp(trak.type, "trak", 4) != 0) continue;
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
        const bool sound = hdlr && hdlr->size >= 20 && std::memcmp(m.data() + hdlr->at + 16, "soun", 4) == 0;
        path.push_back(minf->at);
        Box mi = *minf;
        if (!children(m, mi.body, mi.at + mi.size, level)) return fail("a track is malformed");
        const Box* stbl = find(level, "stbl");
        if (!stbl) continue;
        path.push_back(stbl->at);
        Box sb = *stbl;
        if (!children(m, sb.body, sb.at + sb.size, level)) return fail("a track is malformed");
        for (const Box& b : level) {
            const bool stco = std::memcmp(b.type, "stco", 4) == 0, co64 = std::memcmp(b.type, "co64", 4) == 0;
            if (!stco && !co64) continue;
            if (b.size < 16) return fail("a chunk offset table is malformed");
            const uint64_t count = be32(m.data() + b.at + 12);
            if (count > (b.size - 16) / (co64 ? 8 : 4)) return fail("a chunk offset table is malformed");
            for (uint64_t i = 0; i < count; ++i) offsets.push_back({b.at + 16 + i * (co64 ? 8 : 4), co64});
        }
        if (!sound || insertAt != 0) continue;
        const Box* stsd = find(level, "stsd");
        if (!stsd || stsd->size < 16 + 8 || be32(m.data() + stsd->at + 12) == 0)
            return fail("the sound track has no sample entry");
        const uint32_t entrySize = be32(m.data() + stsd->at + 16);
        if (entrySize < 8 || entrySize > stsd->size - 16) return fail("the sound track's sample entry is malformed");
        path.push_back(stsd->at);
        path.push_back(stsd->at + 16);
        grow.insert(grow.end(), path.begin(), path.end());
        insertAt = stsd->at + 16 + entrySize;
    }
    if (insertAt == 0) return fail("it has no sound track");

    // Data behind moov's start moves by the box's size.
    const uint64_t delta = box.size();
    for (const Offsets& o : offsets) {
        if (o.wide) {
            const uint64_t v = be64(m.data() + o.at);
            if (v >= moovAt) put64(m.data() + o.at, v + delta);
        } else {
            const uint64_t v = be32(m.data() + o.at);
            if (v >= moovAt) {
                if (v + delta > 0xFFFFFFFFull) return fail("a chunk offset would pass 4 GiB");
                put32(m.data() + o.at, static_cast<uint32_t>(v + delta));
            }
        }
    }
    for (size_t at : grow) put32(m.data() + at, static_cast<uint32_t>(be32(m.data() + at) + delta));
    m.insert(m.begin() + static_cast<long>(insertAt), box.begin(), box.end());

    // What follows moov moves back, from the end on; then the new moov.
    intact = false;
    const uint64_t tail = moovAt + moovSize;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t end = fileSize; end > tail;) {
        const uint64_t n = std::min<uint64_t>(buf.size(), end - tail);
        const uint64_t from = end - n;
        if (!readAll(f.fd, buf.data(), n, static_cast<off_t>(from)) ||
            !writeAll(f.fd, buf.data(), n, static_cast<off_t>(from + delta)))
            return fail(std::strerror(errno ? errno : EIO));
        end = from;
    }
    if (!writeAll(f.fd, m.data(), m.size(), static_cast<off_t>(moovAt))) return fail(std::strerror(errno ? errno : EIO));
    if (::close(f.fd) != 0) {
        f.fd = -1;
        return fail(std::strerror(errno));
    }
    f.fd = -1;
    return Status();
}

}  // namespace stitcher
