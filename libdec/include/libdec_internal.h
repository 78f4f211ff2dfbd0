// libdec: internal C++ interface for this project's own tools (not part of
// the host ABI in libdec.h). Functions take the handle PRDOpen returns; no
// exception leaves them. Each block below is self-contained.
#pragma once

#include <cstdint>
#include <vector>

#include "libdec.h"

namespace libdec {

// ---- spatial sound ----

// The spatial audio box (type "SA3D", its 8-byte header included) of the
// accepted audio track's sample entry, as stored, when it is well formed:
// version 0, a channel map of as many entries as it says, each naming one of
// those channels. False with `box` empty when the clip has none (or no audio,
// or a null handle), or when the box is malformed.
LIBDEC_API bool AudioSpatialBox(void* handle, std::vector<uint8_t>& box);

// ---- end of spatial sound ----

}  // namespace libdec
