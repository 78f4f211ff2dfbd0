// A content hash of a clip that is quick to take however long the clip is.
//
// It covers the file's size, the MP4 box layout at the top level, the whole
// movie box (moov: every track's sample table, which holds the size, time
// and place of every sample, and the edit lists), and 64 blocks of 4 KiB
// spread evenly over each other top-level box (the media data). A clip that
// was re-encoded, cut, re-muxed, had its tracks or edits changed, or is
// simply another recording has another sample table; an edit that keeps
// every sample's size (a stream patched in place) is caught where it
// touches one of the sampled blocks. It guards against mistakes (the wrong
// clip on a render node), not against someone who wants two clips to
// collide: it is not a cryptographic hash.
#pragma once

#include <cstdint>
#include <string>

#include "Status.h"

namespace stitcher {

// 32 hex digits (128 bits) for the file at `path`; kExitInput where it
// cannot be read.
Status clipContentHash(const std::string& path, std::string& hash);

// The same over bytes in memory (the fuzzer's way in).
std::string contentHashOf(const uint8_t* data, size_t size);

}  // namespace stitcher
