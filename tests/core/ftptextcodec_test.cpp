#include "platform/FtpTextCodec.h"
#include "platform/FtpSession.h"

#include "platform/CodePage932.h"

#include <gtest/gtest.h>

#include <random>

using tavro::FtpSession;
using tavro::FtpTextCodec;
using tavro::FtpTextEncoding;

namespace {
const std::string Cp932Test("\x83\x65\x83\x58\x83\x67.html");  // テスト.html
}

TEST(FtpTextCodec, ConvertsInTheSessionsEncoding) {
  const FtpTextCodec cp932(FtpTextEncoding::Cp932);
  const FtpTextCodec utf8(FtpTextEncoding::Utf8);
  EXPECT_EQ(cp932.ToText(Cp932Test), "テスト.html");
  EXPECT_EQ(cp932.ToWire("テスト.html"), Cp932Test);
  EXPECT_EQ(utf8.ToText("テスト.html"), "テスト.html");
  EXPECT_EQ(utf8.ToWire("テスト.html"), "テスト.html");
  // Typed text that code page 932 cannot carry is refused, never replaced.
  EXPECT_EQ(cp932.ToWire("\xF0\x9F\x98\x80"), std::nullopt);
  EXPECT_EQ(utf8.ToWire("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8.ToWire("\xFF not utf-8"), std::nullopt);
}

TEST(FtpTextCodec, NamesTheEncodingCannotCarryStillGoBackUnchanged) {
  const FtpTextCodec utf8(FtpTextEncoding::Utf8);
  // A server that announces UTF8 but keeps code page 932 names.
  const std::string text = utf8.ToText(Cp932Test);
  EXPECT_TRUE(tavro::cp932::IsValidUtf8(text));
  EXPECT_EQ(utf8.ToWire(text), Cp932Test);
  EXPECT_EQ(utf8.ToWire("/pub/" + text), "/pub/" + Cp932Test);

  const FtpTextCodec cp932(FtpTextEncoding::Cp932);
  // Unmapped pair, a lone lead byte at the end, and the second byte form of
  // U+FFE2 (NEC-selected IBM extension), which maps back to 0x81CA.
  for (const std::string& bytes :
       std::vector<std::string>{"\x85\x40x", "abc\x83", "\xEE\xF9", "\xEF\x9C\x80"}) {
    const std::string shown = cp932.ToText(bytes);
    EXPECT_TRUE(tavro::cp932::IsValidUtf8(shown));
    EXPECT_EQ(cp932.ToWire(shown), bytes);
  }
}

TEST(FtpTextCodec, EveryByteStringRoundTripsInBothEncodings) {
  std::mt19937 random(932);
  for (const auto encoding : {FtpTextEncoding::Cp932, FtpTextEncoding::Utf8}) {
    const FtpTextCodec codec(encoding);
    for (int sample = 0; sample < 3000; ++sample) {
      std::string bytes(random() % 24, '\0');
      for (char& c : bytes) {
        // Biased towards the interesting ranges: ASCII, lead and trail bytes.
        const unsigned pick = random() % 4;
        c = static_cast<char>(pick == 0 ? 0x20 + random() % 0x5F : 0x80 + random() % 0x80);
      }
      const std::string text = codec.ToText(bytes);
      ASSERT_TRUE(tavro::cp932::IsValidUtf8(text));
      ASSERT_EQ(codec.ToWire(text), bytes);
    }
  }
}

TEST(FtpSession, ParsesTheServerText) {
  const auto plain = FtpSession::ParseServer("ftp.example.jp");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->Host, "ftp.example.jp");
  EXPECT_EQ(plain->Port, 21);
  const auto withPort = FtpSession::ParseServer("127.0.0.1:2121");
  ASSERT_TRUE(withPort);
  EXPECT_EQ(withPort->Host, "127.0.0.1");
  EXPECT_EQ(withPort->Port, 2121);
  const auto v6 = FtpSession::ParseServer("[::1]:990");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->Host, "::1");
  EXPECT_EQ(v6->Port, 990);
  EXPECT_EQ(FtpSession::ParseServer("::1")->Port, 21);
  for (const char* bad :
       {"", ":21", "host:", "host:0", "host:65536", "host:2x", "[::1", "[::1]x"}) {
    EXPECT_FALSE(FtpSession::ParseServer(bad)) << bad;
  }
}
