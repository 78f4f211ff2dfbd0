// libFuzzer target for the clip as a stitching run opens it, its sound above
// all: the clip opened as the stitcher opens it (the reader's session, and
// FFmpeg's decoder for the sound the reader does not decode: MP3, FLAC,
// PCM, Opus, AC-3, surround AAC, ...), then its sound read in whole frames
// in order, again from the start, from the middle, up to and past its end;
// and a few of its frames as the engines read them.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Clip.h"
#include "FuzzClip.h"
#include "libdec_internal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzclip::init("fuzz_sound");
    libdec::SetMessageSink([](int, const std::string&) {});
    libdec::SetFfmpegPrinter([](void*, int, const char*, va_list) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzzclip::write(data, size)) return 0;

    std::unique_ptr<stitcher::Clip> clip;
    const stitcher::Status opened = stitcher::Clip::open(fuzzclip::path(), clip);
    if (!opened.ok()) {
        if (opened.message().empty()) __builtin_trap();
        return 0;
    }
    volatile unsigned sink = 0;
    const _MediaInfo& info = clip->info();
    // Large pictures are taken, but decoding them would only slow the search down.
    if (uint64_t(info.width) * info.height > (1u << 16)) return 0;
    if (info.hasAudio) {
        const int64_t frames = static_cast<int64_t>(info.samples / 1024);
        const size_t frameBytes = size_t(1024) * 2 * info.channels;
        struct Range {
            int64_t first, count;  // in frames of 1024 samples
        };
        const Range ranges[] = {{0, 1}, {1, 2}, {3, 1}, {0, 2}, {frames / 2, 3}, {frames - 1, 1},
                                {frames - 1, 2}, {frames, 1}, {frames + 5, 1}, {2, 1}};
        for (const Range& r : ranges) {
            if (r.first < 0 || r.count <= 0) continue;
            const int16_t* pcm = clip->readAudio(r.first * 1024, r.count);
            if (pcm) sink += fuzzclip::touch(pcm, static_cast<size_t>(r.count) * frameBytes);
        }
    }
    const size_t pictureBytes = size_t(3) * info.width * info.height;
    std::vector<uint8_t> bgr(pictureBytes);
    const long long n = std::min<long long>(info.frames, 6);
    for (long long f : {1LL, n, 2LL}) {
        std::shared_ptr<const stitcher::SourcePicture> source;
        if (clip->readSource(f, source, bgr.data()).ok() && !source) sink += fuzzclip::touch(bgr.data(), bgr.size());
        if (clip->readFrame(f, bgr.data()).ok()) sink += fuzzclip::touch(bgr.data(), bgr.size());
    }
    (void)sink;
    return 0;
}
