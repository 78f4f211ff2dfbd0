// The motion file: the parser on arbitrary text, and format -> parse round
// trips of whatever it accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "MotionFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<stitcher::MotionRow> rows, again;
    if (!stitcher::parseMotion(text, rows).ok()) return 0;
    if (rows.empty()) std::abort();
    if (!stitcher::parseMotion(stitcher::formatMotion(rows), again).ok() || again.size() != rows.size()) std::abort();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (again[i].frame != rows[i].frame) std::abort();
        for (int k = 0; k < 3; ++k)
            if (again[i].correction[k] != stitcher::asWritten(rows[i].correction[k])) std::abort();
    }
    return 0;
}
