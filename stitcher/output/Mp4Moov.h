// The movie box of a finished MP4 file, read whole so that it can be changed
// and written back in place: the box walking, the chunk offsets that must
// move when the movie box grows, and the moving of what follows it. Both
// in-place changes of our output (a box added to the sound's sample entry, a
// track added) are made with these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stitcher::mp4 {

using Bytes = std::vector<uint8_t>;

inline uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint64_t be64(const uint8_t* p) { return (uint64_t(be32(p)) << 32) | be32(p + 4); }
inline void set32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void set64(uint8_t* p, uint64_t v) {
    set32(p, static_cast<uint32_t>(v >> 32));
    set32(p + 4, static_cast<uint32_t>(v));
}

// A box within the movie box's bytes: where it starts, its whole size, where
// its children (or payload) start. 32-bit sizes only: a muxer's movie box has
// no other.
struct Box {
    size_t at = 0, size = 0, body = 0;
    char type[4] = {0, 0, 0, 0};
    bool is(const char* t) const;
};

// The boxes in [begin, end) of `m`; false when one does not fit.
bool children(const Bytes& m, size_t begin, size_t end, std::vector<Box>& out);
const Box* find(const std::vector<Box>& boxes, const char* type);

bool readAll(int fd, uint8_t* p, size_t n, uint64_t at);
bool writeAll(int fd, const uint8_t* p, size_t n, uint64_t at);

// Where a chunk offset stands in the movie box's bytes, and its width.
struct ChunkOffset {
    size_t at;
    bool wide;
};

// The file opened for change with its movie box read whole. Closes the file
// when it goes, unless close() did.
class MovieFile {
public:
    MovieFile() = default;
    MovieFile(const MovieFile&) = delete;
    MovieFile& operator=(const MovieFile&) = delete;
    ~MovieFile();

    // Opens `path` for reading and writing and reads its movie box (at most
    // 256 MiB, with a 32-bit size); false with the reason in `why`.
    bool open(const std::string& path, std::string& why);

    // Adds the entries of the chunk offset tables among `stbl`'s children;
    // false when one is malformed.
    bool collectChunkOffsets(const std::vector<Box>& stbl, std::vector<ChunkOffset>& out) const;
    // Moves every chunk offset that points at or behind the movie box's start
    // by `delta`; false with the reason when a 32-bit one would pass 4 GiB.
    bool shiftChunkOffsets(const std::vector<ChunkOffset>& offsets, uint64_t delta, std::string& why);
    // Moves what follows the movie box `delta` bytes on, from the file's end
    // back, then writes `moov` (the changed movie box) at its place.
    bool rewrite(uint64_t delta);
    // Closes the file; false when the close reports an error (data not written).
    bool close();

    int fd = -1;
    uint64_t fileSize = 0, moovAt = 0, moovSize = 0;
    Bytes moov;
};

}  // namespace stitcher::mp4
