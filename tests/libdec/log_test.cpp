// Log writer: line formats, level filter, rotation, concurrent writers and the
// silent state. Each test builds its own writer below its own HOME.
#define MYLOG_TEST_SEAM
#include "log/MyLog.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libdec.h"
#include "test_clips.h"

namespace {

#ifdef __APPLE__
const char kAppSupport[] = "/Library/Application Support";
#else
const char kAppSupport[] = "/.local/share";
#endif

// A fresh HOME holding the application-support folder (unless told not to).
std::string FreshHome(bool withAppSupport = true) {
    const std::string home = testutil::makeTempDir("log_home");
    if (withAppSupport) testutil::runCommand("mkdir -p '" + home + kAppSupport + "'");
    setenv("HOME", home.c_str(), 1);
    return home;
}

std::string LogDir(const std::string& home) { return home + kAppSupport + "/Vexlor/Trellum"; }

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Splits at CR LF; a trailing piece without line end is returned too.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(text.substr(from, at - from));
    if (from < text.size()) lines.push_back(text.substr(from));
    return lines;
}

const char kStamp[] = R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d))";

// Seconds since the epoch of a local "YYYY-MM-DD hh:mm:ss" match.
time_t StampTime(const std::smatch& m) {
    struct tm t = {};
    t.tm_year = std::stoi(m[1]) - 1900;
    t.tm_mon = std::stoi(m[2]) - 1;
    t.tm_mday = std::stoi(m[3]);
    t.tm_hour = std::stoi(m[4]);
    t.tm_min = std::stoi(m[5]);
    t.tm_sec = std::stoi(m[6]);
    t.tm_isdst = -1;
    return mktime(&t);
}

TEST(Log, SourcePositionLineFormat) {
    const std::string home = FreshHome();
    CMyLog log;
    const time_t before = time(nullptr);
    log.Log(1, "src/core/x.cpp", 42, "value %d and %s", 7, "text");
    log.Log(0, "a.cpp", 1, "failed");
    const time_t after = time(nullptr);

    const std::string text = testutil::readFile(LogDir(home) + "/Plugin.log");
    const std::regex line(std::string("^") + kStamp +
                          " INFO  value 7 and text src/core/x.cpp:42\r\n" + kStamp +
                          " ERROR failed a.cpp:1\r\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const time_t stamp = StampTime(m);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

TEST(Log, TextLineFormatAndPRDLog) {
    const std::string home = FreshHome();
    CMyLog log;
    log.Log(1, "abc");
    log.Log(0, "def\n");
    const std::string text = testutil::readFile(LogDir(home) + "/Plugin.log");
    // No source position and no line end: the second line continues the first.
    EXPECT_TRUE(std::regex_match(
        text, std::regex(std::string("^") + kStamp + " INFO  abc" + kStamp + " ERROR def\n$")))
        << text;
}

TEST(Log, PRDLogThroughTheInstance) {
    const std::string home = FreshHome();  // before the instance is made
    PRDLog(1, "host.cpp", 10, "abc %d", 5);
    PRDLog(1, "host.cpp", 11, "%s", std::string(3000, 'y').c_str());  // cut at 1023 characters
    PRDLog(2, "host.cpp", 12, "dropped");
    const std::string text = testutil::readFile(LogDir(home) + "/Plugin.log");
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string("^") + kStamp + " INFO  abc 5" +
                                                  kStamp + " INFO  y{1023}$")))
        << text.substr(0, 200);
}

TEST(Log, LevelFilter) {
    const std::string home = FreshHome();
    CMyLog log;
    for (int level : {2, 3, 200, 255}) {
        log.Log(static_cast<unsigned char>(level), "f.cpp", 1, "level %d", level);
        log.Log(static_cast<unsigned char>(level), "text");
    }
    EXPECT_EQ(testutil::readFile(LogDir(home) + "/Plugin.log"), "");
    log.Log(1, "f.cpp", 1, "kept");
    EXPECT_NE(testutil::readFile(LogDir(home) + "/Plugin.log").find("kept"), std::string::npos);
}

TEST(Log, SilentWithoutApplicationSupportFolder) {
    const std::string home = FreshHome(false);
    testing::internal::CaptureStdout();
    {
        CMyLog log;
        log.Log(0, "f.cpp", 1, "nothing");
        log.Log(1, "nothing");
        EXPECT_EQ(log.m_FpLog, nullptr);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(std::string("HOME") + kAppSupport + " dir not exist"), std::string::npos) << out;
    EXPECT_TRUE(ListDir(home).empty());  // nothing created

    unsetenv("HOME");
    testing::internal::CaptureStdout();
    {
        CMyLog log;
        log.Log(0, "f.cpp", 1, "nothing");
        EXPECT_EQ(log.m_FpLog, nullptr);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cann't get home dir\n");
}

// Archive names: Plugin_YYYY_MM_DD_hh_mm_ss.log, then _1, _2 ... for further
// rotations within the same second.
const std::regex kArchive(R"(Plugin_(\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d)(_(\d+))?\.log)");

struct Archives {
    std::vector<std::string> names;             // every archive file
    std::map<std::string, std::set<int>> bySecond;  // time stamp -> suffixes (0 = none)
};

Archives FindArchives(const std::string& dir) {
    Archives a;
    for (const std::string& n : ListDir(dir)) {
        if (n == "Plugin.log") continue;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(n, m, kArchive)) << n;
        a.names.push_back(n);
        a.bySecond[m[1]].insert(m[2].matched ? std::stoi(m[3]) : 0);
    }
    return a;
}

TEST(Log, RotationAtThreshold) {
    const std::string home = FreshHome();
    const std::string dir = LogDir(home);
    CMyLog log;
    const int threshold = 1000;
    log.SetMaxFileSizeForTest(threshold);

    // Every line has the same length; the file rotates after the line that
    // brings it to the threshold or more.
    const std::string probe = testutil::readFile(dir + "/Plugin.log");
    log.Log(1, "r.cpp", 1, "line %04d", 0);
    const size_t lineLen = testutil::readFile(dir + "/Plugin.log").size() - probe.size();
    const size_t linesPerFile = (threshold + lineLen - 1) / lineLen;
    const int total = static_cast<int>(linesPerFile * 6 + 2);
    for (int i = 1; i < total; ++i) log.Log(1, "r.cpp", 1, "line %04d", i);

    const Archives a = FindArchives(dir);
    ASSERT_EQ(a.names.size(), 6u);
    // Several rotations fall into one second: numbered, none overwritten.
    for (const auto& s : a.bySecond) {
        int expect = 0;
        for (int suffix : s.second) EXPECT_EQ(suffix, expect++) << s.first;
    }
    std::set<int> seen;
    for (const std::string& n : a.names) {
        const std::string body = testutil::readFile(dir + "/" + n);
        EXPECT_EQ(body.size(), linesPerFile * lineLen) << n;
        EXPECT_GE(body.size(), static_cast<size_t>(threshold));
        EXPECT_LT(body.size(), threshold + lineLen);
        for (const std::string& l : Lines(body)) seen.insert(std::stoi(l.substr(l.find("line ") + 5)));
    }
    const std::vector<std::string> rest = Lines(testutil::readFile(dir + "/Plugin.log"));
    ASSERT_EQ(rest.size(), 2u);
    for (const std::string& l : rest) seen.insert(std::stoi(l.substr(l.find("line ") + 5)));
    EXPECT_EQ(seen.size(), static_cast<size_t>(total));
    EXPECT_EQ(*seen.rbegin(), total - 1);
}

TEST(Log, ConcurrentWritersAcrossRotations) {
    const std::string home = FreshHome();
    const std::string dir = LogDir(home);
    CMyLog log;
    log.SetMaxFileSizeForTest(20000);
    const int threads = 4, perThread = 1500;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&log, t] {
            for (int i = 0; i < perThread; ++i)
                log.Log(1, "w.cpp", 7, "writer %d line %d %s", t, i, "payload-payload-payload");
        });
    for (std::thread& th : pool) th.join();

    const std::regex whole(std::string("^") + kStamp +
                           R"( INFO  writer (\d) line (\d+) payload-payload-payload w\.cpp:7$)");
    std::vector<std::vector<int>> count(threads, std::vector<int>(perThread, 0));
    std::vector<std::string> files = FindArchives(dir).names;
    EXPECT_GE(files.size(), 3u);
    files.push_back("Plugin.log");
    for (const std::string& f : files) {
        const std::string body = testutil::readFile(dir + "/" + f);
        ASSERT_TRUE(body.empty() || body.compare(body.size() - 2, 2, "\r\n") == 0) << f;
        for (const std::string& l : Lines(body)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l, m, whole)) << f << ": " << l;
            ++count[std::stoi(m[7])][std::stoi(m[8])];
        }
    }
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < perThread; ++i) ASSERT_EQ(count[t][i], 1) << "writer " << t << " line " << i;
}

}  // namespace
