// The farm's plan reader on arbitrary text: no crash, no out-of-bounds
// access; JSON that reads back writes the same text again; a plan that is
// accepted is written and read back to the same plan; the clip content hash
// walks any bytes as boxes; the segment tag reader takes any text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ClipHash.h"
#include "Json.h"
#include "Plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    stitcher::JsonLimits limits;
    limits.maxText = 1 << 20;
    stitcher::JsonValue v;
    const stitcher::Status parsed = stitcher::parseJson(text, limits, v);
    if (parsed.ok()) {
        const std::string once = stitcher::writeJson(v);
        stitcher::JsonValue again;
        if (!stitcher::parseJson(once, again).ok()) std::abort();
        if (stitcher::writeJson(again) != once) std::abort();
    } else if (parsed.message().empty()) {
        std::abort();
    }

    stitcher::Plan plan;
    if (stitcher::planFromJson(text, plan).ok()) {
        const std::string written = stitcher::planToJson(plan);
        stitcher::Plan back;
        if (!stitcher::planFromJson(written, back).ok()) std::abort();
        if (stitcher::planToJson(back) != written) std::abort();
        for (size_t k = 1; k <= plan.segments.size(); ++k) {
            stitcher::SegmentTag tag;
            if (!stitcher::parseSegmentTag(stitcher::segmentTag(plan, static_cast<int>(k)), tag) || tag.k != static_cast<int>(k))
                std::abort();
        }
    }

    if (stitcher::contentHashOf(data, size).size() != 32) std::abort();
    stitcher::SegmentTag tag;
    stitcher::parseSegmentTag(text, tag);
    return 0;
}
