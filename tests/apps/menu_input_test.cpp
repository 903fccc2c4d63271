#include "menu_input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Read {
    MenuToken token;
    uint32_t code;
};

// Every token of `text`, read the way the consoles read their menu codes.
std::vector<Read> readAll(const std::string& text) {
    std::FILE* input = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), input);
    std::rewind(input);
    std::vector<Read> reads;
    for (;;) {
        uint32_t code = 0xDEAD;
        const MenuToken token = menuReadCode(input, code);
        reads.push_back({token, code});
        if (token == MenuToken::end) {
            break;
        }
    }
    std::fclose(input);
    return reads;
}

TEST(MenuInput, NumbersJunkAndEndOfInput) {
    const auto reads = readAll("  1\n99\tabc 4x -3 0007\n");
    ASSERT_EQ(reads.size(), 7U);
    EXPECT_EQ(reads[0].token, MenuToken::number);
    EXPECT_EQ(reads[0].code, 1U);
    EXPECT_EQ(reads[1].code, 99U);
    EXPECT_EQ(reads[2].token, MenuToken::other);
    EXPECT_EQ(reads[3].token, MenuToken::other);
    EXPECT_EQ(reads[4].token, MenuToken::other);
    EXPECT_EQ(reads[5].token, MenuToken::number);
    EXPECT_EQ(reads[5].code, 7U);
    EXPECT_EQ(reads[6].token, MenuToken::end);
}

TEST(MenuInput, NumbersAbove32BitsAreNotCodes) {
    // 2^32 + 1 would wrap to a real code if it were taken modulo 2^32.
    const auto reads = readAll("4294967295 4294967297 " + std::string(5000, '9') + " 3");
    ASSERT_EQ(reads.size(), 5U);
    EXPECT_EQ(reads[0].token, MenuToken::number);
    EXPECT_EQ(reads[0].code, 4294967295U);
    EXPECT_EQ(reads[1].token, MenuToken::other);
    EXPECT_EQ(reads[2].token, MenuToken::other);
    EXPECT_EQ(reads[3].code, 3U);
    EXPECT_EQ(reads[4].token, MenuToken::end);
}

TEST(MenuInput, ControlBytesSeparateTokens) {
    // A terminal put a NUL in front of a typed code.
    const auto reads = readAll(std::string("\0"
                                           "1\n\x1b"
                                           "5\x7f",
                                           6));
    ASSERT_EQ(reads.size(), 3U);
    EXPECT_EQ(reads[0].token, MenuToken::number);
    EXPECT_EQ(reads[0].code, 1U);
    EXPECT_EQ(reads[1].token, MenuToken::number);
    EXPECT_EQ(reads[1].code, 5U);
    EXPECT_EQ(reads[2].token, MenuToken::end);
}

TEST(MenuInput, EmptyOrBlankInputIsTheEnd) {
    EXPECT_EQ(readAll("").front().token, MenuToken::end);
    EXPECT_EQ(readAll(" \n\t ").front().token, MenuToken::end);
}

} // namespace
