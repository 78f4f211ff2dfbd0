// The README's option table and the command line's own table name the same
// options.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Options.h"

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

}  // namespace
