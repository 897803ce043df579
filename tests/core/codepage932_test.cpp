#include "platform/CodePage932.h"

#include <gtest/gtest.h>

using namespace tavro;

TEST(CodePage932, DescriptionIs43Bytes) {
  const auto bytes = cp932::FromUtf8("Tavroをご使用になられた場合に作成されます。");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 43u);
  EXPECT_EQ(bytes->substr(0, 7), std::string("Tavro\x82\xf0", 7));
  EXPECT_EQ(cp932::ToUtf8(*bytes), "Tavroをご使用になられた場合に作成されます。");
}

TEST(CodePage932, VendorRowsRoundTrip) {
  // Row 13 (NEC specials) and the IBM extensions are exactly what plain
  // Shift_JIS tables lack.
  const std::string text = "①Ⅰ㈱≒髙﨑ⅰ";
  const auto bytes = cp932::FromUtf8(text);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 2), "\x87\x40");
  EXPECT_EQ(cp932::ToUtf8(*bytes), text);
  EXPECT_EQ(cp932::ToUtf8("\x87\x40"), "①");
}

TEST(CodePage932, HalfWidthKatakanaAndAscii) {
  const auto bytes = cp932::FromUtf8("ｱｲｳ abc\\~");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, "\xb1\xb2\xb3 abc\\~");
  EXPECT_EQ(cp932::ToUtf8(*bytes), "ｱｲｳ abc\\~");
}

TEST(CodePage932, RefusesWhatItCannotHold) {
  EXPECT_FALSE(cp932::FromUtf8("emoji 😀"));
  EXPECT_FALSE(cp932::FromUtf8("한국어"));
  EXPECT_FALSE(cp932::FromUtf8("\xff\xfe"));                // not UTF-8
  EXPECT_FALSE(cp932::FromUtf8("\xc0\xaf"));                // overlong '/'
  EXPECT_FALSE(cp932::FromUtf8("\xed\xa0\x80"));            // surrogate
  EXPECT_FALSE(cp932::ToUtf8("\x82"));                      // lead byte alone
  EXPECT_FALSE(cp932::ToUtf8(std::string("\x81\x20", 2)));  // bad trail byte
  EXPECT_TRUE(cp932::FromUtf8(""));
  EXPECT_EQ(*cp932::FromUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CodePage932, Utf8Validation) {
  EXPECT_TRUE(cp932::IsValidUtf8("ascii ①"));
  EXPECT_FALSE(cp932::IsValidUtf8("\xe3\x81"));          // truncated
  EXPECT_FALSE(cp932::IsValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(cp932::IsValidUtf8("\x83\x65"));          // CP932 bytes of テ
}
