#include "base64/Base64.h"

#include <array>
#include <cstring>
#include <new>

const char base64Char[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

// Built at compile time: constant data, so concurrent first calls need no guard.
constexpr std::array<signed char, 256> MakeDecodeTable() {
    std::array<signed char, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = -128;
    constexpr const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    t[static_cast<unsigned char>('=')] = 0;
    return t;
}

}  // namespace

// Constant-initialised from a constant expression: no run-time set-up.
extern const std::array<signed char, 256> base64DecodeTable = MakeDecodeTable();

namespace {

unsigned Value(char c) {
    const signed char v = base64DecodeTable[static_cast<unsigned char>(c)];
    return v < 0 ? 0u : static_cast<unsigned>(v);
}

}  // namespace


char* base64Encode(const char* data, unsigned int len) {
    if (!data) return nullptr;
    const size_t outLen = (static_cast<size_t>(len) + 2) / 3 * 4;
    char* out = new (std::nothrow) char[outLen + 1];
    if (!out) return nullptr;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
        out[o++] = base64Char[b0 >> 2];
        out[o++] = base64Char[((b0 & 3) << 4) | (b1 >> 4)];
        out[o++] = base64Char[((b1 & 15) << 2) | (b2 >> 6)];
        out[o++] = base64Char[b2 & 63];
    }
    if (len - i == 1) {
        const unsigned b0 = in[i];
        out[o++] = base64Char[b0 >> 2];
        out[o++] = base64Char[(b0 & 3) << 4];
        out[o++] = '=';
        out[o++] = '=';
    } else if (len - i == 2) {
        const unsigned b0 = in[i], b1 = in[i + 1];
        out[o++] = base64Char[b0 >> 2];
        out[o++] = base64Char[((b0 & 3) << 4) | (b1 >> 4)];
        out[o++] = base64Char[(b1 & 15) << 2];
        out[o++] = '=';
    }
    out[o] = '\0';
    return out;
}

char* base64Decode(const char* text) {
    if (!text) return nullptr;
    const size_t L = std::strlen(text);
    const size_t groups = L / 4;  // a trailing part of one to three characters is ignored
    char* scratch = new (std::nothrow) char[L + 1];
    if (!scratch) return nullptr;
    size_t n = 0;
    size_t pads = 0;
    for (size_t g = 0; g < groups; ++g) {
        const char* c = text + 4 * g;
        for (int k = 0; k < 4; ++k)
            if (c[k] == '=') ++pads;
        const unsigned s0 = Value(c[0]), s1 = Value(c[1]), s2 = Value(c[2]), s3 = Value(c[3]);
        scratch[n++] = static_cast<char>(((s0 << 2) | (s1 >> 4)) & 0xFF);
        scratch[n++] = static_cast<char>(((s1 << 4) | (s2 >> 2)) & 0xFF);
        scratch[n++] = static_cast<char>(((s2 << 6) | s3) & 0xFF);
    }
    for (size_t dropped = 0; dropped < pads && n > 0 && scratch[n - 1] == '\0'; ++dropped) --n;
    char* out = new (std::nothrow) char[n + 1];
    if (out) {
        std::memcpy(out, scratch, n);
        out[n] = '\0';
    }
    delete[] scratch;
    return out;
}
