// Offset string: the lens calibration as "_"-separated decimal fields
// (lens count, six values per lens, image width, image height, lens code).
// The text functions themselves are exported and declared in libdec.h.
#pragma once

#include "libdec.h"

// Used wherever a clip's own calibration is missing or invalid. Functions that
// return it hand out this constant itself: never free or change it.
extern const char DEFAULT_OFFSET[];

// Length of a text without its leading and trailing blanks and line ends:
// sets `begin` to the first kept character and returns the number kept.
size_t StripBlanks(const char* text, const char*& begin);
