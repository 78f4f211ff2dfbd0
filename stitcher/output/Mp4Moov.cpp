#include "Mp4Moov.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace stitcher::mp4 {

bool Box::is(const char* t) const { return std::memcmp(type, t, 4) == 0; }

bool children(const Bytes& m, size_t begin, size_t end, std::vector<Box>& out) {
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
        if (b.is(type)) return &b;
    return nullptr;
}

bool readAll(int fd, uint8_t* p, size_t n, uint64_t at) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
        at += static_cast<uint64_t>(got);
    }
    return true;
}

bool writeAll(int fd, const uint8_t* p, size_t n, uint64_t at) {
    while (n > 0) {
        const ssize_t put = ::pwrite(fd, p, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
        at += static_cast<uint64_t>(put);
    }
    return true;
}

MovieFile::~MovieFile() {
    if (fd >= 0) ::close(fd);
}

bool MovieFile::open(const std::string& path, std::string& why) {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    fileSize = static_cast<uint64_t>(st.st_size);

    // moov among the top-level boxes.
    for (uint64_t at = 0; at + 8 <= fileSize;) {
        uint8_t h[16];
        if (!readAll(fd, h, 8, at)) return why = "cannot read it", false;
        uint64_t size = be32(h);
        if (size == 1) {
            if (at + 16 > fileSize || !readAll(fd, h + 8, 8, at + 8)) return why = "a box is cut short", false;
            size = be64(h + 8);
        } else if (size == 0) {
            size = fileSize - at;
        }
        if (size < 8 || size > fileSize - at) return why = "a box runs past the end of the file", false;
        if (std::memcmp(h + 4, "moov", 4) == 0) {
            if (be32(h) == 1) return why = "its index box has a 64-bit size", false;
            moovAt = at;
            moovSize = size;
            break;
        }
        at += size;
    }
    if (moovSize == 0) return why = "it has no index box", false;
    if (moovSize > (256u << 20)) return why = "its index box is too large", false;
    moov.assign(moovSize, 0);
    if (!readAll(fd, moov.data(), moov.size(), moovAt)) return why = "cannot read its index", false;
    return true;
}

bool MovieFile::collectChunkOffsets(const std::vector<Box>& stbl, std::vector<ChunkOffset>& out) const {
    for (const Box& b : stbl) {
        if (!b.is("stco") && !b.is("co64")) continue;
        const bool wide = b.is("co64");
        if (b.size < 16) return false;
        const uint64_t count = be32(moov.data() + b.at + 12);
        if (count > (b.size - 16) / (wide ? 8 : 4)) return false;
        for (uint64_t i = 0; i < count; ++i) out.push_back({static_cast<size_t>(b.at + 16 + i * (wide ? 8 : 4)), wide});
    }
    return true;
}

bool MovieFile::shiftChunkOffsets(const std::vector<ChunkOffset>& offsets, uint64_t delta, std::string& why) {
    // Checked first, so that a refusal leaves the movie box as it was.
    for (const ChunkOffset& o : offsets)
        if (!o.wide && be32(moov.data() + o.at) >= moovAt && be32(moov.data() + o.at) + delta > 0xFFFFFFFFull)
            return why = "a chunk offset would pass 4 GiB", false;
    for (const ChunkOffset& o : offsets) {
        if (o.wide) {
            const uint64_t v = be64(moov.data() + o.at);
            if (v >= moovAt) set64(moov.data() + o.at, v + delta);
        } else {
            const uint64_t v = be32(moov.data() + o.at);
            if (v >= moovAt) set32(moov.data() + o.at, static_cast<uint32_t>(v + delta));
        }
    }
    return true;
}

bool MovieFile::rewrite(uint64_t delta) {
    const uint64_t tail = moovAt + moovSize;
    Bytes buf(1 << 20);
    for (uint64_t end = fileSize; end > tail;) {
        const uint64_t n = std::min<uint64_t>(buf.size(), end - tail);
        const uint64_t from = end - n;
        if (!readAll(fd, buf.data(), n, from) || !writeAll(fd, buf.data(), n, from + delta)) return false;
        end = from;
    }
    return writeAll(fd, moov.data(), moov.size(), moovAt);
}

bool MovieFile::close() {
    const int f = fd;
    fd = -1;
    return ::close(f) == 0;
}

}  // namespace stitcher::mp4
