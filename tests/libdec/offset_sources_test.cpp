// Offset sources of the reader: calibration records in the text track, the
// description tag (plain or base64), precedence, the cache and the comment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Mp4Writer.h"
#include "isobmff/Mp4Container.h"
#include "libdec.h"
#include "mp4read/CMp4Read.h"
#include "mp4read/OffsetString.h"
#include "mp4read/SubtitleRecord.h"
#include "log_home.h"
#include "test_clips.h"

namespace {

::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new loghome::HomeEnv("offset_src_home"));
using loghome::LogMark;

using Lens = std::vector<int32_t>;  // six thousandths
const std::vector<Lens> kDefaultLenses = {{713649, 713933, 708050, -2650, -1599, -358},
                                         {712403, 2165500, 727583, 177350, -180540, 176}};
// The default calibration as a record writes it (two decimals).
const std::string kDefaultFromRecord =
    "2_713.65_713.93_708.05_-2.65_-1.60_-0.36_712.40_2165.50_727.58_177.35_-180.54_0.18_2880_1440_516";
const std::string kOther =
    "2_700.5_701.25_702_1.5_-2_0.25_703_2100.75_704_178_-179.5_0.5_3840_1920_7";

void PutLe(std::string& s, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A record of `size` bytes (192 or 160); lens blocks beyond the room are dropped.
std::string Record(size_t size, unsigned count, const std::vector<Lens>& lenses, uint16_t w = 2880,
                   uint16_t h = 1440, uint32_t code = 516) {
    std::string r(size, '\x77');  // the bytes that are not interpreted hold filler
    PutLe(r, 16, w, 2);
    PutLe(r, 18, h, 2);
    PutLe(r, 20, code, 4);
    r[24] = static_cast<char>(count);
    for (size_t i = 0; i < lenses.size() && 32 + 32 * i + 24 <= size; ++i)
        for (int k = 0; k < 6; ++k) PutLe(r, 32 + 32 * i + 4 * k, static_cast<uint32_t>(lenses[i][k]), 4);
    return r;
}

// A text sample of `total` bytes that ends in `record`.
std::string Sample(size_t total, const std::string& record) {
    std::string s(total - record.size(), '\x11');
    return s + record;
}

template <typename T>
std::string Convert(const std::string& record) {
    std::vector<char> out(kSubtitleOffsetMaxChars + 1, 'x');
    ChangeToSubtitleOffset<T>(reinterpret_cast<const T*>(record.data()), out.data());
    return std::string(out.data());
}

TEST(SubtitleRecord, Conversion) {
    const std::vector<Lens> big = {{100000013, -5, 15, 25, 125, 1005}};
    const std::vector<Lens> extreme(5, Lens(6, INT32_MIN));
    struct Case {
        const char* name;
        std::string record;  // 192 or 160 bytes
        std::string text;
    } cases[] = {
        {"r default", Record(192, 2, kDefaultLenses), kDefaultFromRecord},
        {"s default", Record(160, 2, kDefaultLenses), kDefaultFromRecord},
        {"count 0", Record(192, 0, kDefaultLenses), "0_2880_1440_516"},
        {"single precision", Record(192, 1, big, 65535, 1, 4294967295u),
         "1_100000.02_-0.01_0.01_0.03_0.12_1.00_65535_1_4294967295"},
        {"r count 5 too long", Record(192, 5, extreme), ""},
        {"r count 6", Record(192, 6, kDefaultLenses), ""},
        {"s count 5", Record(160, 5, kDefaultLenses), ""},
        {"r count 255", Record(192, 255, kDefaultLenses), ""},
        {"s count 4 short values", Record(160, 4, std::vector<Lens>(4, Lens(6, 0))),
         "4_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00_0.00"
         "_0.00_0.00_0.00_0.00_0.00_0.00_2880_1440_516"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string got = c.record.size() == 192 ? Convert<mnd_data_video_r>(c.record)
                                                       : Convert<mnd_data_video_s>(c.record);
        EXPECT_EQ(got, c.text);
        EXPECT_LE(got.size(), kSubtitleOffsetMaxChars);
    }
    EXPECT_EQ(kDefaultFromRecord.size(), 96u);
    EXPECT_TRUE(isOffsetValid(kDefaultFromRecord.c_str()));
}

// ---- clips ------------------------------------------------------------------

// The H.264 track of a tiny ffmpeg clip, so that the reader accepts our clips.
const mp4::File& VideoSource() {
    static std::unique_ptr<mp4::File> file = [] {
        const std::string path = testutil::makeClip(
            "offset_src_video.mp4", "-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 2 -c:v libx264 -pix_fmt yuv420p");
        std::string error;
        auto f = mp4::File::open(path.c_str(), &error);
        if (!f) ADD_FAILURE() << path << ": " << error;
        return f;
    }();
    return *file;
}

struct ClipRecipe {
    bool textTrack = false;
    std::vector<std::string> textSamples;
    std::string textHandler = "text";
    // Further timed-text tracks after it: handler, samples.
    std::vector<std::pair<std::string, std::vector<std::string>>> moreText;
    bool hasDesc = false;
    std::string desc;
    bool hasComment = false;
    std::string comment;
};

std::string MakeClip(const std::string& name, const ClipRecipe& recipe) {
    testutil::Mp4Writer w;
    const mp4::File& src = VideoSource();
    uint32_t videoId = 0;
    for (const mp4::Track& t : src.tracks())
        if (t.handler == "vide") videoId = t.id;
    std::string error;
    EXPECT_NE(w.addCopyOf(src, videoId, &error), nullptr) << error;
    if (recipe.textTrack) {
        auto& t = w.addTextTrack();
        t.handler = recipe.textHandler;
        for (const std::string& s : recipe.textSamples) t.samples.push_back({s, true});
    }
    for (const auto& more : recipe.moreText) {
        auto& t = w.addTextTrack();
        t.handler = more.first;
        for (const std::string& s : more.second) t.samples.push_back({s, true});
    }
    if (recipe.hasDesc) w.setTag("desc", recipe.desc);
    if (recipe.hasComment) w.setTag("\xA9" "cmt", recipe.comment);
    static const std::string dir = testutil::makeTempDir("offset_src_clips");
    const std::string path = dir + "/" + name + ".mp4";
    EXPECT_TRUE(w.writeFile(path));
    return path;
}

std::string Base64(const std::string& s) {
    std::unique_ptr<char[]> e(base64Encode(s.data(), static_cast<unsigned>(s.size())));
    return e.get();
}

enum Result { kText, kDefaultConstant };

struct OffsetCase {
    const char* name;
    ClipRecipe clip;
    Result result;
    std::string text;                 // expected text when kText
    std::vector<std::string> logged;  // lines expected in the log (fragments)
    std::vector<std::string> absent;  // fragments that must not appear
};

TEST(OffsetSources, GetOffsetCases) {
    const std::string r200 = Sample(200, Record(192, 2, kDefaultLenses));
    const std::string s170 = Sample(170, Record(160, 2, kDefaultLenses));
    const std::vector<Lens> otherLenses = {{1000, 2000, 3000, 4000, 5000, 6000},
                                           {7000, 8000, 9000, 10000, 11000, 12000}};
    const std::string s170other = Sample(170, Record(160, 2, otherLenses, 100, 50, 2));
    const std::string kOtherFromRecord =
        "2_1.00_2.00_3.00_4.00_5.00_6.00_7.00_8.00_9.00_10.00_11.00_12.00_100_50_2";
    const std::string r200count0 = Sample(200, Record(192, 0, kDefaultLenses));
    std::string longOffset = kOther;
    while (longOffset.size() < 300) longOffset += "_12345";

    auto text = [](std::vector<std::string> s) {
        ClipRecipe c;
        c.textTrack = true;
        c.textSamples = std::move(s);
        return c;
    };
    auto desc = [](std::string d, ClipRecipe c = ClipRecipe()) {
        c.hasDesc = true;
        c.desc = std::move(d);
        return c;
    };
    const std::string kCDefault = "C offset: " + kDefaultFromRecord;
    // The calibration in any timed-text track, whatever its handler and place.
    auto tracks = [](std::string handler, std::vector<std::string> first,
                     std::vector<std::pair<std::string, std::vector<std::string>>> more) {
        ClipRecipe c;
        c.textTrack = true;
        c.textHandler = std::move(handler);
        c.textSamples = std::move(first);
        c.moreText = std::move(more);
        return c;
    };
    const std::string r200other = Sample(200, Record(192, 2, otherLenses, 100, 50, 2));

    const OffsetCase cases[] = {
        {"sample_200", text({r200}), kText, kDefaultFromRecord, {"INFO  " + kCDefault + " "}, {"B offset"}},
        {"all_170", text({s170, s170other, s170other}), kText, kDefaultFromRecord, {kCDefault}, {}},
        {"single_170", text({s170}), kText, kDefaultFromRecord, {kCDefault}, {}},
        // The 192-byte kind is looked for in every sample before the 160-byte one.
        {"170_then_200", text({s170other, r200}), kText, kDefaultFromRecord, {kCDefault}, {}},
        {"200_then_201", text({r200, Sample(201, Record(192, 2, otherLenses))}), kText,
         kDefaultFromRecord, {kCDefault}, {}},
        {"second_sample_170", text({"abc", s170other, s170}), kText, kOtherFromRecord,
         {"C offset: " + kOtherFromRecord}, {}},
        {"none_long_enough", text({"abc", std::string(159, 'x'), std::string(100, 'y')}), kText,
         DEFAULT_OFFSET, {"INFO  There is no offset in subtitle track", "B offset: " + std::string(DEFAULT_OFFSET)},
         {}},
        {"empty_text_track", text({}), kText, DEFAULT_OFFSET, {"There is no offset in subtitle track"}, {}},
        {"none_long_enough_with_tag", desc(kOther, text({std::string(150, 'z')})), kText, kOther,
         {"There is no offset in subtitle track", "B offset: " + kOther}, {}},
        {"record_count_0", desc(kOther, text({r200count0})), kDefaultConstant, "",
         {"Offset is invalid, use default offset", "C offset: " + std::string(DEFAULT_OFFSET)},
         {"B offset"}},
        {"record_count_over_room", desc(kOther, text({Sample(200, Record(192, 6, kDefaultLenses))})),
         kDefaultConstant, "", {"Offset is invalid, use default offset"}, {"B offset"}},
        {"sbtl_then_chapter", tracks("sbtl", {r200other}, {{"text", {"Chapter one"}}}), kText, kOtherFromRecord,
         {"calibration record of text track 2"}, {"B offset"}},
        {"chapter_then_subt", desc(kOther, tracks("text", {"Chapter one"}, {{"subt", {r200other}}})), kText,
         kOtherFromRecord, {"calibration record of text track 3"}, {"B offset"}},
        {"invalid_then_valid", tracks("text", {r200count0}, {{"sbtl", {s170other}}}), kText, kOtherFromRecord,
         {"calibration record of text track 3"}, {"invalid"}},
        {"record_and_tag", desc(kOther, text({r200})), kText, kDefaultFromRecord, {kCDefault}, {"B offset"}},
        {"no_text_track_no_tag", ClipRecipe(), kText, DEFAULT_OFFSET,
         {"There is no subtitle track in the file.", "B offset: " + std::string(DEFAULT_OFFSET)}, {}},
        {"tag_plain", desc(kOther), kText, kOther, {"INFO  " + kOther + " ", "B offset: " + kOther}, {}},
        {"tag_plain_line_end", desc(kOther + "\n"), kText, kOther, {"B offset: " + kOther}, {"invalid"}},
        {"tag_plain_crlf_blanks", desc("  " + kOther + " \r\n"), kText, kOther, {"B offset: " + kOther}, {}},
        {"tag_plain_trailing_underscore", desc(kOther + "_"), kText, kOther, {}, {}},
        {"tag_base64_default", desc(Base64(DEFAULT_OFFSET)), kText, DEFAULT_OFFSET,
         {"B offset: " + std::string(DEFAULT_OFFSET)}, {}},
        {"tag_base64_other", desc(Base64(kOther)), kText, kOther, {"B offset: " + kOther}, {}},
        {"tag_base64_line_end", desc(Base64(kOther) + "\r\n"), kText, kOther, {}, {}},
        {"tag_base64_of_invalid", desc(Base64("2_1_2_3")), kDefaultConstant, "",
         {"Offset is invalid, use default offset"}, {"B offset"}},
        {"tag_text", desc("hello world"), kDefaultConstant, "", {"Offset is invalid, use default offset"}, {}},
        {"tag_plain_too_few_fields", desc("2_1_2_3_4_5_6_7_8_9_10_11_12"), kDefaultConstant, "",
         {"Offset is invalid, use default offset"}, {}},
        {"tag_empty", desc(""), kDefaultConstant, "", {"Offset is invalid, use default offset"}, {}},
        {"tag_long_plain", desc(longOffset), kText, longOffset, {"B offset: " + longOffset}, {}},
        {"tag_long_base64", desc(Base64(longOffset)), kText, longOffset, {"B offset: " + longOffset}, {}},
    };
    for (const OffsetCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = MakeClip(c.name, c.clip);
        std::unique_ptr<CMp4Read> reader;
        ASSERT_NO_THROW(reader = std::make_unique<CMp4Read>(path.c_str()));
        LogMark mark;
        char* offset = nullptr;
        ASSERT_EQ(reader->GetOffset(offset), 0);
        ASSERT_NE(offset, nullptr);
        if (c.result == kDefaultConstant)
            EXPECT_EQ(offset, DEFAULT_OFFSET) << offset;
        else
            EXPECT_EQ(std::string(offset), c.text);
        const std::string log = mark.Since();
        for (const std::string& l : c.logged) EXPECT_NE(log.find(l), std::string::npos) << l << "\n" << log;
        for (const std::string& l : c.absent) EXPECT_EQ(log.find(l), std::string::npos) << l << "\n" << log;

        // Cached: the same text again, without a scan or a tag decision.
        LogMark again;
        char* second = nullptr;
        EXPECT_EQ(reader->GetOffset(second), 0);
        EXPECT_EQ(second, offset);
        const std::string log2 = again.Since();
        EXPECT_EQ(log2.find("There is no offset"), std::string::npos) << log2;
        EXPECT_EQ(log2.find("Trimmed offset"), std::string::npos) << log2;
        EXPECT_EQ(log2.find("invalid"), std::string::npos) << log2;
    }
}

// A sample that cannot be read is skipped; when it is the last one, the
// 160-byte pass does not run.
TEST(OffsetSources, UnreadableSamples) {
    const std::string s170 = Sample(170, Record(160, 2, kDefaultLenses));
    ClipRecipe recipe;
    recipe.textTrack = true;
    recipe.textSamples = {s170, std::string(100, 'q')};
    recipe.hasDesc = true;
    recipe.desc = kOther;
    const std::string path = MakeClip("unreadable_last", recipe);

    // Where the last text sample starts: cut the file there once the reader is open.
    uint64_t cut = 0;
    {
        auto f = mp4::File::open(path.c_str());
        ASSERT_TRUE(f);
        uint64_t lastEnd = 0;
        for (const mp4::Track& t : f->tracks())
            for (const mp4::Sample& smp : t.samples) lastEnd = std::max<uint64_t>(lastEnd, smp.offset + smp.size);
        const mp4::Track* text = nullptr;
        for (const mp4::Track& t : f->tracks())
            if (t.handler == "text") text = &t;
        ASSERT_TRUE(text && text->samples.size() == 2);
        cut = text->samples[1].offset;
        ASSERT_EQ(cut + text->samples[1].size, lastEnd) << "the last text sample must end the media data";
        ASSERT_LT(text->samples[0].offset + text->samples[0].size, cut + 1);
    }
    {
        CMp4Read intact(path.c_str());
        char* offset = nullptr;
        ASSERT_EQ(intact.GetOffset(offset), 0);
        EXPECT_EQ(std::string(offset), kDefaultFromRecord);  // second pass, sample 1
    }
    CMp4Read reader(path.c_str());
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
    LogMark mark;
    char* offset = nullptr;
    ASSERT_EQ(reader.GetOffset(offset), 0);
    EXPECT_EQ(std::string(offset), kOther);
    const std::string log = mark.Since();
    EXPECT_NE(log.find("ERROR Failed on MP4ReadSample()"), std::string::npos) << log;
    EXPECT_NE(log.find("There is no offset in subtitle track"), std::string::npos) << log;
}

TEST(OffsetSources, NoFileGivesFailure) {
    const std::string path = MakeClip("closed", ClipRecipe());
    CMp4Read reader(path.c_str());
    reader.DeInit();
    LogMark mark;
    char* offset = reinterpret_cast<char*>(1);
    EXPECT_EQ(reader.GetOffset(offset), 1);
    EXPECT_EQ(offset, nullptr);
    EXPECT_EQ(reader.GetVideoComment(), nullptr);
    const std::string log = mark.Since();
    EXPECT_NE(log.find("ERROR Failed on MP4TagsFetch()"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  Failed to retrive offset"), std::string::npos) << log;
}

TEST(OffsetSources, Comment) {
    struct Case {
        const char* name;
        bool has;
        std::string value;
        std::string expected;
    } cases[] = {
        {"comment_absent", false, "", "unknown"},
        {"comment_text", true, "Lens test 7", "Lens test 7"},
        {"comment_empty", true, "", ""},
        {"comment_long", true, std::string(1000, 'c'), std::string(1000, 'c')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClipRecipe recipe;
        recipe.hasComment = c.has;
        recipe.comment = c.value;
        recipe.hasDesc = true;
        recipe.desc = "not the comment";
        const std::string path = MakeClip(c.name, recipe);
        CMp4Read reader(path.c_str());
        std::unique_ptr<char[]> a(reader.GetVideoComment());
        std::unique_ptr<char[]> b(reader.GetVideoComment());
        ASSERT_TRUE(a && b);
        EXPECT_EQ(std::string(a.get()), c.expected);
        EXPECT_NE(a.get(), b.get());  // a new array for every call
        EXPECT_STREQ(a.get(), b.get());
    }
}

}  // namespace
