#include "probe/AddressProbe.h"
#include "platform/SystemNameResolver.h"
#include "servers/ScriptedSmtpPeer.h"
#include "support/ProbeNotices.h"

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace tavro;
using namespace tavro::test;

namespace {

// The real name services, but for what a test wants to see differently.
struct ScriptedResolver : SystemNameResolver {
  std::optional<std::vector<Ipv4Address>> OwnAddresses;
  std::vector<Ipv4Address> Interfaces;
  std::optional<std::uint16_t> MailPort;
  // Where set, every other name fails with this cause.
  std::optional<std::string> Unknown;
  int ServiceLookups = 0;

  std::vector<Ipv4Address> ResolveIPv4(const std::string& name, std::string* cause) override {
    if (OwnAddresses && name == HostName()) {
      return *OwnAddresses;
    }
    if (Unknown && name != HostName()) {
      *cause = *Unknown;
      return {};
    }
    return SystemNameResolver::ResolveIPv4(name, cause);
  }
  std::vector<Ipv4Address> InterfaceAddresses() override { return Interfaces; }
  std::optional<std::uint16_t> ServicePort(const std::string& service) override {
    ServiceLookups += service == "mail";
    return MailPort;
  }
};

std::string Local(std::uint16_t port) {
  return "localhost:" + std::to_string(port);
}

}  // namespace

TEST(AddressProbe, ModeLanExactlyStopsAfterTheLanStepAndNoMailServerStopsBeforeIt) {
  ScriptedSmtpPeer peer;
  const auto lan = Probe(Local(peer.Port()), "LAN");
  ASSERT_EQ(lan.size(), 3u);
  EXPECT_EQ(lan[0], (Notice{TE_PROBE_STARTED, {}}));
  EXPECT_EQ(lan[1], Text("Msg: LANのIPアドレスを収得しました。"));
  EXPECT_EQ(lan[2].Code, TE_LAN_ADDRESS);
  EXPECT_EQ(peer.Connections(), 0u);
  EXPECT_EQ(Probe(Local(peer.Port()), "lan").back(), (Notice{TE_WAN_ADDRESS, "127.0.0.1"}));
  EXPECT_EQ(peer.Connections(), 1u);

  const std::vector<Notice> none{{TE_PROBE_STARTED, {}},
                                 Text("Err: メールサーバーが指定されていません。"),
                                 Cause("the Trace setting is empty"), Failed};
  EXPECT_EQ(Probe("", "LAN"), none);
  EXPECT_EQ(Probe("", "WAN"), none);
}

TEST(AddressProbe, SecondGreetingSegmentIsReadAsTheAnswer) {
  std::promise<void> firstRead;
  SmtpScript script;
  script.Greeting = {"220 first part\r\n", "220 second [part\r\n"};
  script.Answer = "";  // an answer could arrive together with the second segment
  script.BeforeNextSegment = [read = firstRead.get_future().share()] { read.wait_for(5s); };
  ScriptedSmtpPeer peer(script);
  const auto notices = Probe(Local(peer.Port()), "WAN", nullptr, [&](const Notice& n) {
    if (n.Text == "Msg: 220 first part\r\n") {
      firstRead.set_value();
    }
  });
  EXPECT_EQ(Wan(notices), Answered("220 first part\r\n", "220 second [part\r\n", std::nullopt));
}

TEST(AddressProbe, WhatThePeerSendsDecidesTheAddressAndNothingBreaksTheRun) {
  struct Case {
    SmtpScript Script;
    std::string Greeting,
        Answer;  // as logged: up to the first NUL, 512 bytes at most
    std::optional<std::string> Address;
    std::string Cause = NoBrackets;  // where there is no address
  };
  const auto answering = [](const std::string& answer, std::optional<std::string> address) {
    SmtpScript script;
    script.Answer = answer;
    return Case{script, "220 peer.test ESMTP ready\r\n", answer.substr(0, answer.find('\0')),
                address};
  };
  const auto greeting = [](const std::string& text) {
    SmtpScript script;
    script.Greeting = {text};
    return script;
  };
  std::string exact512 = "250 peer.test Hello ";
  exact512 += std::string(512 - exact512.size() - 10, 'x') + "[10.1.2.3]";
  std::string flood(65536, ' ');  // 64 KiB without a line end
  for (std::size_t i = 0; i < flood.size(); ++i) {
    flood[i] = static_cast<char>('a' + i % 23);
  }
  const std::vector<Case> cases{
      answering("250 peer.test Hello [IPv6:2001:db8::1]\r\n", "IPv6:2001:db8::1"),
      answering("250 peer.test Hello []\r\n", ""),
      answering("250 peer.test] Hello [192.0.2.9] x]\r\n", "192.0.2.9"),
      answering("250 peer.test Hello [192.0.2.9\r\n", std::nullopt),
      answering(exact512,
                "10.1.2.3"),  // no NUL in the buffer: the text ends at its last byte
      answering("250 \x93\xfa\x96\x7b [192.0.2.1]\0[x]"s, "192.0.2.1"),
      {SmtpScript::Behaving(SmtpScript::Behaviour::CloseAtOnce), "", "", std::nullopt,
       "connection closed by the server"},
      // The answer's receive, not the greeting's, decides the cause.
      {SmtpScript::Behaving(SmtpScript::Behaviour::Silent), "", "", std::nullopt,
       "timed out after 3 s"},
      {greeting("220 \x01\x80\xfe\xff\x82\xa0 ok\0after nul\r\n"s),
       "220 \x01\x80\xfe\xff\x82\xa0 ok", "250 peer.test Hello localhost [127.0.0.1]\r\n",
       "127.0.0.1"},
      {greeting(flood), flood.substr(0, 512), flood.substr(512, 512), std::nullopt},
  };
  ScriptedSmtpPeer peer;
  for (const Case& c : cases) {
    peer.SetScript(c.Script);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Wan(Probe(Local(peer.Port()))), Answered(c.Greeting, c.Answer, c.Address, c.Cause));
    // A silent peer holds the run for the two receive time-outs, no longer
    // (with slack for a loaded machine).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * ProbeStepTimeout + 10s);
  }
  // HELO names the configured server without its port, not this machine.
  EXPECT_EQ(peer.HeloLines().at(0), "HELO localhost\r\n");
}

TEST(AddressProbe, UnresolvableServerAndRefusedConnectionFailTheirStepAndSayWhy) {
  EXPECT_EQ(Wan(Probe("nosuch.invalid:25")), Unresolved());
  EXPECT_EQ(Wan(Probe(std::string(2000, 'a') + ":25")), Unresolved());
  // The resolver's own words, whatever they are.
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->Unknown = "Temporary failure in name resolution";
  EXPECT_EQ(Wan(Probe("mx.example.test", "WAN", resolver)), Unresolved(*resolver->Unknown));

  std::uint16_t closed = 0;
  {
    ScriptedSmtpPeer gone;
    closed = gone.Port();
  }
  EXPECT_EQ(Wan(Probe(Local(closed))), ConnectFailed("Connection refused"));
}

TEST(AddressProbe, NameServicesGiveTheMailPortAndTheLanAddressWithItsFallback) {
  ScriptedSmtpPeer peer;
  auto resolver = std::make_shared<ScriptedResolver>();
  // The mail service's port unless one is given, and then its low 16 bits.
  resolver->MailPort = peer.Port();
  EXPECT_EQ(Probe("localhost", "WAN", resolver).back().Text, "127.0.0.1");
  EXPECT_EQ(Probe(Local(peer.Port() + 65536) + ":99", "WAN", resolver).back().Text, "127.0.0.1");
  EXPECT_EQ(resolver->ServiceLookups, 1);

  resolver->OwnAddresses = {Ipv4Address(127, 0, 1, 1)};
  resolver->Interfaces = {Ipv4Address(127, 0, 0, 1), Ipv4Address(169, 254, 3, 4),
                          Ipv4Address(10, 9, 8, 7)};
  EXPECT_EQ(Probe("localhost", "LAN", resolver).back(), (Notice{TE_LAN_ADDRESS, "10.9.8.7"}));

  resolver->OwnAddresses = std::vector<Ipv4Address>{};
  EXPECT_EQ(
      Probe(Local(peer.Port()), "WAN", resolver),
      (std::vector<Notice>{{TE_PROBE_STARTED, {}},
                           Text("Err: LANのホスト名を収得するのに失敗しました。"),
                           Cause("no IPv4 address for the name"), Failed}));
  EXPECT_EQ(peer.Connections(), 2u);
}
