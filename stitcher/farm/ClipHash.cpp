#include "ClipHash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace stitcher {

namespace {

const uint64_t kMoovLimit = uint64_t(64) << 20;  // bytes of moov hashed whole; the rest is sampled
const uint64_t kBlock = 4096;
const int kBlocks = 64;

// Two independent 64-bit lanes over the bytes, with their count.
class Hash128 {
public:
    void add(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            a_ = (a_ ^ p[i]) * 0x100000001b3ULL;            // FNV-1a
            b_ = (b_ + p[i] + 1) * 0x9e3779b97f4a7c15ULL;    // multiplicative
            b_ ^= b_ >> 29;
        }
        count_ += n;
    }
    void addNumber(uint64_t v) {
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
        add(bytes, 8);
    }
    std::string hex() const {
        auto mix = [](uint64_t x) {
            x ^= x >> 33;
            x *= 0xff51afd7ed558ccdULL;
            x ^= x >> 33;
            x *= 0xc4ceb9fe1a85ec53ULL;
            return x ^ (x >> 33);
        };
        char text[33];
        std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(mix(a_ ^ count_)),
                      static_cast<unsigned long long>(mix(b_ + count_)));
        return text;
    }

private:
    uint64_t a_ = 0xcbf29ce484222325ULL, b_ = 0x243f6a8885a308d3ULL, count_ = 0;
};

// Reads [offset, offset + n) into `out` (shorter at the end); false on a read error.
using ReadAt = std::function<bool(uint64_t offset, size_t n, std::vector<uint8_t>& out)>;

bool hashRange(const ReadAt& read, uint64_t from, uint64_t to, Hash128& h) {
    std::vector<uint8_t> buf;
    for (uint64_t at = from; at < to;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(to - at, uint64_t(1) << 20));
        if (!read(at, n, buf)) return false;
        h.add(buf.data(), buf.size());
        if (buf.size() < n) break;
        at += n;
    }
    return true;
}

bool hashSampled(const ReadAt& read, uint64_t from, uint64_t to, Hash128& h) {
    if (to - from <= kBlock * kBlocks) return hashRange(read, from, to, h);
    const uint64_t step = (to - from - kBlock) / (kBlocks - 1);
    for (int i = 0; i < kBlocks; ++i)
        if (!hashRange(read, from + i * step, from + i * step + kBlock, h)) return false;
    return true;
}

bool hashFile(uint64_t size, const ReadAt& read, Hash128& h) {
    h.addNumber(size);
    std::vector<uint8_t> head;
    uint64_t at = 0;
    int boxes = 0;
    while (at + 8 <= size && boxes < 4096) {
        ++boxes;
        if (!read(at, 16, head) || head.size() < 8) return false;
        uint64_t boxSize = (uint64_t(head[0]) << 24) | (uint64_t(head[1]) << 16) | (uint64_t(head[2]) << 8) | head[3];
        uint64_t headerSize = 8;
        if (boxSize == 1) {
            if (head.size() < 16) break;
            boxSize = 0;
            for (int i = 8; i < 16; ++i) boxSize = boxSize << 8 | head[i];
            headerSize = 16;
        } else if (boxSize == 0) {
            boxSize = size - at;
        }
        if (boxSize < headerSize || boxSize > size - at) break;  // not a box: the rest is sampled below
        h.add(head.data(), static_cast<size_t>(headerSize));
        const bool moov = std::memcmp(&head[4], "moov", 4) == 0;
        const uint64_t from = at + headerSize, to = at + boxSize;
        if (!(moov ? hashRange(read, from, std::min(to, from + kMoovLimit), h) : hashSampled(read, from, to, h)))
            return false;
        if (moov && to - from > kMoovLimit && !hashSampled(read, from + kMoovLimit, to, h)) return false;
        at = to;
    }
    return at >= size || hashSampled(read, at, size, h);
}

}  // namespace

Status clipContentHash(const std::string& path, std::string& hash) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return Status(kExitInput, "cannot read " + path + ": " + std::strerror(errno));
    Hash128 h;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long end = ok ? std::ftell(f) : -1;
    ok = ok && end >= 0;
    ReadAt read = [f](uint64_t offset, size_t n, std::vector<uint8_t>& out) {
        out.resize(n);
        if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
        const size_t got = std::fread(out.data(), 1, n, f);
        out.resize(got);
        return got == n || !std::ferror(f);
    };
    ok = ok && hashFile(static_cast<uint64_t>(end), read, h);
    std::fclose(f);
    if (!ok) return Status(kExitInput, "cannot read " + path + " to take its content hash");
    hash = h.hex();
    return Status();
}

std::string contentHashOf(const uint8_t* data, size_t size) {
    Hash128 h;
    ReadAt read = [data, size](uint64_t offset, size_t n, std::vector<uint8_t>& out) {
        out.clear();
        if (offset >= size) return true;
        const size_t got = static_cast<size_t>(std::min<uint64_t>(n, size - offset));
        out.assign(data + offset, data + offset + got);
        return true;
    };
    hashFile(size, read, h);
    return h.hex();
}

}  // namespace stitcher
