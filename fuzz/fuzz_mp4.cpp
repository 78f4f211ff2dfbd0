// libFuzzer target for the ISO-BMFF container layer: open from memory, read
// every sample of every track, work out what each track presents and how its
// picture is shown, look up the tags.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "isobmff/Mp4Container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string why;
    auto f = mp4::File::openMemory(data, size, &why);
    if (!f) {
        if (why.empty()) __builtin_trap();  // a refusal always carries its reason
        return 0;
    }
    std::vector<uint8_t> buf;
    for (const mp4::Track& t : f->tracks()) {
        buf.assign(t.maxSampleSize, 0);
        for (uint32_t n = 1; n <= t.samples.size(); ++n) {
            const mp4::Sample& s = t.samples[n - 1];
            if (s.offset > size || s.size > size - s.offset) __builtin_trap();
            uint32_t got = 0;
            if (!f->readSample(t.id, n, buf.data(), t.maxSampleSize, got) || got != s.size)
                __builtin_trap();
        }
        (void)t.frameRate();
        // What the visual entry and tkhd say about showing the picture.
        if (t.colorFullRange < -1 || t.colorFullRange > 1) __builtin_trap();
        if (t.displayRotation != -1 && t.displayRotation % 90 != 0) __builtin_trap();
        if (!t.projection.empty() && t.projection.size() > 16) __builtin_trap();
        const mp4::Presentation p = mp4::presentTrack(t, f->movieTimescale());
        for (size_t i = 0; i < p.samples.size(); ++i)
            if (p.samples[i].index >= t.samples.size() || (i > 0 && p.samples[i].time < p.samples[i - 1].time))
                __builtin_trap();
        int64_t start = 0, length = 0;
        mp4::firstEdit(t, f->movieTimescale(), start, length);
        (void)f->trackById(t.id);
    }
    std::string v;
    f->tag("desc", v);
    f->tag("\xA9" "cmt", v);
    return 0;
}
