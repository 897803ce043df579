#include "app/ProbeCommand.h"
#include "platform/SystemNameResolver.h"
#include "servers/HttpCheckServer.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;
using namespace tavro;
using tavro::test::HttpCheckServer;

TEST(ProbeCommand, ExitStatusFollowsTheAddressThatIpModeSelects) {
  HttpCheckServer server;
  ASSERT_TRUE(server.Started()) << server.Error();
  struct Case {
    std::string Trace, Mode;
    int Status;
    std::string Wan;
    std::string Lines = "";  // consecutive lines the output holds
  };
  const std::vector<Case> cases{
      {server.Url("/plain"), "WAN", 0, "WAN: 203.0.113.7\n"},
      {server.Url("/none"), "WAN", 1, "WAN: \n",
       "Err: WANのメールサーバがIPアドレスを返してくれませんでした。\n"
       "Err: 原因: no IPv4 address in the page\n"},
      {server.Url("/unavailable"), "WAN", 1, "WAN: \n",
       "Err: WANのメールサーバに接続ができませんでした。\n"
       "Err: 原因: HTTP/1.1 503 Service Unavailable\nLAN: "},
      // LAN mode needs no WAN answer at all; any other text is WAN mode.
      {server.Url("/none"), "LAN", 0, "WAN: \n"},
      {server.Url("/none"), "lan", 1, "WAN: \n"},
      {"", "LAN", 1, "WAN: \n",
       "Err: メールサーバーが指定されていません。\nErr: 原因: the Trace setting is empty\n"},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.Trace = c.Trace;
    settings.IPMode = c.Mode;
    std::ostringstream out;
    EXPECT_EQ(RunProbe(settings, std::make_shared<SystemNameResolver>(), {5s, 5s, 5s}, out),
              c.Status)
        << c.Trace << " " << c.Mode;
    const std::string text = out.str();
    EXPECT_TRUE(text.ends_with(c.Wan)) << text;
    EXPECT_NE(text.find(c.Lines), std::string::npos) << text;
    // The log texts come first, one a line, server line ends dropped.
    EXPECT_TRUE(
        text.starts_with(c.Trace.empty() ? "Err: " : "Msg: LANのIPアドレスを収得しました。\n"))
        << text;
  }
}
