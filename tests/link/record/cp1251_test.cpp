// Our Windows-1251 table against the C library's iconv, an implementation
// nobody here wrote.

#include "Cp1251.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <optional>
#include <string>

namespace {

// The conversion by iconv, or nothing when iconv refuses the input.
std::optional<std::string> Iconv(const char* from, const char* to, std::string in)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(in.size() * 4 + 4, '\0');
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    const std::size_t done = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (done == static_cast<std::size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}

TEST(Cp1251, EveryByteDecodesAsIconvDecodesIt)
{
    ASSERT_TRUE(Iconv("CP1251", "UTF-8", "A").has_value()) << "iconv has no CP1251 here";
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string ours = Cp1251ToUtf8(byte);
        const auto theirs = Iconv("CP1251", "UTF-8", byte);
        if (b == 0x98) {
            // Unassigned: iconv refuses it, Windows maps it to U+0098.
            EXPECT_FALSE(theirs.has_value());
            EXPECT_EQ(ours, "\xC2\x98");
        } else {
            ASSERT_TRUE(theirs.has_value()) << std::hex << b;
            EXPECT_EQ(ours, *theirs) << "byte " << std::hex << b;
        }
        EXPECT_EQ(Utf8ToCp1251(ours), byte) << "round trip of byte " << std::hex << b;
    }
}

TEST(Cp1251, EveryCyrillicLetterEncodesAsIconvEncodesIt)
{
    std::string letters = "ЁЂЃЄЅІЇЈЉЊЋЌЎЏёђѓєѕіїјљњћќўџҐґ";
    for (char32_t c = 0x0410; c <= 0x044F; ++c) {  // А to я
        letters += static_cast<char>(0xC0 | (c >> 6));
        letters += static_cast<char>(0x80 | (c & 0x3F));
    }
    const auto theirs = Iconv("UTF-8", "CP1251", letters);
    ASSERT_TRUE(theirs.has_value());
    EXPECT_EQ(Utf8ToCp1251(letters), *theirs);
    EXPECT_EQ(theirs->size(), 64u + 30u);
    EXPECT_EQ(Cp1251ToUtf8(*theirs), letters);
}

TEST(Cp1251, WhatTheCodePageCannotHoldBecomesAQuestionMark)
{
    struct Row {
        const char* utf8;
        const char* cp1251;
    };
    const Row rows[] = {
        {"Ток фазы А", "\xD2\xEE\xEA \xF4\xE0\xE7\xFB \xC0"},
        {"€ №", "\x88 \xB9"},
        {"✓", "?"},                   // three bytes, no place in the code page
        {"a\xF0\x9F\x98\x80z", "a?z"},  // outside the BMP
        {"\xFF\xFE", "??"},            // not UTF-8 at all
        {"\xD0", "?"},                 // cut short at the end
        {"\xC0\xAF", "??"},            // overlong '/'
        {"\xED\xA0\x80", "???"},       // a surrogate on its own
        {"", ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Utf8ToCp1251(row.utf8), row.cp1251) << row.utf8;
}

} // namespace
