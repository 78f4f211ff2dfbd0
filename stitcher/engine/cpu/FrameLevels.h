// Per frame, the prefiltered levels of the frame that a sample table reads:
// each level a linear resample of the one above to half its size, as the
// driver makes mipmaps, so that outputs smaller than the lens images do not
// alias and match the renderer's trilinear sampling.
#pragma once

#include <cstdint>

#include "SampleTable.h"

namespace stitcher {

class WorkerPool;

// Fills `levelBuffer` (table.levelBytes bytes) from `frame`.
void makeFrameLevels(const SampleTable& table, const uint8_t* frame, uint8_t* levelBuffer, WorkerPool& pool);

}  // namespace stitcher
