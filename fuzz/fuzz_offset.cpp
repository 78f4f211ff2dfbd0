// Offset string text functions on arbitrary text: no crash, no out-of-bounds
// access, the results agree with each other, and what libdec accepts as a
// two-lens calibration of modest numbers the renderer reads too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calibration/Calibration.h"
#include "libdec.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Keep the log silent: its folder does not exist.
    setenv("HOME", "/nonexistent-fuzz-home", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* s = text.c_str();  // stops at the first NUL, like every caller
    const size_t n = std::strlen(s);

    isOffsetDecoded(s);
    const bool valid = isOffsetValid(s);

    const size_t len = size ? data[0] : 0;  // also beyond the text
    const std::string t = trimOffset(s, len);
    if (t.size() > n) std::abort();
    if (!t.empty() && (t.front() < '0' || t.front() > '9' || t.back() < '0' || t.back() > '9'))
        std::abort();

    std::string whole = trimOffset(s, n);
    std::vector<std::string> fields;
    split(whole, "_", fields);
    if (fields.empty()) std::abort();
    // An accepted text has at least 8 fields (one lens).
    if (valid && fields.size() < 8) std::abort();

    // Accepted, exactly two lenses, at least the 15 fields the renderer
    // needs, and no number too long for a float or an int: the renderer
    // reads it.
    if (valid && fields[0] == "2" && fields.size() >= 15) {
        bool modest = true;
        for (const std::string& f : fields) modest = modest && f.size() <= 9;
        if (modest && !calibration::readForRenderer(whole.c_str()).verdict) std::abort();
    }
    return 0;
}
