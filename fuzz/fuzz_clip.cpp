// libFuzzer target for the clip as the stitcher reads it, through the
// reader's interface for its own hosts: open the mutated clip, list its
// tracks, read how its video is shown, its timeline, its spatial sound box
// and each track's stored samples; then, with seeks that pass over pictures
// nothing refers to and start from a frame's own group, ask for pictures in
// the decoder's planes in an order that jumps back and forth, convert a few
// rows of each (a picture in another layout comes as BGR), and ask where the
// key pictures before some frames lie.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzClip.h"
#include "FuzzLargePictures.h"
#include "libdec.h"
#include "libdec_internal.h"

namespace {

// Every byte of the picture's planes, as far as its size and layout say they reach.
unsigned TouchPlanes(const libdec::DecodedPicture& p) {
    unsigned sum = 0;
    for (int k = 0; k < 3; ++k) {
        if (!p.planes[k] || p.strides[k] <= 0) continue;
        const int w = k == 0 ? p.width : (p.width + (1 << p.shiftX) - 1) >> p.shiftX;
        const int h = k == 0 ? p.height : (p.height + (1 << p.shiftY) - 1) >> p.shiftY;
        for (int y = 0; y < h; ++y) sum += fuzzclip::touch(p.planes[k] + static_cast<size_t>(y) * p.strides[k], static_cast<size_t>(w));
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzclip::init("fuzz_clip");
    libdec::SetMessageSink([](int, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fuzzclip::largePictures(data, size, 1u << 20) || !fuzzclip::write(data, size)) return 0;

    libdec::ClipOpening opening;
    void* h = libdec::OpenClip(fuzzclip::path().c_str(), opening);
    if (!h) {
        if (opening.refusal == libdec::ClipRefusal::None || opening.reason.empty()) __builtin_trap();
        return 0;
    }
    volatile unsigned sink = 0;
    _MediaInfo info{};
    if (PRDGetMediaInfo(h, info) != 0) __builtin_trap();

    libdec::ClipTracks tracks;
    if (libdec::GetClipTracks(h, tracks) == 0) {
        for (const libdec::ClipTrack& t : tracks.tracks) {
            libdec::StoredTrack stored;
            if (libdec::GetStoredTrack(h, t.id, 0, 1000000, 1000, size_t(1) << 20, stored) == 0)
                for (const libdec::StoredSample& s : stored.samples) sink += fuzzclip::touch(s.data.data(), s.data.size());
            sink += fuzzclip::touch(stored.sampleEntry.data(), stored.sampleEntry.size());
        }
    }
    libdec::VideoLook look;
    libdec::GetVideoLook(h, look);
    libdec::PresentationTimeline timeline;
    if (libdec::GetPresentationTimeline(h, timeline)) {
        // Times may start below 0 (a composition offset that no edit list
        // takes back), but never go back.
        long long last = LLONG_MIN;
        for (const libdec::ShownFrame& f : timeline.frames) {
            if (f.time < last || f.frame < 1 || f.frame > info.frames) __builtin_trap();
            last = f.time;
        }
    }
    std::vector<uint8_t> box;
    if (libdec::AudioSpatialBox(h, box)) sink += fuzzclip::touch(box.data(), box.size());

    libdec::SkipPassedPictures(h, true);
    libdec::SeekFromOwnGroup(h, true);
    const long long n = info.frames < 12 ? info.frames : 12;
    const long long frames[] = {3, 1, n, n / 2 + 1, 2, n, 0, n - 1, n + 1, 5};
    std::vector<uint8_t> rows;
    for (long long f : frames) {
        libdec::DecodedPicture picture;
        unsigned char* bgr = nullptr;
        const int rc = libdec::GetDecodedPicture(h, f, picture, bgr);
        if (rc == 2 && bgr) sink += fuzzclip::touch(bgr, size_t(3) * info.width * info.height);
        if (rc != 0) continue;
        sink += TouchPlanes(picture);
        // The first rows over the whole width, a band in the middle over part
        // of it, the last row from its second column; then two bands outside
        // the picture, which must be refused.
        const int w = picture.width, hgt = picture.height;
        const int bands[][4] = {{0, std::min(2, hgt), 0, w},
                                {hgt / 2, std::min(hgt, hgt / 2 + 3), w / 3, w - w / 4},
                                {std::max(0, hgt - 1), hgt, 1, w},
                                {0, 1, w, w + 8},
                                {hgt, hgt + 1, 0, w}};
        // Column x of a row lands 3 x bytes into it.
        const int stride = 3 * (w + 16);
        for (size_t k = 0; k < 5; ++k) {
            const int* b = bands[k];
            rows.assign(static_cast<size_t>(stride) * std::max(1, b[1] - b[0]), 0);
            const bool converted = libdec::ConvertPictureRows(picture, b[0], b[1], b[2], b[3], rows.data(), stride);
            if (converted && k >= 3) __builtin_trap();
            if (converted) sink += fuzzclip::touch(rows.data(), rows.size());
        }
        sink += static_cast<unsigned>(libdec::KeyFrameBefore(h, f));
    }
    PRDClose(h);
    (void)sink;
    return 0;
}
