// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks) with a
// lenient decoder. base64Encode and base64Decode are exported (libdec.h).
#pragma once

#include <array>

#include "libdec.h"

extern const char base64Char[65];
// Value of each byte: 0..63 for the alphabet, 0 for "=", -128 for anything else.
extern const std::array<signed char, 256> base64DecodeTable;
