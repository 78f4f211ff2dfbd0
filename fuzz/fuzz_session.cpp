// libFuzzer target for the whole clip session, as a host drives it: open the
// mutated clip from a file, read the media record, the offset string and the
// comment, ask for a few frames in an order that jumps back and forth, and
// for some audio ranges (in order, unaligned, backwards, past the end).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzClip.h"
#include "FuzzLargePictures.h"
#include "libdec.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzclip::init("fuzz_session");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fuzzclip::largePictures(data, size, 1u << 20) || !fuzzclip::write(data, size)) return 0;

    void* h = PRDOpen(fuzzclip::path().c_str());
    if (!h) return 0;
    volatile unsigned sink = 0;
    _MediaInfo info{};
    if (PRDGetMediaInfo(h, info) != 0) __builtin_trap();
    char* offset = nullptr;
    if (PRDGetOffset(h, offset) == 0 && offset) sink += fuzzclip::touch(offset, std::strlen(offset));
    char* comment = nullptr;
    if (PRDGetVideoComment(h, comment) == 0 && comment) {
        sink += fuzzclip::touch(comment, std::strlen(comment));
        delete[] comment;
    }

    const long long n = info.frames < 12 ? info.frames : 12;
    const long long frames[] = {1, n, n / 2 + 1, 2, n, 0, n - 1, n + 1, 3};
    const size_t pictureBytes = size_t(3) * info.width * info.height;
    for (long long f : frames) {
        unsigned char* out = nullptr;
        if (PRDGetVideoFrame(h, f, out) == 0 && out) sink += fuzzclip::touch(out, pictureBytes);
    }

    const long long blocks = info.samples / 1024;
    struct Range {
        long long start, req;
    };
    const Range ranges[] = {{0, 2048},           {2048, 3072},           {1500, 4096},
                            {(blocks - 1) * 1024, 1024}, {0, 1024}, {blocks * 1024 - 700, 2048},
                            {blocks * 1024, 1024}, {-1, 1024}};
    for (const Range& r : ranges) {
        unsigned char* out = nullptr;
        if (PRDGetAudioSample(h, r.start, r.req, out) == 0 && out)
            sink += fuzzclip::touch(out, size_t(r.req / 1024) * 1024 * 2 * info.channels);
    }
    PRDClose(h);
    (void)sink;
    return 0;
}
