#include "common/base/TextUtil.h"

#include <gtest/gtest.h>

TEST(TextUtil, CaseRulesCoverNonAsciiLetters) {
    EXPECT_EQ(km::AnsiUpperCase("straße äöü é"), "STRAßE ÄÖÜ É");
    EXPECT_TRUE(km::SameText("Übung", "üBUNG"));
    EXPECT_FALSE(km::SameTextAscii("Übung", "übung"));
    EXPECT_TRUE(km::SameTextAscii("C:/Dir", "c:/dIR"));
    EXPECT_TRUE(km::ContainsText("Fehler im ÄRGER", "ärger"));
    // Bytes that are not UTF-8 pass through unchanged.
    EXPECT_EQ(km::AnsiUpperCase("a\xff"
                                "b"),
              "A\xff"
              "B");
    // Overlong forms and surrogates are not letters either.
    EXPECT_EQ(km::AnsiUpperCase("\xc0\x80x\xed\xa0\x80"), "\xc0\x80X\xed\xa0\x80");
}

TEST(TextUtil, TrimReplaceJoin) {
    EXPECT_EQ(km::Trim("\r\n\t x y \x01"), "x y");
    EXPECT_EQ(km::ReplaceAll("a.\r\nb", ".\r\n", "; "), "a; b");
    EXPECT_EQ(km::Join("a", "", "-"), "a");
    EXPECT_EQ(km::Join("", "b", "-"), "b");
    EXPECT_EQ(km::Join("a", "b", "-"), "a-b");
}
