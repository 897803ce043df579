#include "probe/WanSources.h"
#include "platform/AddressScope.h"
#include "servers/HttpCheckServer.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/StunPeers.h"
#include "support/ProbeNotices.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;

namespace {

SourceAnswer Gave(std::string address) {
  return {"src", std::move(address), ""};
}
SourceAnswer Silent() {
  return {"src", std::nullopt, "timed out after 10 s"};
}

// A probe of these sources, each step within `step`, a STUN exchange within
// `stun`.
std::vector<Notice> ProbeSources(const std::string& trace, std::chrono::milliseconds stun = 2s) {
  std::vector<Notice> notices;
  AddressProbe probe(std::make_shared<SystemNameResolver>(),
                     [&](std::uint32_t code, const std::string* payload) {
                       notices.push_back({code, payload ? std::optional(*payload) : std::nullopt});
                     });
  ProbeSettings settings{trace, "WAN", {ProbeStepTimeout, ProbeStepTimeout, ProbeStepTimeout}};
  settings.Timeouts.Stun = stun;
  probe.ProbeAddresses(settings);
  return Wan(notices);
}

SmtpScript Echoing(const std::string& address) {
  SmtpScript script;
  script.Answer = "250 mx.test Hello [" + address + "]\r\n";
  return script;
}

ScriptedStunPeer::Script Mapping(std::uint32_t address) {
  return [address](const std::string& request) {
    return std::vector{StunSuccessFor(request, StunIpv4Address(true, address, 5000))};
  };
}

}  // namespace

TEST(WanSources, SettingSplitsIntoSourcesAndStunSourcesParse) {
  EXPECT_EQ(SplitWanSources("  a  b\tc:25 \t"), (std::vector<std::string>{"a", "b", "c:25"}));
  EXPECT_EQ(SplitWanSources(std::string("a b\0c d", 7)), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(SplitWanSources(" \t ").empty());

  struct Case {
    std::string Text;
    std::optional<std::string> Host;
    std::uint16_t Port = 3478;
  };
  const std::vector<Case> cases{
      {"stun:stun.example.net", "stun.example.net"},
      {"STUN:127.0.0.1:19302", "127.0.0.1", 19302},
      {"stun:h:65535", "h", 65535},
      {"stun:", std::nullopt},
      {"stun::3478", std::nullopt},
      {"stun:h:", std::nullopt},
      {"stun:h:0", std::nullopt},
      {"stun:h:65536", std::nullopt},
      {"stun:h:12x", std::nullopt},
      {"stun:h:1:2", std::nullopt},
      {"stun://h", std::nullopt},
      {"stunh", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseStunSource(c.Text);
    ASSERT_EQ(parsed.has_value(), c.Host.has_value()) << c.Text;
    if (parsed) {
      EXPECT_EQ(parsed->Host, *c.Host) << c.Text;
      EXPECT_EQ(parsed->Port, c.Port) << c.Text;
    }
  }
}

TEST(WanSources, AnAddressCountsOnlyWhereTwoAgreeAndNoneDisagrees) {
  struct Case {
    std::vector<SourceAnswer> Answers;
    std::optional<std::string> Address;
    std::string Cause = "";
  };
  const std::vector<Case> cases{
      {{Gave("203.0.113.7"), Gave("203.0.113.7")}, "203.0.113.7"},
      {{Gave("203.0.113.7"), Silent(), Gave("203.0.113.7")}, "203.0.113.7"},
      // Spelled apart, still one address; the page gets it bare.
      {{Gave("IPv6:2001:DB8::1"), Gave("2001:db8:0::1")}, "2001:db8::1"},
      {{Gave("203.0.113.7"), Gave("203.0.113.7"), Gave("203.0.113.8")},
       std::nullopt,
       "the sources that answered disagree"},
      {{Gave("::ffff:203.0.113.7"), Gave("203.0.113.7")},
       std::nullopt,
       "the sources that answered disagree"},
      {{Gave("203.0.113.7"), Gave("203.0.113.7"), Gave("proxy.example")},
       std::nullopt,
       "a source answered with something that is no address"},
      {{Gave("203.0.113.7"), Gave("")},
       std::nullopt,
       "a source answered with something that is no address"},
      {{Gave("203.0.113.7"), Silent(), Silent()},
       std::nullopt,
       "only 1 of 3 sources gave an address; at least 2 must agree"},
      {{Silent(), Silent()},
       std::nullopt,
       "only 0 of 2 sources gave an address; at least 2 must agree"},
  };
  for (const Case& c : cases) {
    const WanDecision decision = DecideWanAddress(c.Answers);
    EXPECT_EQ(decision.Counts, c.Address.has_value()) << decision.Cause;
    EXPECT_EQ(decision.Address, c.Address.value_or(""));
    EXPECT_EQ(decision.Cause, c.Cause);
  }
}

TEST(WanSources, AgreeingSourcesOfEveryKindGiveTheAddress) {
  HttpCheckServer check;  // /plain says 203.0.113.7
  ASSERT_TRUE(check.Started()) << check.Error();
  ScriptedSmtpPeer mail(Echoing("203.0.113.7"));
  ScriptedStunPeer stun(Mapping(0xCB007107));
  const std::string mx = "localhost:" + std::to_string(mail.Port());
  const std::string st = "stun:127.0.0.1:" + std::to_string(stun.Port());
  const std::string web = check.Url("/plain");

  EXPECT_EQ(
      ProbeSources(mx + " " + st + "\t" + web),
      (std::vector<Notice>{Text("Msg: WANの情報源 " + mx + ": 203.0.113.7"),
                           Text("Msg: WANの情報源 " + st + ": 203.0.113.7"),
                           Text("Msg: WANの情報源 " + web + ": 203.0.113.7"),
                           Text("Msg: WANの情報源 3 個が同じアドレス 203.0.113.7 を返しました。"),
                           Text("Msg: WANのIPアドレスを収得しました。"),
                           {TE_WAN_ADDRESS, "203.0.113.7"}}));

  // A silent source neither helps nor blocks; it costs its own limit only.
  ScriptedStunPeer silent;
  const std::string quiet = "stun:127.0.0.1:" + std::to_string(silent.Port());
  const auto start = std::chrono::steady_clock::now();
  const auto withSilence = ProbeSources(quiet + " " + mx + " " + web, 1s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + ProbeStepTimeout);
  ASSERT_FALSE(withSilence.empty());
  EXPECT_EQ(withSilence.front(), Text("Err: WANの情報源 " + quiet + ": timed out after 1 s"));
  EXPECT_EQ(withSilence.back(), (Notice{TE_WAN_ADDRESS, "203.0.113.7"}));
}

TEST(WanSources, OneDisagreeingOrLoneAnsweringSourceBlocksWithEveryAnswerNamed) {
  HttpCheckServer check;
  ASSERT_TRUE(check.Started()) << check.Error();
  ScriptedSmtpPeer mail(Echoing("198.51.100.4"));
  ScriptedStunPeer stun(Mapping(0xCB007107));
  const std::string mx = "localhost:" + std::to_string(mail.Port());
  const std::string st = "stun:127.0.0.1:" + std::to_string(stun.Port());
  const std::string web = check.Url("/plain");

  EXPECT_EQ(ProbeSources(st + " " + web + " " + mx),
            (std::vector<Notice>{
                Text("Msg: WANの情報源 " + st + ": 203.0.113.7"),
                Text("Msg: WANの情報源 " + web + ": 203.0.113.7"),
                Text("Msg: WANの情報源 " + mx + ": 198.51.100.4"),
                Text("Err: WANの情報源の答えが揃わないため、公開しません: " + st +
                     " = 203.0.113.7; " + web + " = 203.0.113.7; " + mx + " = 198.51.100.4"),
                Cause("the sources that answered disagree"), Failed}));

  // A mail server that puts a name in its brackets is a wrong answer too;
  // a page without an address is no answer at all.
  mail.SetScript(Echoing("relay.example"));
  const auto named = ProbeSources(mx + " " + check.Url("/none") + " " + st);
  ASSERT_EQ(named.size(), 6u) << ::testing::PrintToString(named);
  EXPECT_EQ(named[0],
            Text("Err: WANの情報源 " + mx + ": \"relay.example\" (no IPv4 or IPv6 address)"));
  EXPECT_EQ(named[1],
            Text("Err: WANの情報源 " + check.Url("/none") + ": no IPv4 address in the page"));
  EXPECT_EQ(named[4], Cause("a source answered with something that is no address"));
  EXPECT_EQ(named[5], Failed);

  const auto lone = ProbeSources(st + " nosuch.invalid");
  ASSERT_GE(lone.size(), 2u);
  EXPECT_EQ(lone[1], Text("Err: WANの情報源 nosuch.invalid: " + UnknownName));
  EXPECT_EQ(lone.end()[-2], Cause("only 1 of 2 sources gave an address; at least 2 must agree"));
  EXPECT_EQ(lone.back(), Failed);
}

TEST(WanSources, SharedAndPrivateAddressesAreWarnedOf) {
  struct Case {
    std::string Address;
    AddressScope Scope;
  };
  const std::vector<Case> cases{
      {"100.64.0.0", AddressScope::SharedByProvider},
      {"100.127.255.255", AddressScope::SharedByProvider},
      {"100.63.255.255", AddressScope::Public},
      {"100.128.0.0", AddressScope::Public},
      {"10.0.0.1", AddressScope::PrivateNetwork},
      {"172.16.0.1", AddressScope::PrivateNetwork},
      {"172.31.255.255", AddressScope::PrivateNetwork},
      {"172.15.255.255", AddressScope::Public},
      {"172.32.0.0", AddressScope::Public},
      {"192.168.1.1", AddressScope::PrivateNetwork},
      {"192.169.0.1", AddressScope::Public},
      {"127.0.0.1", AddressScope::PrivateNetwork},
      {"11.0.0.1", AddressScope::Public},
      {"203.0.113.7", AddressScope::Public},
      {"::ffff:10.0.0.1", AddressScope::Public},
      {"10.0.0.1 ", AddressScope::Public},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScopeOfAddress(c.Address), c.Scope) << c.Address;
    const auto warning = WanAddressWarning(c.Address);
    EXPECT_EQ(warning.has_value(), c.Scope != AddressScope::Public) << c.Address;
    if (warning) {
      EXPECT_TRUE(warning->LogLine.starts_with("Msg: 注意: WANのIPアドレス " + c.Address + " "));
      EXPECT_NE(warning->TrayText.find(c.Address), std::string::npos);
      const bool shared = warning->LogLine.find("共有") != std::string::npos;
      EXPECT_EQ(shared, c.Scope == AddressScope::SharedByProvider) << warning->LogLine;
    }
  }
}
