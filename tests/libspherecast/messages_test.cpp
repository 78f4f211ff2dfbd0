// The renderer's messages for its host: to a sink the host sets, and then
// never on standard output; without one, printed exactly as before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GlDriverPin.h"
#include "Spherecast.h"
#include "spherecast_internal.h"

namespace {

const char kOffset[] = "2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516";

TEST(Messages, SinkTakesTheRenderersLinesAndStandardOutputStaysEmpty) {
    (void)gltest::kDriverPin;  // the software driver stays mapped: its allocations are not reported as ours
    // Without a sink: the calibration echo on standard output.
    testing::internal::CaptureStdout();
    { Spherecast plain(kOffset, 64, 288, 144, Spherecast::Stitch); }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kOffset) + "\n2\n");

    std::vector<std::string> lines;
    spherecast::SetMessageSink([&lines](int, const std::string& line) { lines.push_back(line); });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        Spherecast r(kOffset, 64, 288, 144, Spherecast::Stitch);
        r.initRenderer(0, nullptr);
        r.deInitRenderer();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    spherecast::SetMessageSink(nullptr);
    ASSERT_GE(lines.size(), 3u) << err;
    EXPECT_EQ(lines[0], kOffset);
    EXPECT_EQ(lines[1], "2");
    EXPECT_EQ(lines[2], "init opengl begin");
    for (const std::string& l : lines) EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << l;
}

}  // namespace
