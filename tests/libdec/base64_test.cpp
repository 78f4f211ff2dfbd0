// Base64 codec: standard encoding and the lenient decoder.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base64/Base64.h"
#include "mp4read/OffsetString.h"

namespace {

std::string Enc(const std::string& s) {
    std::unique_ptr<char[]> r(base64Encode(s.data(), static_cast<unsigned>(s.size())));
    return r ? std::string(r.get()) : std::string("<null>");
}

// Decoded bytes up to and including the terminator's position (the length is
// not returned, so compare as text).
std::string Dec(const std::string& s) {
    std::unique_ptr<char[]> r(base64Decode(s.c_str()));
    return r ? std::string(r.get()) : std::string("<null>");
}

TEST(Base64, Encode) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\0\0", 3), "AAAA"},
        {"\xff\xfe\xfd", "//79"},
        {"\xfb\xef", "++8="},
    };
    for (const Case& c : cases) EXPECT_EQ(Enc(c.in), c.out) << c.in;
    EXPECT_EQ(base64Encode(nullptr, 3), nullptr);
}

TEST(Base64, Decode) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {"YQ==", "a"},
        {"", ""},
        {"YQ", ""},
        {"YWJ", ""},
        {"YWJjZA", "abc"},            // trailing part ignored
        {"YWJjZA==", "abcd"},
        {"Zm9vYmFy", "foobar"},
        {"//79", "\xff\xfe\xfd"},
        {"++8=", "\xfb\xef"},
        // Invalid characters are zero bits in their own position.
        {"YW Jj", "a`\x09"},          // groups "YW J" and "j": only the first is decoded
        {"Y-Jj", "`\x02" "c"},
        {"YWJ\n", "ab@"},             // "\n" is zero bits, not skipped
        // "=" in the middle yields zero bits and counts toward the bytes dropped.
        {"Y=Jj", "`\x02" "c"},
        // Non-canonical padding keeps a non-zero byte made by leftover bits.
        {"YR==", "a\x10"},
    };
    for (const Case& c : cases) EXPECT_EQ(Dec(c.in), c.out) << c.in;
    EXPECT_EQ(base64Decode(nullptr), nullptr);
}

// The decoder's exact length is observable through the terminator position of
// texts ending in zero bytes; check that at most P zeros are dropped.
TEST(Base64, PaddingDropsAtMostPZeros) {
    struct Case {
        const char* in;
        size_t len;  // bytes kept
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"AAAA", 3, {0, 0, 0}},
        {"AAA=", 2, {0, 0}},
        {"AA==", 1, {0}},
        {"A===", 0, {}},
        {"====", 0, {}},
        {"YQ==AAAA", 4, {'a', 0, 0, 0}},  // "=" early: 2 dropped from the end only
    };
    for (const Case& c : cases) {
        std::unique_ptr<char[]> r(base64Decode(c.in));
        ASSERT_TRUE(r);
        for (size_t i = 0; i < c.bytes.size(); ++i)
            EXPECT_EQ(static_cast<unsigned char>(r[i]), c.bytes[i]) << c.in << " at " << i;
        // Reading the kept bytes and the terminator stays inside the exact
        // allocation only when no more than P zeros were dropped (ASan build).
        EXPECT_EQ(r[c.len], '\0') << c.in;
    }
}

TEST(Base64, DefaultOffsetRoundTrip) {
    const std::string b64 =
        "Ml83MTMuNjQ5XzcxMy45MzNfNzA4LjA1Xy0yLjY1Xy0xLjU5OV8tMC4zNThfNzEyLjQwM18yMTY1LjVfNzI3LjU4M18x"
        "NzcuMzVfLTE4MC41NF8wLjE3Nl8yODgwXzE0NDBfNTE2";
    EXPECT_EQ(Enc(DEFAULT_OFFSET), b64);
    EXPECT_EQ(Dec(b64), DEFAULT_OFFSET);
}

TEST(Base64, RandomRoundTrip) {
    std::mt19937 rng(7);
    for (int n = 0; n < 200; ++n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(1 + rng() % 255);
        const std::string e = Enc(s);
        EXPECT_EQ(e.size(), (s.size() + 2) / 3 * 4);
        EXPECT_EQ(Dec(e), s) << n;
    }
}

TEST(Base64, DecodeTable) {
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(base64DecodeTable[static_cast<unsigned char>(base64Char[i])], i);
    EXPECT_EQ(base64DecodeTable['='], 0);
    int invalid = 0;
    for (int b = 0; b < 256; ++b) invalid += base64DecodeTable[b] == -128;
    EXPECT_EQ(invalid, 256 - 65);
}

}  // namespace
