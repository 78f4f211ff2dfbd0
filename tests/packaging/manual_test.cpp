// The man page and the bash completion, as the build made them, against the
// command line's option table and --help: the same options, spelt the same,
// with the same values.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Options.h"
#include "test_clips.h"

using namespace stitcher;
using testutil::quote;

namespace {

const std::string kManual = DFS_MANUAL_DIR;

// "-v, --verbose", "--size N": an option as the table spells it.
std::string label(const OptionSpec& o) { return std::string(o.names) + (o.value ? std::string(" ") + o.value : ""); }

std::vector<std::string> tableLabels() {
    std::vector<std::string> labels;
    for (const OptionSpec& o : optionTable()) labels.push_back(label(o));
    return labels;
}

// The option lines of --help: two spaces, a "-", the label up to two spaces.
std::vector<std::string> helpLabels(const std::string& help) {
    std::vector<std::string> labels;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  -", 0) == 0) labels.push_back(line.substr(2, line.find("  ", 2) - 2));
    return labels;
}

// troff as the reader sees it: fonts dropped, escapes undone.
std::string plain(const std::string& roff) {
    std::string out;
    for (size_t i = 0; i < roff.size(); ++i) {
        if (roff[i] != '\\' || i + 1 >= roff.size()) {
            out += roff[i];
            continue;
        }
        const char c = roff[++i];
        if (c == 'f') ++i;  // \fB, \fI, \fR
        else if (c == '-') out += '-';
        else if (c == 'e') out += '\\';
        // \& prints nothing
    }
    return out;
}

// The tags of the OPTIONS section (the line after each .TP).
std::vector<std::string> manLabels(const std::string& page) {
    std::vector<std::string> labels;
    std::istringstream in(page);
    bool options = false, tag = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".SH", 0) == 0) options = line == ".SH OPTIONS";
        else if (options && line == ".TP") tag = true;
        else if (tag) {
            labels.push_back(plain(line));
            tag = false;
        }
    }
    return labels;
}

TEST(Manual, ManPageAndHelpListTheOptionTable) {
    const testutil::StitcherRun help = testutil::runStitcher("--help");
    ASSERT_EQ(help.code, 0) << help.err;
    const std::string page = testutil::readFile(kManual + "/stitcher.1");
    ASSERT_FALSE(page.empty());
    const std::vector<std::string> table = tableLabels();
    EXPECT_EQ(helpLabels(help.out), table);
    EXPECT_EQ(manLabels(page), table);
    // The synopsis is --help's, line for line.
    std::istringstream usage(help.out);
    std::string line;
    while (std::getline(usage, line) && !line.empty()) {
        const std::string form = line.substr(line.find("stitcher") + 8);
        EXPECT_NE(plain(page).find("stitcher\n" + form.substr(form.find_first_not_of(' ')) + "\n"), std::string::npos)
            << "synopsis line missing: " << line;
    }
}

// What the completion offers for a command line that ends in `words` (the
// last one being completed), in a folder holding "clip.mp4" and "plan.json".
std::vector<std::string> complete(const std::string& words) {
    static const std::string dir = [] {
        const std::string d = testutil::makeTempDir("completion");
        testutil::writeFile(d + "/clip.mp4", "");
        testutil::writeFile(d + "/plan.json", "");
        return d;
    }();
    const std::string script = "source " + quote(kManual + "/completions/stitcher") +
                               " && COMP_WORDS=(stitcher " + words + ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && "
                               "$(complete -p stitcher | sed -n 's/.*-F \\([^ ]*\\).*/\\1/p') && "
                               "printf '%s\\n' \"${COMPREPLY[@]}\"";
    int code = -1;
    const std::string out = testutil::captureCommand("cd " + quote(dir) + " && bash -c " + quote(script), &code);
    EXPECT_EQ(code, 0) << words;
    std::vector<std::string> replies;
    std::istringstream in(out);
    for (std::string r; std::getline(in, r);)
        if (!r.empty()) replies.push_back(r);
    return replies;
}

TEST(Manual, CompletionOffersTheTablesOptionsAndValues) {
    std::vector<std::string> spellings;
    for (const OptionSpec& o : optionTable()) {
        std::istringstream names(o.names);
        for (std::string n; std::getline(names >> std::ws, n, ',');) spellings.push_back(n);
        if (o.kind != ValueKind::Word) continue;
        const std::vector<std::string> words(o.words.begin(), o.words.end());
        const std::string name = o.names;
        EXPECT_EQ(complete(name + " ''"), words) << name;
        EXPECT_EQ(complete(name + " = ''"), words) << name << "=";  // --opt=<tab>: bash splits at "="
    }
    EXPECT_EQ(complete("-"), spellings);
    // Names after a file option and for the clip; nothing after a number.
    EXPECT_EQ(complete("--plan p"), std::vector<std::string>{"plan.json"});
    EXPECT_EQ(complete("--size 64 c"), std::vector<std::string>{"clip.mp4"});
    EXPECT_TRUE(complete("--size ''").empty());
}

}  // namespace
