#include "platform/CauseLine.h"

#include <gtest/gtest.h>

#include <string>

namespace tavro {
namespace {

TEST(CauseLine, ServerTextBecomesOneBoundedLineOfPlainText) {
  EXPECT_EQ(CauseLine("530 Login incorrect.\r\n"), "Err: 原因: 530 Login incorrect.");
  // Only the first line; tabs and escapes become blanks.
  EXPECT_EQ(BoundedCause("550 no\tsuch\x1b[31m file\r\n550 second line"),
            "550 no such [31m file");
  // Code page 932 bytes are decoded; bytes that are neither form become "?".
  EXPECT_EQ(BoundedCause("550 \x83\x65\x83\x58\x83\x67"), "550 テスト");
  EXPECT_EQ(BoundedCause("550 \xff\xfe ok"), "550 ?? ok");
  // 200 bytes at most, never half a character.
  const std::string kana(100, 'a');
  std::string longText = kana;
  for (int i = 0; i < 100; ++i) {
    longText += "あ";
  }
  const std::string bounded = BoundedCause(longText);
  EXPECT_LE(bounded.size(), MaxCauseBytes);
  EXPECT_EQ(bounded.size(), 100u + 33u * 3u);
  EXPECT_EQ(bounded.substr(bounded.size() - 3), "あ");
}

TEST(CauseLine, TimeOutsInWholeSeconds) {
  EXPECT_EQ(TimedOutCause(30'000), "timed out after 30 s");
  EXPECT_EQ(TimedOutCause(300), "timed out after 1 s");
}

}  // namespace
}  // namespace tavro
