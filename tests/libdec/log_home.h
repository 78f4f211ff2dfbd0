// A private HOME for one test program, so that the lines the library logs
// there can be read back and checked.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "test_clips.h"

namespace loghome {

// The program's HOME once the environment below has set up.
inline std::string g_home;

// Makes a fresh folder (name starting with `prefix`) holding both places a
// log folder may go, and makes it HOME. Register one per program:
//   ::testing::AddGlobalTestEnvironment(new loghome::HomeEnv("x_home"));
struct HomeEnv : ::testing::Environment {
    explicit HomeEnv(std::string prefix) : prefix(std::move(prefix)) {}
    void SetUp() override {
        g_home = testutil::makeTempDir(prefix);
        testutil::runCommand("mkdir -p '" + g_home + "/.local/share' '" + g_home +
                             "/Library/Application Support'");
        setenv("HOME", g_home.c_str(), 1);
    }
    std::string prefix;
};

// The whole log file under the private HOME.
inline std::string LogText() {
    std::string a = testutil::readFile(g_home + "/.local/share/Vexlor/Trellum/Plugin.log");
    if (a.empty()) a = testutil::readFile(g_home + "/Library/Application Support/Vexlor/Trellum/Plugin.log");
    return a;
}

// Log lines written since construction.
struct LogMark {
    size_t at = LogText().size();
    std::string Since() const {
        std::string all = LogText();
        return all.size() > at ? all.substr(at) : std::string();
    }
};

}  // namespace loghome
