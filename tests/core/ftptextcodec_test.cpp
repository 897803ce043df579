// Any byte string surviving ToText and ToWire is the fuzz target's job; these
// are the conversions themselves and the texts that must stay usable.
#include "ftp/FtpTextCodec.h"
#include "ftp/FtpSession.h"

#include "platform/CodePage932.h"

#include <gtest/gtest.h>

using tavro::FtpSession;
using tavro::FtpTextCodec;
using tavro::FtpTextEncoding;

TEST(FtpTextCodec, ConvertsInTheSessionsEncodingAndKeepsWhatItCannotCarry) {
  const std::string cp932Test("\x83\x65\x83\x58\x83\x67.html");  // テスト.html
  const FtpTextCodec cp932(FtpTextEncoding::Cp932);
  const FtpTextCodec utf8(FtpTextEncoding::Utf8);
  EXPECT_EQ(cp932.ToText(cp932Test), "テスト.html");
  EXPECT_EQ(cp932.ToWire("テスト.html"), cp932Test);
  EXPECT_EQ(utf8.ToText("テスト.html"), "テスト.html");
  EXPECT_EQ(utf8.ToWire("テスト.html"), "テスト.html");
  // Typed text that the encoding cannot carry is refused, never replaced.
  EXPECT_EQ(cp932.ToWire("\xF0\x9F\x98\x80"), std::nullopt);
  EXPECT_EQ(utf8.ToWire("\xFF not utf-8"), std::nullopt);
  // So is a look-alike whose bytes list back as another character: a name
  // sent with "〜" (U+301C) would come back as "～".
  EXPECT_EQ(cp932.ToWire("/pub/〜.html"), std::nullopt);
  EXPECT_EQ(cp932.ToText(cp932.ToWire("/pub/～.html").value_or("")), "/pub/～.html");
  // Server names the encoding cannot carry become valid text that, joined
  // into a path, goes back as the same bytes: code page 932 names on a server
  // that announces UTF8, an unmapped pair, a lone lead byte at the end, and
  // the second byte form of U+FFE2, which maps back to 0x81CA.
  for (const auto& [codec, bytes] :
       {std::pair{utf8, cp932Test}, std::pair{cp932, std::string("\x85\x40x")},
        std::pair{cp932, std::string("abc\x83")}, std::pair{cp932, std::string("\xEE\xF9")},
        std::pair{cp932, std::string("\xEF\x9C\x80")}}) {
    const std::string text = codec.ToText(bytes);
    EXPECT_TRUE(tavro::cp932::IsValidUtf8(text)) << bytes;
    EXPECT_EQ(codec.ToWire("/pub/" + text), "/pub/" + bytes);
  }
}

TEST(FtpSession, ParsesTheServerText) {
  const std::pair<const char*, const char*> good[] = {{"ftp.example.jp", "ftp.example.jp 21"},
                                                      {"127.0.0.1:2121", "127.0.0.1 2121"},
                                                      {"[::1]:990", "::1 990"},
                                                      {"::1", "::1 21"}};
  for (const auto& [server, parsed] : good) {
    const auto address = FtpSession::ParseServer(server);
    ASSERT_TRUE(address) << server;
    EXPECT_EQ(address->Host + " " + std::to_string(address->Port), parsed);
  }
  for (const char* bad :
       {"", ":21", "host:", "host:0", "host:65536", "host:2x", "[::1", "[::1]x"}) {
    EXPECT_FALSE(FtpSession::ParseServer(bad)) << bad;
  }
}
