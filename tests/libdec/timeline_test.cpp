// Which samples a track's edit list shows, and when: the rules on small
// hand-made tracks, including lists that cannot be followed.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "isobmff/Mp4Container.h"

namespace {

// Track timescale 100, movie timescale 10: one movie unit is 10 track units.
mp4::Track track(const std::vector<int64_t>& cts, int64_t end, std::vector<mp4::Edit> edits) {
    mp4::Track t;
    t.timescale = 100;
    for (int64_t c : cts) {
        mp4::Sample s;
        s.cts = c;
        t.samples.push_back(s);
    }
    t.mediaEnd = end;
    t.edits = std::move(edits);
    return t;
}

const std::vector<int64_t> kTen = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90};  // 0.1 s each
const int32_t kPlay = 0x10000;

using Shown = std::vector<std::pair<uint32_t, int64_t>>;  // (sample index, time)

Shown frames(int first, int last, int64_t time) {
    Shown s;
    for (int i = first; i <= last; ++i, time += 10) s.push_back({static_cast<uint32_t>(i), time});
    return s;
}

TEST(Presentation, EditListsChooseAndTimeTheSamples) {
    struct Case {
        const char* name;
        mp4::Track t;
        Shown shown;
        int64_t end;
    } cases[] = {
        {"no edit list: every sample at its time", track(kTen, 100, {}), frames(0, 9, 0), 100},
        {"trimmed at a sample", track(kTen, 100, {{5, 30, kPlay}}), frames(3, 7, 0), 50},
        {"trimmed between samples: the one still showing is left out", track(kTen, 100, {{3, 35, kPlay}}),
         {{4, 5}, {5, 15}, {6, 25}}, 30},
        {"an empty edit delays everything", track(kTen, 100, {{5, -1, kPlay}, {10, 0, kPlay}}), frames(0, 9, 50), 150},
        {"reordered samples, the reorder delay cut", track({20, 40, 30}, 50, {{3, 20, kPlay}}), {{0, 0}, {2, 10}, {1, 20}},
         30},
        {"a held picture", track(kTen, 100, {{2, 45, 0}}), {{4, 0}}, 20},
        {"to the end of the media", track(kTen, 100, {{0, 50, kPlay}}), frames(5, 9, 0), 50},
        {"a stretch shown twice", track(kTen, 100, {{2, 0, kPlay}, {2, 0, kPlay}}), {{0, 0}, {1, 10}, {0, 20}, {1, 30}},
         40},
        {"past the end of the media: nothing", track(kTen, 100, {{5, 1000, kPlay}}), {}, 50},
        {"a rate other than 0 or 1 is not followed", track(kTen, 100, {{5, 30, 0x20000}}), frames(0, 9, 0), 100},
        {"times out of range are not followed", track(kTen, 100, {{uint64_t(1) << 63, int64_t(1) << 62, kPlay}}),
         frames(0, 9, 0), 100},
    };
    for (const Case& c : cases) {
        mp4::Presentation p = mp4::presentTrack(c.t, 10);
        Shown got;
        for (const mp4::ShownSample& s : p.samples) got.push_back({s.index, s.time});
        EXPECT_EQ(got, c.shown) << c.name;
        EXPECT_EQ(p.end, c.end) << c.name;
    }
    // Without the movie's timescale the durations mean nothing.
    EXPECT_EQ(mp4::presentTrack(track(kTen, 100, {{5, 30, kPlay}}), 0).samples.size(), 10u);
}

// Sound: where its first played sample sits on the movie's timeline.
TEST(Presentation, FirstEditPlacesTheSound) {
    int64_t start = 0, length = 0;
    mp4::firstEdit(track(kTen, 100, {{5, -1, kPlay}, {3, 1, kPlay}, {4, 9, kPlay}}), 10, start, length);
    EXPECT_EQ(start, 50);
    EXPECT_EQ(length, 30);
    mp4::firstEdit(track(kTen, 100, {}), 10, start, length);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(length, -1);
}

}  // namespace
