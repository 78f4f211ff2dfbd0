#include "ClipMetadata.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/timecode.h>
}

namespace stitcher {

namespace {

struct InputClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

const char* kTags[][2] = {{"creation_time", "creation time"},
                          {"location", "location"},
                          {"title", "title"},
                          {"comment", "comment"}};

// A camera-motion track's samples are small (tens of bytes, hundreds a second).
constexpr size_t kMaxMotionBytes = 256u << 20;

}  // namespace

bool viewIsCamera(double yaw, double pitch, double roll, bool perFrameView, int displayTurn) {
    return yaw == 0 && pitch == 0 && roll == 0 && !perFrameView && displayTurn == 0;
}

CarriedMetadata carriedMetadata(Clip& clip, long long first, long long count, Rational fps, bool viewIsCamera) {
    CarriedMetadata out;
    const uint32_t scale = clip.timescale();
    if (scale == 0 || count <= 0) return out;
    const long long from = clip.frameTime(first), to = clip.frameTime(first + count);
    const int64_t fromMs = av_rescale(from, 1000, scale), toMs = av_rescale(to, 1000, scale);

    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, clip.path().c_str(), nullptr, nullptr) < 0) return out;
    std::unique_ptr<AVFormatContext, InputClose> in(opened);
    for (const auto& tag : kTags) {
        const AVDictionaryEntry* e = av_dict_get(in->metadata, tag[0], nullptr, 0);
        if (!e || !*e->value) continue;
        out.movie.tags.emplace_back(tag[0], e->value);
        out.items.push_back(std::string(tag[1]) + " " + e->value);
    }
    for (unsigned k = 0; k < in->nb_chapters; ++k) {
        const AVChapter* c = in->chapters[k];
        const int64_t start = av_rescale_q(c->start, c->time_base, AVRational{1, 1000});
        const int64_t end = av_rescale_q(c->end, c->time_base, AVRational{1, 1000});
        if (end <= fromMs || start >= toMs) continue;  // outside the stretch
        MovieChapter m;
        m.start = std::max(start, fromMs) - fromMs;
        m.end = std::min(end, toMs) - fromMs;
        const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
        if (title) m.title = title->value;
        out.movie.chapters.push_back(m);
    }
    if (!out.movie.chapters.empty())
        out.items.push_back(std::to_string(out.movie.chapters.size()) + " chapter" +
                            (out.movie.chapters.size() == 1 ? "" : "s"));
    // The timecode names the clip's first frame; the video's is `first - 1` frames on.
    for (unsigned k = 0; k < in->nb_streams && out.movie.timecode.empty(); ++k) {
        const AVDictionaryEntry* e = av_dict_get(in->streams[k]->metadata, "timecode", nullptr, 0);
        AVTimecode tc;
        if (!e || fps.num <= 0 || av_timecode_init_from_string(&tc, AVRational{fps.num, fps.den}, e->value, nullptr) < 0)
            continue;
        char text[AV_TIMECODE_STR_SIZE];
        out.movie.timecode = av_timecode_make_string(&tc, text, static_cast<int>(first - 1));
        out.items.push_back("timecode " + out.movie.timecode);
    }

    for (const libdec::ClipTrack& t : clip.tracks().tracks) {
        if (t.sampleEntry != "camm") continue;
        out.motion = true;
        if (!viewIsCamera || out.motionKept) continue;
        libdec::StoredTrack stored;
        if (!clip.storedTrack(t.id, from, to, kMaxMotionBytes, stored) || stored.handler.size() != 4) continue;
        CopiedTrack c;
        c.handler = stored.handler;
        c.sampleEntry = stored.sampleEntry;
        c.timescale = stored.timescale;
        // From the video's start: the stretch's start in the track's units.
        const long long origin = av_rescale(from, stored.timescale, scale);
        for (libdec::StoredSample& s : stored.samples)
            c.samples.push_back({std::max<int64_t>(0, s.time - origin), s.duration, std::move(s.data)});
        if (c.samples.empty()) continue;
        out.movie.tracks.push_back(std::move(c));
        out.motionKept = true;
    }
    return out;
}

}  // namespace stitcher
