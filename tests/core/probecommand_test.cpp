#include "app/ProbeCommand.h"
#include "platform/SystemNameResolver.h"
#include "registry/RegistryStore.h"
#include "servers/HttpCheckServer.h"
#include "servers/ScriptedSmtpPeer.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace std::chrono_literals;
using namespace tavro;
using tavro::test::HttpCheckServer;

namespace {
// The tests' machine may have any IPv6 address; these runs have none.
const Ipv6Reader NoIpv6 = [] { return Ipv6Reading{}; };
}  // namespace

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
    EXPECT_EQ(RunProbe(settings, std::make_shared<SystemNameResolver>(), {5s, 5s, 5s}, out, NoIpv6),
              c.Status)
        << c.Trace << " " << c.Mode;
    const std::string text = out.str();
    EXPECT_TRUE(text.ends_with(c.Wan + "IPv6: \n")) << text;
    EXPECT_NE(text.find(c.Lines), std::string::npos) << text;
    // The log texts come first, one a line, server line ends dropped.
    EXPECT_TRUE(
        text.starts_with(c.Trace.empty() ? "Err: " : "Msg: LANのIPアドレスを収得しました。\n"))
        << text;
  }
}

// With several sources the output shows each answer and the decision, and
// the status says whether they agreed.
TEST(ProbeCommand, SeveralSourcesPrintEachAnswerAndSucceedOnlyWhereTheyAgree) {
  HttpCheckServer check;
  ASSERT_TRUE(check.Started()) << check.Error();
  tavro::test::SmtpScript script;
  script.Answer = "250 mx.test Hello [203.0.113.7]\r\n";
  tavro::test::ScriptedSmtpPeer mail(script);
  const std::string mx = "127.0.0.1:" + std::to_string(mail.Port());
  const auto run = [&](const std::string& trace, std::string& text) {
    Settings settings;
    settings.Trace = trace;
    std::ostringstream out;
    const int status =
        RunProbe(settings, std::make_shared<SystemNameResolver>(), {5s, 5s, 5s}, out, NoIpv6);
    text = out.str();
    return status;
  };
  std::string text;
  EXPECT_EQ(run(mx + " " + check.Url("/plain"), text), 0);
  EXPECT_NE(text.find("Msg: WANの情報源 " + mx + ": 203.0.113.7\nMsg: WANの情報源 " +
                      check.Url("/plain") + ": 203.0.113.7\nMsg: WANの情報源 2 個が"),
            std::string::npos)
      << text;
  EXPECT_TRUE(
      text.ends_with("WAN: 203.0.113.7\n"
                     "IPv6: \n"))
      << text;

  script.Answer = "250 mx.test Hello [198.51.100.4]\r\n";
  mail.SetScript(script);
  EXPECT_EQ(run(check.Url("/plain") + " " + mx, text), 1);
  EXPECT_NE(text.find("Err: WANの情報源の答えが揃わないため、公開しません: " + check.Url("/plain") +
                      " = 203.0.113.7; " + mx +
                      " = 198.51.100.4\n"
                      "Err: 原因: the sources that answered disagree\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(
      text.ends_with("WAN: \n"
                     "IPv6: \n"))
      << text;

  // Agreeing on a shared address: found, and said what it means.
  script.Answer = "250 mx.test Hello [100.64.0.5]\r\n";
  mail.SetScript(script);
  EXPECT_EQ(run(mx + " " + mx, text), 0);
  EXPECT_NE(text.find("Msg: 注意: WANのIPアドレス 100.64.0.5 "), std::string::npos) << text;
  EXPECT_TRUE(
      text.ends_with("WAN: 100.64.0.5\n"
                     "IPv6: \n"))
      << text;
}

// The IPv6 address is the machine's own: printed after the others whatever
// the mode and the mail server say, and never the reason for the status.
TEST(ProbeCommand, PrintsTheStableIpv6AddressAndAFailedReadingsCause) {
  Settings settings;
  settings.IPMode = "LAN";
  settings.Trace = "unused.invalid";
  Ipv6InterfaceAddress stable;
  stable.Bytes = {0x24, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  stable.InterfaceIndex = 2;
  Ipv6InterfaceAddress temporary = stable;
  temporary.Bytes[15] = 0x01;  // lower, so it would win were it not skipped
  temporary.Flags = ipv6flag::kTemporary;
  const std::pair<Ipv6Reading, std::string> cases[] = {
      {{{temporary, stable}, ""}, "WAN: \nIPv6: 2400:1::10\n"},
      {{{temporary}, ""}, "WAN: \nIPv6: \n"},
      {{{}, "the kernel's answer was cut short"},
       "Err: IPv6アドレスを読み取れませんでした。\nErr: 原因: the kernel's answer was cut short\n"},
  };
  for (const auto& [reading, expected] : cases) {
    std::ostringstream out;
    EXPECT_EQ(RunProbe(settings, std::make_shared<SystemNameResolver>(), {5s, 5s, 5s}, out,
                       [&] { return reading; }),
              0);
    EXPECT_NE(out.str().find(expected), std::string::npos) << out.str();
    EXPECT_TRUE(out.str().ends_with("\nIPv6: " + StableIpv6Text(reading) + "\n")) << out.str();
  }
}

// A probe changes nothing, so it writes nothing: not over a file that lacks
// the description value a load would add (nor its modification time), not
// over a damaged one, and no file or folder where there was none.
TEST(ProbeCommand, LeavesTheSettingsFileUntouched) {
  tavro::test::TempDir dir{"tavro-probe"};
  const auto folder = dir / "Quillbet";
  const auto file = folder / "Tavro.reg";
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n";
  // An empty Trace makes the probe end at once.
  const std::vector<std::string> texts{
      "",
      head + "\"Trace\"=\"\"\r\n\"IPMode\"=\"LAN\"\r\n\r\n",
      head + "\"Trace\"=\"\"\r\n\"Server\"=dword:00000001\r\njunk\r\n",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    std::filesystem::remove_all(folder);
    if (!text.empty()) {
      std::filesystem::create_directories(folder);
      std::ofstream(file, std::ios::binary) << text;
      const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
    }
    const auto store = MakeFileRegistryStore(file);
    std::ostringstream out, err;
    RunProbeCommand(*store, out, err);
    if (text.empty()) {
      EXPECT_FALSE(std::filesystem::exists(folder));
      continue;
    }
    EXPECT_EQ(tavro::test::ReadFileBytes(file), text);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
  }
}
