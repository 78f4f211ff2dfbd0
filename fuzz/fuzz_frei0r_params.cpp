// The frei0r filter's parameter setter on arbitrary values, with frames in
// between: strings of any bytes as calibration, layout, projection and seam,
// doubles of any bit pattern (NaN, infinities, huge) as angles, field of
// view, baseline and the bool, bad indexes; small frames of any shape, the
// view changing between them. No crash, no out-of-bounds access, every
// output pixel written and opaque; the field of view and the baseline read
// back within 0..1.
//
// Input: width byte, height byte, then records of index byte, length byte
// and that many bytes of value (a double takes its first 8 bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StitchFilter.h"

namespace {
void quiet(const std::string&) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Keep the reader's log silent: its folder does not exist.
    setenv("HOME", "/nonexistent-fuzz-home", 1);
    dfsfrei0r::setSay(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const unsigned w = 1 + data[0] % 96, h = 1 + data[1] % 64;
    dfsfrei0r::StitchFilter f(w, h);
    std::vector<uint32_t> in(static_cast<size_t>(w) * h), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) in[i] = 0x01010101u * static_cast<uint32_t>(i * 37 % 251);
    size_t at = 2;
    int updates = 0;
    while (at + 2 <= size && updates < 4) {
        const int index = static_cast<int8_t>(data[at]) % (dfsfrei0r::kParamCount + 2);
        const size_t len = std::min<size_t>(data[at + 1], size - at - 2);
        const uint8_t* value = data + at + 2;
        at += 2 + len;
        if (index == dfsfrei0r::kParamCount + 1 || index < 0) {
            // A frame with what is set so far.
            std::memset(out.data(), 0x5a, out.size() * 4);
            f.update(in.data(), out.data());
            for (uint32_t px : out)
                if ((px >> 24) != 0xff) std::abort();
            ++updates;
            continue;
        }
        const bool text = index == dfsfrei0r::kCalibration || index == dfsfrei0r::kClip ||
                          index == dfsfrei0r::kLayout || index == dfsfrei0r::kView || index == dfsfrei0r::kProjection ||
                          index == dfsfrei0r::kSeam || index >= dfsfrei0r::kParamCount;
        if (text) {
            // Clips only under a folder that does not exist: no real file is read.
            std::string s(reinterpret_cast<const char*>(value), len);
            if (index == dfsfrei0r::kClip) s = "/nonexistent-fuzz/" + s;
            const char* p = s.c_str();
            f.setParam(index, &p);
            char* back = nullptr;
            f.getParam(index, &back);
            if (index < dfsfrei0r::kParamCount && (!back || std::strcmp(back, p) != 0)) std::abort();
        } else {
            double d = 0;
            std::memcpy(&d, value, std::min<size_t>(len, sizeof d));
            f.setParam(index, &d);
            double back = 0;
            f.getParam(index, &back);
            if ((index == dfsfrei0r::kFov || index == dfsfrei0r::kBaseline) && !(back >= 0.0 && back <= 1.0)) std::abort();
        }
    }
    return 0;
}
