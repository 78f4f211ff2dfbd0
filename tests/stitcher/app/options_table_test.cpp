// The README's option table and the command line's own table name the same
// options; combinations that cannot mean anything are refused, those that
// merely do nothing are warned of; no two outputs are one file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Options.h"
#include "test_clips.h"

using namespace stitcher;

namespace {

// The option names in the first cell of each "| `--opt ...` |" row.
std::set<std::string> readmeOptions() {
    std::ifstream in(std::string(DFS_SOURCE_DIR) + "/README.md");
    std::set<std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| `-", 0) != 0) continue;
        size_t end = 1;
        while ((end = line.find('|', end + 1)) != std::string::npos && line[end - 1] == '\\') {}
        const std::string cell = line.substr(1, end - 1);
        for (size_t at = cell.find('`'); at != std::string::npos; at = cell.find('`', at + 1)) {
            const size_t close = cell.find('`', at + 1);
            if (close == std::string::npos) break;
            const std::string code = cell.substr(at + 1, close - at - 1);
            names.insert(code.substr(0, code.find(' ')));
            at = close;
        }
    }
    return names;
}

// The spellings of an option as --help shows them.
std::set<std::string> shownNames(const OptionSpec& o) {
    std::set<std::string> names;
    std::istringstream in(o.names);
    for (std::string name; std::getline(in >> std::ws, name, ',');) names.insert(name);
    return names;
}

TEST(OptionTable, ReadmeNamesTheSameOptions) {
    const std::set<std::string> readme = readmeOptions();
    ASSERT_FALSE(readme.empty()) << "no option rows in README.md";
    std::set<std::string> accepted;
    for (const OptionSpec& o : optionTable()) {
        const std::set<std::string> shown = shownNames(o);
        accepted.insert(shown.begin(), shown.end());
        bool named = false;
        for (const std::string& n : shown) named = named || readme.count(n);
        EXPECT_TRUE(named) << o.names << " is missing from README.md's option table";
    }
    for (const std::string& n : readme)
        EXPECT_TRUE(accepted.count(n)) << "README.md names " << n << ", which the command line does not take";
}

const std::string kClip = std::string(DFS_SOURCE_DIR) + "/samples/sample.mp4";

Status parse(std::vector<std::string> args, Options& opt) {
    std::vector<char*> argv{const_cast<char*>("stitcher")};
    for (std::string& a : args) argv.push_back(&a[0]);
    return parseOptions(static_cast<int>(argv.size()), argv.data(), opt);
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// Two options that ask for different things: refused before any work, with
// both named.
TEST(OptionCombinations, ContradictionsAreRefused) {
    const std::string falloff = "falloff_-0.2_0_-0.2_0";
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--color-match", "off", "--falloff", falloff, kClip, "o.mp4"}, "--falloff is undone with the colour matching"},
        {{"--stabilize", "lock", "--motion", "m.csv", kClip, "o.mp4"}, "--motion applies the view corrections"},
        {{"--level", "--motion", "m.csv", kClip, "o.mp4"}, "it takes no --stabilize or --level"},
        {{"--smooth", "2", kClip, "o.mp4"}, "--smooth goes with --stabilize smooth"},
        {{"--stabilize", "lock", "--smooth", "2", kClip, "o.mp4"}, "--smooth goes with --stabilize smooth"},
        {{"--start", "2", "--frame", "3", kClip, "o.png"}, "it takes no --start or --frames"},
        {{"--layout", "stereo", "--level", kClip, "o.mp4"}, "--layout stereo has none"},
        {{"--layout", "stereo", "--seam", "1.5m", kClip, "o.mp4"}, "--layout stereo shows each lens alone and has none"},
        {{"--preset", "foo", kClip, "o.mp4"}, "option --preset: 'foo' is none of ultrafast,"},
        {{"--projection", "flat", "--layout", "stereo", kClip, "o.mp4"}, "it takes no --projection flat or planet"},
        {{"--projection", "planet", "--size", "512", kClip, "o.mp4"}, "takes its picture's size as --size WxH"},
        {{"--size", "640x360", kClip, "o.mp4"}, "a panorama takes --size N"},
        {{"--projection", "flat", "--size", "641x360", kClip, "o.mp4"}, "two even whole numbers"},
        {{"--projection", "flat", "--fov", "180", kClip, "o.mp4"}, "less than 180"},
        {{"--camera", "c.csv", "--pitch", "3", kClip, "o.mp4"}, "it takes no --pitch"},
        {{"--seam", "near", kClip, "o.mp4"}, "option --seam: 'near' is not auto, far or a distance"},
        {{"--seam", "0.05m", kClip, "o.mp4"}, "option --seam: '0.05m' is not auto, far or a distance"},
        {{"--baseline", "0", kClip, "o.mp4"}, "option --baseline: '0' is not a number of millimetres"},
        {{"--codec", "prores", kClip, "o.MP4"}, "ProRes does not go into an MP4 file"},
        {{"--bit-depth", "10", kClip, "o.mkv"}, "--bit-depth 10 goes with --codec hevc"},
        {{"--codec", "prores", "--bit-depth", "8", kClip, "o.mov"}, "ProRes is 10-bit"},
        {{"--codec", "prores", "--plan-out", "p.json", kClip}, "a plan's segments are 8-bit"},
        {{"--quality", "0", kClip, "o.jpg"}, "option --quality"},
    };
    for (const auto& c : cases) {
        Options opt;
        const Status st = parse(c.args, opt);
        EXPECT_EQ(st.code(), kExitUsage) << c.message;
        EXPECT_NE(st.message().find(c.message), std::string::npos) << st.message();
    }
}

TEST(OptionCombinations, SeamTakesAModeOrADistance) {
    Options opt;
    ASSERT_TRUE(parse({"--seam", "1.5m", "--baseline", "22.5", kClip, "o.mp4"}, opt).ok());
    EXPECT_DOUBLE_EQ(opt.seamDistanceM, 1.5);
    EXPECT_DOUBLE_EQ(opt.baselineMm, 22.5);
    EXPECT_FALSE(opt.seamAuto);
    ASSERT_TRUE(parse({"--seam", "1.5m", "--seam", "auto", kClip, "o.mp4"}, opt).ok());
    EXPECT_TRUE(opt.seamAuto);
    EXPECT_EQ(opt.seamDistanceM, 0.0);
}

// An option that does nothing for the run is named; one given twice, the
// last wins and is named.
TEST(OptionCombinations, OptionsWithoutEffectAreNamed) {
    const struct {
        std::vector<std::string> args;
        const char* warning;  // null: none
    } cases[] = {
        {{"--crf", "3", kClip, "o.png"}, "--crf has no effect: it is a setting of a video"},
        {{"--no-audio", kClip, "f%03d.png"}, "--no-audio has no effect"},
        {{"--bit-depth", "10", kClip, "f%03d.jpg"}, "--bit-depth has no effect: it is a setting of a video, and a .jpg"},
        {{"--quality", "50", kClip, "o.png"}, "--quality has no effect"},
        {{"--codec", "prores", "--crf", "3", kClip, "o.mov"}, "--crf has no effect: it is a setting of x264 and x265"},
        {{"--info", "-y", kClip}, "-y has no effect: --info stitches and writes nothing"},
        {{"--calibrate", "--size", "64", kClip}, "--size has no effect: --calibrate"},
        {{"--engine", "gl", "--threads", "2", kClip, "o.mp4"}, "--threads has no effect"},
        {{"--size", "64", "--size", "128", kClip, "o.mp4"}, "option --size is given twice: '128' is used, not '64'"},
        // Each of these has its effect.
        {{"--engine", "gl", "--threads", "2", "--stabilize", "smooth", "--smooth", "2", kClip, "o.mp4"}, nullptr},
        {{"--start", "4", "--crf", "3", "-y", "-y", kClip, "o.mp4"}, nullptr},
        {{"--info", "--offset", "x", "--engine", "cpu", kClip}, nullptr},
        {{"--fov", "90", kClip, "o.mp4"}, "--fov has no effect: the equirect panorama"},
        {{"--projection", "flat", "--size", "1080x1920", "--fov", "60", kClip, "o.mp4"}, nullptr},
        {{"--codec", "hevc", "--bit-depth", "10", "--crf", "3", kClip, "o.mkv"}, nullptr},
        {{"--quality", "50", kClip, "o.jpeg"}, nullptr},
    };
    for (const auto& c : cases) {
        Options opt;
        const Status st = parse(c.args, opt);
        ASSERT_TRUE(st.ok()) << st.message();
        if (c.warning)
            EXPECT_NE(joined(opt.warnings).find(c.warning), std::string::npos) << joined(opt.warnings);
        else
            EXPECT_TRUE(opt.warnings.empty()) << joined(opt.warnings);
    }
    Options twice;
    ASSERT_TRUE(parse({"--size", "64", "--size", "128", kClip, "o.mp4"}, twice).ok());
    EXPECT_EQ(twice.size, 128);
}

// Outputs that are one file, through any spelling or link, or the clip:
// refused on reading the command line, before anything is read or written.
TEST(OptionNames, NoTwoOutputsAreOneFile) {
    const std::string d = testutil::makeTempDir("options_names");
    ASSERT_EQ(::symlink(d.c_str(), (d + "/alias").c_str()), 0);
    ASSERT_EQ(::symlink(kClip.c_str(), (d + "/clip.mp4").c_str()), 0);
    const struct {
        std::vector<std::string> args;
        std::string message;  // empty: accepted
    } cases[] = {
        {{"-y", "--stabilize", "smooth", "--motion-out", d + "/o.mp4", kClip, d + "/o.mp4"},
         "the output " + d + "/o.mp4 and --motion-out " + d + "/o.mp4 are the same file"},
        {{"--level", "--motion-out", d + "/p.png", "--motion-plot", d + "/alias/./p.png", kClip, d + "/o.mp4"},
         "--motion-out " + d + "/p.png and --motion-plot " + d + "/alias/./p.png are the same file"},
        {{"--level", "--motion-plot", d + "/alias/f007.png", kClip, d + "/f%03d.png"},
         "--motion-plot " + d + "/alias/f007.png is one of the pictures"},
        {{kClip, d + "/clip.mp4"}, "the output " + d + "/clip.mp4 is the clip itself"},
        {{"--plan-out", d + "/clip.mp4", kClip}, "is the clip itself"},
        {{"--level", "--motion-plot", d + "/f007b.png", "--motion-out", d + "/f.csv", kClip, d + "/f%03d.png"}, ""},
    };
    for (const auto& c : cases) {
        Options opt;
        const Status st = parse(c.args, opt);
        if (c.message.empty()) {
            EXPECT_TRUE(st.ok()) << st.message();
            continue;
        }
        EXPECT_EQ(st.code(), kExitUsage) << c.message;
        EXPECT_NE(st.message().find(c.message), std::string::npos) << st.message();
    }
}

}  // namespace
