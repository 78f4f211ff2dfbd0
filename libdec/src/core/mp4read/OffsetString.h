// Offset string: the lens calibration as "_"-separated decimal fields. The
// text functions themselves are exported and declared in libdec.h; the text
// form, the acceptance rule and the default live in the calibration unit.
#pragma once

#include "calibration/Calibration.h"
#include "libdec.h"

// Length of a text without its leading and trailing blanks and line ends:
// sets `begin` to the first kept character and returns the number kept.
size_t StripBlanks(const char* text, const char*& begin);
