// For the fuzz targets that link the reader's container layer: whether the
// mutated clip names pictures of more than `pixels` pixels. The library takes
// them, but converting them frame after frame would only slow the search down.
#pragma once

#include <cstddef>
#include <cstdint>

#include "isobmff/Mp4Container.h"

namespace fuzzclip {

inline bool largePictures(const uint8_t* data, size_t size, uint64_t pixels) {
    if (auto f = mp4::File::openMemory(data, size)) {
        for (const mp4::Track& t : f->tracks())
            if (uint64_t(t.width) * t.height > pixels) return true;
    }
    return false;
}

}  // namespace fuzzclip
