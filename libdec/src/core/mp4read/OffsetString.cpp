#include "mp4read/OffsetString.h"

#include <locale.h>
#include <stdlib.h>

#include <cstring>

#include "log/MyLog.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// strtod in the C locale: the host may have switched its process to a locale
// whose decimal separator is not the point.
double StrtodC(const char* s, char** end) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (cLocale == static_cast<locale_t>(0)) return strtod(s, end);
    return strtod_l(s, end, cLocale);
}

}  // namespace

size_t StripBlanks(const char* text, const char*& begin) {
    begin = text;
    if (!text) return 0;
    while (IsBlank(*begin)) ++begin;
    size_t n = std::strlen(begin);
    while (n > 0 && IsBlank(begin[n - 1])) --n;
    return n;
}

bool isOffsetDecoded(const char* offset) {
    if (!offset) return true;
    // Tokens at runs of underscores, each of which strtod must consume whole.
    // The working copy holds the whole text, so a text of any length is judged
    // as a whole and nothing is read past it.
    std::string work;
    try {
        work.assign(offset);
    } catch (...) {
        return false;
    }
    char* p = &work[0];
    char* const end = p + work.size();
    while (p < end) {
        while (p < end && *p == '_') ++p;
        if (p == end) break;
        char* tokEnd = p;
        while (tokEnd < end && *tokEnd != '_') ++tokEnd;
        *tokEnd = '\0';  // end may be the string's own terminator
        char* stop = nullptr;
        StrtodC(p, &stop);
        if (stop != tokEnd) return false;
        p = tokEnd + 1;
    }
    return true;
}

std::string trimOffset(const char* offset, size_t len) { return calibration::trimToDigits(offset, len); }

void split(std::string& text, std::string delimiters, std::vector<std::string>& fields) {
    calibration::splitFields(text, delimiters, fields);
}

bool isOffsetValid(const char* offset) {
    try {
        const std::string trimmed = offset ? calibration::trimToDigits(offset, std::strlen(offset)) : std::string();
        LOGI("Trimmed offset: %s", trimmed.c_str());
        return calibration::acceptsTrimmedText(trimmed);
    } catch (...) {
        return false;
    }
}
