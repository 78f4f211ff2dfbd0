// The --falloff text on arbitrary input: no crash, no out-of-bounds access;
// what it accepts is usable and reads back from its own text to the same
// rim values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "LensFalloff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    stitcher::LensFalloff f;
    if (!stitcher::parseFalloff(text, f).ok()) {
        if (!f.flat()) std::abort();  // left as it was on refusal
        return 0;
    }
    if (!f.usable()) std::abort();
    stitcher::LensFalloff back;
    if (!stitcher::parseFalloff(stitcher::formatFalloff(f), back).ok()) std::abort();
    for (int l = 0; l < 2; ++l)
        if (!(std::fabs(back.rim(l) - f.rim(l)) <= 2e-5)) std::abort();
    return 0;
}
