// The library's messages for its host: to a sink the host sets, and then
// never on standard output; without one, printed as before.
#define MYLOG_TEST_SEAM
#include "log/MyLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "libdec_internal.h"

namespace {

TEST(Messages, SinkTakesWhatStandardOutputWouldShow) {
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    unsetenv("HOME");
    std::vector<std::pair<int, std::string>> got;
    libdec::SetMessageSink([&got](int level, const std::string& line) { got.emplace_back(level, line); });
    testing::internal::CaptureStdout();
    { CMyLog log; }
    libdec::SetMessageSink(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(got.size(), 1u);
    // The log's own complaint, which a host may leave out.
    EXPECT_EQ(got[0], std::make_pair(static_cast<int>(libdec::kMessageLog), std::string("cann't get home dir")));

    // Without a sink, the line is printed again.
    testing::internal::CaptureStdout();
    { CMyLog log; }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cann't get home dir\n");
    EXPECT_EQ(got.size(), 1u);
    if (home) setenv("HOME", saved.c_str(), 1);
}

}  // namespace
