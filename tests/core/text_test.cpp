#include <gtest/gtest.h>

#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::text {
namespace {

TEST(StrictIntegerTest, AcceptsTheStandardForms) {
    EXPECT_EQ(StrictInteger("21"), 21);
    EXPECT_EQ(StrictInteger("   21"), 21);
    EXPECT_EQ(StrictInteger("+21"), 21);
    EXPECT_EQ(StrictInteger("-21"), -21);
    EXPECT_EQ(StrictInteger("$15"), 21);
    EXPECT_EQ(StrictInteger("x15"), 21);
    EXPECT_EQ(StrictInteger("X15"), 21);
    EXPECT_EQ(StrictInteger("0x15"), 21);
    EXPECT_EQ(StrictInteger("0X1f"), 31);
    EXPECT_EQ(StrictInteger("65557"), 65557);
    EXPECT_EQ(StrictInteger("2147483647"), 2147483647);
    EXPECT_EQ(StrictInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(StrictInteger("$FFFFFFFF"), -1);  // hexadecimal uses all 32 bits
    EXPECT_EQ(StrictInteger("007"), 7);
}

TEST(StrictIntegerTest, RejectsEverythingElseWithTheStandardMessage) {
    for (const char* bad : {"", " ", "21 ", "21a", "abc", "\t21", "- 1", "-$1", "$", "0x", "x", "++1",
                            "2147483648", "-2147483649", "$100000000", "1.5"}) {
        EXPECT_FALSE(TryStrictInteger(bad).has_value()) << bad;
    }
    try {
        StrictInteger("21 ");
        FAIL() << "no error";
    } catch (const EConvertError& error) {
        EXPECT_EQ(error.Message(), "'21 ' is not a valid integer value");
        EXPECT_STREQ(error.ClassName(), "EConvertError");
    }
}

TEST(LenientIntegerTest, KeepsTheValueReadSoFar) {
    EXPECT_EQ(LenientInteger("1abc"), 1);
    EXPECT_EQ(LenientInteger("abc"), 0);
    EXPECT_EQ(LenientInteger(""), 0);
    EXPECT_EQ(LenientInteger("  -12x"), -12);
    EXPECT_EQ(LenientInteger("$1G"), 1);
    EXPECT_EQ(LenientInteger("2"), 2);
}

TEST(TrimTest, GeneralTrimRemovesControlBytesButSpaceTrimOnlySpaces) {
    EXPECT_EQ(Trim("\t host \r\n"), "host");
    EXPECT_EQ(Trim(std::string("\0a\x1f", 3)), "a");
    EXPECT_EQ(TrimSpaces("\t host \t"), "\t host \t");
    EXPECT_EQ(TrimSpaces("  host  "), "host");
    EXPECT_EQ(UpperAscii("settings\xe9"), "SETTINGS\xe9");
}

}  // namespace
}  // namespace signposter::text
