#include "mp4read/SubtitleRecord.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mp4read/CMp4Read.h"

namespace {

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Through single precision on purpose: the texts must equal those made from the
// same records elsewhere (exact only up to 16,777,216 thousandths).
double Thousandths(const unsigned char* p) {
    const int32_t v = static_cast<int32_t>(Le32(p));
    return static_cast<double>(static_cast<float>(v)) / 1000.0;
}

}  // namespace

template <typename T>
void ChangeToSubtitleOffset(const T* record, char* out) {
    out[0] = '\0';
    const unsigned char* r = record->bytes;
    const size_t blocks = (sizeof(record->bytes) - 32) / 32;
    const unsigned lensCount = r[24];
    if (lensCount > blocks) return;

    // Longest possible text: 5 lenses of six "_-2147483.65" plus the header and
    // trailer, well under this.
    char text[512];
    size_t n = static_cast<size_t>(std::snprintf(text, sizeof(text), "%u", lensCount));
    for (unsigned i = 0; i < lensCount; ++i) {
        const unsigned char* b = r + 32 + 32 * i;
        n += static_cast<size_t>(std::snprintf(
            text + n, sizeof(text) - n, "_%.2f_%.2f_%.2f_%.2f_%.2f_%.2f", Thousandths(b),
            Thousandths(b + 4), Thousandths(b + 8), Thousandths(b + 12), Thousandths(b + 16),
            Thousandths(b + 20)));
    }
    n += static_cast<size_t>(std::snprintf(text + n, sizeof(text) - n, "_%u_%u_%u",
                                           static_cast<unsigned>(Le16(r + 16)),
                                           static_cast<unsigned>(Le16(r + 18)),
                                           static_cast<unsigned>(Le32(r + 20))));
    if (n > kSubtitleOffsetMaxChars) return;
    std::memcpy(out, text, n + 1);
}

template void ChangeToSubtitleOffset<mnd_data_video_r>(const mnd_data_video_r*, char*);
template void ChangeToSubtitleOffset<mnd_data_video_s>(const mnd_data_video_s*, char*);
