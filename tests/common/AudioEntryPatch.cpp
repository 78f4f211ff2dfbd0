#include "AudioEntryPatch.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "test_clips.h"

namespace testutil {

namespace {

uint32_t be32(const std::string& s, size_t at) {
    return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
           (uint32_t(uint8_t(s[at + 2])) << 8) | uint8_t(s[at + 3]);
}

// The child of type `type` in [begin, end); npos when none.
size_t child(const std::string& f, size_t begin, size_t end, const char* type) {
    for (size_t at = begin; at + 8 <= end;) {
        uint32_t size = be32(f, at);
        if (size < 8 || size > end - at) return std::string::npos;
        if (f.compare(at + 4, 4, type) == 0) return at;
        at += size;
    }
    return std::string::npos;
}

}  // namespace

bool appendToAudioEntry(const std::string& in, const std::string& box, const std::string& out) {
    std::string f = readFile(in);
    size_t moov = std::string::npos;
    for (size_t at = 0; at + 8 <= f.size();) {
        uint32_t size = be32(f, at);
        if (size < 8 || size > f.size() - at) return false;
        if (f.compare(at + 4, 4, "moov") == 0) moov = at;
        at += size;
        if (moov != std::string::npos && at != f.size()) return false;  // moov must come last
    }
    if (moov == std::string::npos) return false;
    const size_t moovEnd = moov + be32(f, moov);
    for (size_t trak = moov + 8; (trak = child(f, trak, moovEnd, "trak")) != std::string::npos;
         trak += be32(f, trak)) {
        const size_t trakEnd = trak + be32(f, trak);
        std::vector<size_t> path{moov, trak};
        size_t at = trak;
        for (const char* type : {"mdia", "minf", "stbl", "stsd"}) {
            if (std::strcmp(type, "minf") == 0) {
                size_t hdlr = child(f, at + 8, at + be32(f, at), "hdlr");
                if (hdlr == std::string::npos || f.compare(hdlr + 16, 4, "soun") != 0) break;
            }
            at = child(f, at + 8, at + be32(f, at), type);
            if (at == std::string::npos || at >= trakEnd) break;
            path.push_back(at);
        }
        if (path.size() != 6) continue;
        const size_t entry = path.back() + 16;
        path.push_back(entry);
        const size_t insertAt = entry + be32(f, entry);
        f.insert(insertAt, box);
        for (size_t p : path) {
            const uint32_t size = be32(f, p) + static_cast<uint32_t>(box.size());
            for (int i = 0; i < 4; ++i) f[p + i] = static_cast<char>((size >> (24 - 8 * i)) & 0xFF);
        }
        return writeFile(out, f);
    }
    return false;
}

}  // namespace testutil
