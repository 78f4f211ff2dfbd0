// Base64: the lenient decoder on arbitrary text, and encode -> decode round
// trips of text without NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libdec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t n = std::strlen(text.c_str());

    std::unique_ptr<char[]> decoded(base64Decode(text.c_str()));
    if (!decoded) std::abort();
    if (std::strlen(decoded.get()) > n / 4 * 3) std::abort();

    std::unique_ptr<char[]> encoded(base64Encode(text.c_str(), static_cast<unsigned>(n)));
    if (!encoded || std::strlen(encoded.get()) != (n + 2) / 3 * 4) std::abort();
    std::unique_ptr<char[]> back(base64Decode(encoded.get()));
    if (!back || std::strcmp(back.get(), text.c_str()) != 0) std::abort();
    return 0;
}
