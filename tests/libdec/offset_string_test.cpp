// Offset string text functions: plain-or-encoded test, trimming, splitting
// and the acceptance rule.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "libdec.h"
#include "mp4read/OffsetString.h"
#include "log_home.h"
#include "test_clips.h"

namespace {

const std::string kDefault = DEFAULT_OFFSET;
const char kDefaultBase64[] =
    "Ml83MTMuNjQ5XzcxMy45MzNfNzA4LjA1Xy0yLjY1Xy0xLjU5OV8tMC4zNThfNzEyLjQwM18yMTY1LjVfNzI3LjU4M18x"
    "NzcuMzVfLTE4MC41NF8wLjE3Nl8yODgwXzE0NDBfNTE2";

// The log goes to a private folder, so that its lines can be checked.
using loghome::g_home;
::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new loghome::HomeEnv("offset_string_home"));

std::string Fields(int n, const char* first = "2") {
    std::string s = first;
    for (int i = 1; i < n; ++i) s += "_" + std::to_string(100 + i) + ".5";
    return s;
}

TEST(OffsetString, DefaultConstant) {
    EXPECT_EQ(kDefault.size(), 102u);
    std::vector<std::string> f;
    std::string text = kDefault;
    split(text, "_", f);
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(f[0], "2");
    EXPECT_EQ(f[2], "713.933");
    EXPECT_EQ(f[8], "2165.5");
    EXPECT_EQ(f[15], "516");
    EXPECT_TRUE(isOffsetValid(DEFAULT_OFFSET));
    EXPECT_TRUE(isOffsetDecoded(DEFAULT_OFFSET));
    EXPECT_EQ(trimOffset(DEFAULT_OFFSET, kDefault.size()), kDefault);
}

TEST(OffsetString, AcceptanceRule) {
    const std::string longFirst = std::to_string(static_cast<long long>(INT_MAX) + 1);
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {kDefault, true},
        {Fields(14), true},                     // 6 * 2 + 2
        {Fields(13), false},
        {Fields(15), true},
        {Fields(40), true},                     // extra fields accepted
        {Fields(8, "1"), true},
        {Fields(7, "1"), false},
        {Fields(16, "0"), false},               // no lens
        {Fields(14, "2.0"), true},              // 2.0 counts two lenses
        {Fields(14, "2.9"), true},              // stoi: 2
        {Fields(19, "3"), false},
        {Fields(20, "3"), true},
        {Fields(14, "02"), true},
        {Fields(20, longFirst.c_str()), false}, // does not fit 32 bits
        {Fields(20, "2147483647"), false},      // fits, but far too few fields
        {Fields(20, "99999999999999999999"), false},
        {"2_1e3_" + Fields(13).substr(2), false},
        {"2_+1_" + Fields(13).substr(2), false},
        {"2_.5_" + Fields(13).substr(2), false},
        {"2_1,5_" + Fields(13).substr(2), false},
        {Fields(13) + "_1e3", false},           // bad last field
        {Fields(10) + "__" + Fields(4).substr(2), false},  // empty field
        {Fields(14) + "_5.", true},             // digits and a point
        {Fields(14) + "\n", true},
        {Fields(14) + "\r\n", true},
        {Fields(14) + "   ", true},
        {Fields(14) + "_", true},
        {Fields(14) + "_.", true},
        {"abc " + Fields(14), true},           // judged from the first digit
        {"-" + Fields(14), true},              // the minus sign is trimmed
        {Fields(7) + " " + Fields(7), false},  // blank inside
        {"", false},
        {"abc", false},
        {"___", false},
        {"-_-", false},
        {"\xff\xfe" + Fields(14), true},
    };
    for (const Case& c : cases) EXPECT_EQ(isOffsetValid(c.text.c_str()), c.valid) << c.text;
    EXPECT_FALSE(isOffsetValid(nullptr));
}

TEST(OffsetString, AcceptanceLogsTrimmedText) {
    ASSERT_TRUE(isOffsetValid(("  " + kDefault + "\r\n").c_str()));
    const std::string log =
        testutil::readFile(g_home + "/.local/share/Vexlor/Trellum/Plugin.log") +
        testutil::readFile(g_home + "/Library/Application Support/Vexlor/Trellum/Plugin.log");
    EXPECT_NE(log.find("INFO  Trimmed offset: " + kDefault + " "), std::string::npos) << log;
}

TEST(OffsetString, PlainOrEncoded) {
    struct Case {
        std::string text;
        bool plain;
    } cases[] = {
        {kDefault, true},
        {kDefaultBase64, false},
        {"", true},
        {"___", true},
        {"__1__2__", true},
        {" 1_ 2", true},           // strtod skips leading blanks
        {"+1_1e5_inf_nan_0x10", true},
        {kDefault + "\n", false},  // the last token is not consumed whole
        {"1_2a", false},
        {"YWJj", false},
        {"1._-.5", true},
        {std::string(300, '1'), true},
        {std::string(254, '1') + "_x", false},
        {std::string(400, '7') + "_" + std::string(400, '8') + "_abc", false},
    };
    for (const Case& c : cases) EXPECT_EQ(isOffsetDecoded(c.text.c_str()), c.plain) << c.text;
    EXPECT_TRUE(isOffsetDecoded(nullptr));  // no tokens, like the empty text
}

TEST(OffsetString, Trim) {
    struct Case {
        std::string text;
        size_t len;
        std::string expected;
    } cases[] = {
        {"abc1abc", 7, "1"},
        {"-2_3.5_", 7, "2_3.5"},
        {"  12_34\r\n", 9, "12_34"},
        {"12_34.", 6, "12_34"},
        {"abc", 3, ""},
        {"", 5, ""},
        {"123", 0, ""},
        {"12345", 3, "123"},       // len marks where the search for the last digit begins
        {"a1b2c", 100, "1b2"},     // len beyond the text: stays within it
        {"ab", 100, ""},
        {"ab1", 2, ""},            // the digit lies beyond len
        {"7", 1, "7"},
        {"\x80\xb2" "5\xff", 4, "5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(trimOffset(c.text.c_str(), c.len), c.expected) << c.text << " len " << c.len;
    EXPECT_EQ(trimOffset(nullptr, 10), "");
}

TEST(OffsetString, Split) {
    struct Case {
        std::string text;
        std::string delimiters;
        std::vector<std::string> fields;
    } cases[] = {
        {"1_2_3", "_", {"1", "2", "3"}},
        {"1__2", "_", {"1", "", "2"}},
        {"1_2_", "_", {"1", "2", ""}},
        {"_1", "_", {"", "1"}},
        {"", "_", {""}},
        {"abc", "_", {"abc"}},
        {"a,b;c", ",;", {"a", "b", "c"}},
    };
    for (Case& c : cases) {
        std::vector<std::string> fields;
        split(c.text, c.delimiters, fields);
        EXPECT_EQ(fields, c.fields) << c.text;
    }
    std::vector<std::string> fields = {"keep"};
    std::string text = "1_2";
    split(text, "_", fields);
    EXPECT_EQ(fields, (std::vector<std::string>{"keep", "1", "2"}));
}

}  // namespace
