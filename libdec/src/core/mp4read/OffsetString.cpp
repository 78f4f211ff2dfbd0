#include "mp4read/OffsetString.h"

#include <locale.h>
#include <stdlib.h>

#include <climits>
#include <cstring>

#include "log/MyLog.h"

const char DEFAULT_OFFSET[] =
    "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_"
    "2880_1440_516";

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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

// Whole-field match of -?[0-9]{1,}\.?[0-9]{0,}
bool IsField(const std::string& f) {
    size_t i = 0;
    const size_t n = f.size();
    if (i < n && f[i] == '-') ++i;
    const size_t firstDigit = i;
    while (i < n && IsDigit(f[i])) ++i;
    if (i == firstDigit) return false;
    if (i < n && f[i] == '.') ++i;
    while (i < n && IsDigit(f[i])) ++i;
    return i == n;
}

// std::stoi in base 10 without exceptions: false when there are no leading
// digits or the value does not fit a signed 32-bit integer.
bool LeadingInt(const std::string& f, long long& value) {
    size_t i = 0;
    const size_t n = f.size();
    while (i < n && IsBlank(f[i])) ++i;
    bool negative = false;
    if (i < n && (f[i] == '+' || f[i] == '-')) {
        negative = f[i] == '-';
        ++i;
    }
    if (i >= n || !IsDigit(f[i])) return false;
    long long v = 0;
    for (; i < n && IsDigit(f[i]); ++i) {
        v = v * 10 + (f[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    value = v;
    return true;
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

std::string trimOffset(const char* offset, size_t len) {
    if (!offset || len == 0 || offset[0] == '\0') return std::string();
    // Only the first len characters, and never past the terminator.
    const size_t n = strnlen(offset, len);
    size_t start = 0;
    while (start < n && !IsDigit(offset[start])) ++start;
    if (start == n) return std::string();
    size_t last = n - 1;
    while (last > start && !IsDigit(offset[last])) --last;
    return std::string(offset + start, last - start + 1);
}

void split(std::string& text, std::string delimiters, std::vector<std::string>& fields) {
    size_t from = 0;
    for (;;) {
        const size_t at = text.find_first_of(delimiters, from);
        if (at == std::string::npos) break;
        fields.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    fields.push_back(text.substr(from));
}

bool isOffsetValid(const char* offset) {
    try {
        std::string trimmed = offset ? trimOffset(offset, std::strlen(offset)) : std::string();
        LOGI("Trimmed offset: %s", trimmed.c_str());
        std::vector<std::string> fields;
        split(trimmed, "_", fields);
        long long lenses = 0;
        if (!LeadingInt(fields[0], lenses) || lenses < 1) return false;
        for (const std::string& f : fields)
            if (!IsField(f)) return false;
        return static_cast<long long>(fields.size()) >= 6 * lenses + 2;
    } catch (...) {
        return false;
    }
}
