#include "platform/CodePage932.h"

#include <gtest/gtest.h>

using namespace tavro;

TEST(CodePage932, TextsRoundTripToTheirExactBytes) {
  // The vendor rows (NEC specials, IBM extensions) are exactly what plain
  // Shift_JIS tables lack; "\\", "~", "～" and "￠" are the forms that the
  // look-alikes refused below come back as.
  const std::pair<std::string, std::string> cases[] = {
      {"Tavroをご使用になられた場合に作成されます。", std::string("Tavro\x82\xf0", 7)},
      {"①Ⅰ㈱≒髙﨑ⅰ", "\x87\x40"},
      {"ｱｲｳ abc\\~～￠", "\xb1\xb2\xb3 abc\\~\x81\x60\x81\x91"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"", ""},
  };
  for (const auto& [text, prefix] : cases) {
    const auto bytes = cp932::FromUtf8(text);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(bytes->substr(0, prefix.size()), prefix);
    EXPECT_EQ(cp932::ToUtf8(*bytes), text);
    EXPECT_FALSE(cp932::FirstUnrepresentable(text));
  }
}

TEST(CodePage932, RefusesWhatWouldNotComeBackTheSame) {
  // text, the character named (empty: not UTF-8 at all)
  const std::pair<std::string, std::string> cases[] =
      {
          {"emoji 😀", "😀"}, {"한국어", "한"},     {"pass¥word", "¥"}, {"a‾", "‾"},
          {"〜", "〜"},     {"x‖−¢£¬—", "‖"},     {"¢", "¢"},         {"£", "£"},
          {"¬", "¬"},       {"—", "—"},           {"−", "−"},         {"\xff\xfe", ""},
          {"\xc0\xaf", ""}, {"\xed\xa0\x80", ""},  // overlong '/', surrogate
      };
  for (const auto& [text, character] : cases) {
    EXPECT_FALSE(cp932::FromUtf8(text)) << text;
    EXPECT_EQ(cp932::FirstUnrepresentable(text).value_or(""), character) << text;
  }
  EXPECT_FALSE(cp932::ToUtf8("\x82"));                      // lead byte alone
  EXPECT_FALSE(cp932::ToUtf8(std::string("\x81\x20", 2)));  // bad trail byte
}

TEST(CodePage932, Utf8Validation) {
  EXPECT_TRUE(cp932::IsValidUtf8("ascii ①"));
  EXPECT_FALSE(cp932::IsValidUtf8("\xe3\x81"));          // truncated
  EXPECT_FALSE(cp932::IsValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(cp932::IsValidUtf8("\x83\x65"));          // CP932 bytes of テ
}
