// Calibration record conversion from arbitrary sample bytes: the last 192 and
// 160 bytes of a sample, as the text-track scan takes them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mp4read/CMp4Read.h"
#include "mp4read/SubtitleRecord.h"

namespace {

template <typename T>
void Convert(const uint8_t* data, size_t size) {
    if (size < sizeof(T)) return;
    // Exactly the record's bytes on the heap, so any read past them is caught.
    std::vector<uint8_t> sample(data + size - sizeof(T), data + size);
    std::vector<char> out(kSubtitleOffsetMaxChars + 1, 'x');
    ChangeToSubtitleOffset<T>(reinterpret_cast<const T*>(sample.data()), out.data());
    if (std::memchr(out.data(), '\0', out.size()) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Convert<mnd_data_video_r>(data, size);
    Convert<mnd_data_video_s>(data, size);
    return 0;
}
