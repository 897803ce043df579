#include "probe/AddressProbe.h"
#include "platform/SystemNameResolver.h"
#include "servers/ScriptedSmtpPeer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace tavro;
using tavro::test::ScriptedSmtpPeer;
using tavro::test::SmtpScript;

namespace {

const std::string LanFound = "Msg: LANのIPアドレスを収得しました。";
const std::string WanResolving = "Msg: WANのホスト名を収得中。";
const std::string WanSocket = "Msg: WANのソケットを作成中。";
const std::string WanConnecting = "Msg: WANのメールサーバに接続中。";
const std::string WanFound = "Msg: WANのIPアドレスを収得しました。";
const std::string NoAddress = "Err: WANのメールサーバがIPアドレスを返してくれませんでした。";

struct Notice {
  std::uint32_t code = 0;
  std::optional<std::string> text;
  bool operator==(const Notice&) const = default;
};

void PrintTo(const Notice& n, std::ostream* os) {
  *os << "{" << n.code << ", " << (n.text ? ::testing::PrintToString(*n.text) : "-") << "}";
}

Notice Text(std::string text) {
  return {TE_STATUS_TEXT, std::move(text)};
}

// The real name services, except what a test wants to see differently.
class ScriptedResolver : public SystemNameResolver {
public:
  std::optional<std::vector<Ipv4Address>> OwnAddresses;
  std::vector<Ipv4Address> Interfaces;
  std::optional<std::uint16_t> MailPort;
  std::vector<std::string> ServicesAsked;

  std::vector<Ipv4Address> ResolveIPv4(const std::string& name) override {
    if (OwnAddresses && name == HostName()) {
      return *OwnAddresses;
    }
    return SystemNameResolver::ResolveIPv4(name);
  }
  std::vector<Ipv4Address> InterfaceAddresses() override { return Interfaces; }
  std::optional<std::uint16_t> ServicePort(const std::string& service) override {
    ServicesAsked.push_back(service);
    return MailPort;
  }
};

constexpr SmtpTimeouts ShortTimeouts{300ms, 300ms, 300ms};

std::vector<Notice> Probe(const std::string& mailServer, const std::string& mode = "WAN",
                          std::shared_ptr<INameResolver> resolver = nullptr,
                          std::function<void(const Notice&)> onEach = {}) {
  if (!resolver) {
    resolver = std::make_shared<SystemNameResolver>();
  }
  std::vector<Notice> notices;
  AddressProbe probe(resolver, [&](std::uint32_t code, const std::string* payload) {
    Notice notice{code, payload ? std::optional(*payload) : std::nullopt};
    if (onEach) {
      onEach(notice);
    }
    notices.push_back(std::move(notice));
  });
  probe.ProbeAddresses({mailServer, mode, ShortTimeouts});
  return notices;
}

std::string Local(const ScriptedSmtpPeer& peer) {
  return "localhost:" + std::to_string(peer.Port());
}

// The notices after the LAN step, which depend on the machine.
std::vector<Notice> AfterLan(const std::vector<Notice>& notices) {
  std::vector<Notice> rest;
  bool seen = false;
  for (const auto& n : notices) {
    if (seen) {
      rest.push_back(n);
    }
    seen = seen || n.code == TE_LAN_ADDRESS;
  }
  return rest;
}

std::vector<Notice> WanUpToConnect() {
  return {Text(WanResolving), Text(WanSocket), Text(WanConnecting)};
}

std::vector<Notice> Concat(std::vector<Notice> a, const std::vector<Notice>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(AddressProbe, WanRunReportsEveryStepAndTheEchoedAddress) {
  ScriptedSmtpPeer peer;
  const auto notices = Probe(Local(peer));
  ASSERT_GE(notices.size(), 3u);
  EXPECT_EQ(notices[0], (Notice{TE_PROBE_STARTED, std::nullopt}));
  EXPECT_EQ(notices[1], Text(LanFound));
  EXPECT_EQ(notices[2].code, TE_LAN_ADDRESS);
  EXPECT_EQ(AfterLan(notices),
            Concat(WanUpToConnect(), {Text("Msg: 220 peer.test ESMTP ready\r\n"),
                                      Text("Msg: 250 peer.test Hello localhost [127.0.0.1]\r\n"),
                                      Text(WanFound), Notice{TE_WAN_ADDRESS, "127.0.0.1"}}));
  // HELO names the configured server without its port, not this machine.
  EXPECT_EQ(peer.HeloLines(), std::vector<std::string>{"HELO localhost\r\n"});
}

TEST(AddressProbe, OnlyModeLanExactlyStopsAfterTheLanStep) {
  ScriptedSmtpPeer peer;
  const auto lan = Probe(Local(peer), "LAN");
  ASSERT_EQ(lan.size(), 3u);
  EXPECT_EQ(lan[1], Text(LanFound));
  EXPECT_EQ(lan[2].code, TE_LAN_ADDRESS);
  EXPECT_EQ(peer.Connections(), 0u);

  const auto lower = Probe(Local(peer), "lan");
  EXPECT_EQ(lower.back(), (Notice{TE_WAN_ADDRESS, "127.0.0.1"}));
  EXPECT_EQ(peer.Connections(), 1u);
}

TEST(AddressProbe, EmptyMailServerFailsBeforeTheLanStepInEitherMode) {
  const std::vector<Notice> expected{{TE_PROBE_STARTED, std::nullopt},
                                     Text("Err: メールサーバーが指定されていません。"),
                                     {TE_PROBE_FAILED, std::nullopt}};
  EXPECT_EQ(Probe("", "LAN"), expected);
  EXPECT_EQ(Probe("", "WAN"), expected);
}

TEST(AddressProbe, PortComesFromTheSettingElseFromTheMailService) {
  ScriptedSmtpPeer peer;
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->MailPort = peer.Port();
  for (const char* noPort : {"localhost", "localhost:", "localhost:0", "localhost:abc"}) {
    EXPECT_EQ(Probe(noPort, "WAN", resolver).back(), (Notice{TE_WAN_ADDRESS, "127.0.0.1"}))
        << noPort;
  }
  EXPECT_EQ(resolver->ServicesAsked, std::vector<std::string>(4, "mail"));

  // An explicit port counts by its low 16 bits; text after a second colon is
  // not part of it. The services database is not asked.
  resolver->ServicesAsked.clear();
  for (const std::string& server :
       {"localhost:" + std::to_string(peer.Port() + 65536), Local(peer) + ":99",
        "localhost: +" + std::to_string(peer.Port()) + "x"}) {
    EXPECT_EQ(Probe(server, "WAN", resolver).back(), (Notice{TE_WAN_ADDRESS, "127.0.0.1"}))
        << server;
  }
  EXPECT_TRUE(resolver->ServicesAsked.empty());
  EXPECT_EQ(peer.HeloLines(), std::vector<std::string>(7, "HELO localhost\r\n"));
}

TEST(AddressProbe, SecondGreetingSegmentIsReadAsTheAnswer) {
  std::mutex mutex;
  std::condition_variable changed;
  bool firstRead = false;
  SmtpScript script;
  script.Greeting = {"220 first part\r\n", "220 second [part\r\n"};
  script.BeforeNextSegment = [&] {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 5s, [&] { return firstRead; });
  };
  ScriptedSmtpPeer peer(script);
  const auto notices = Probe(Local(peer), "WAN", nullptr, [&](const Notice& n) {
    if (n.text && n.text->starts_with("Msg: 220")) {
      std::lock_guard lock(mutex);
      firstRead = true;
      changed.notify_all();
    }
  });
  EXPECT_EQ(AfterLan(notices), Concat(WanUpToConnect(), {Text("Msg: 220 first part\r\n"),
                                                         Text("Msg: 220 second [part\r\n"),
                                                         Text(NoAddress),
                                                         {TE_PROBE_FAILED, {}}}));
}

TEST(AddressProbe, ServerThatClosesOrStaysSilentEndsWithTheLastError) {
  const auto expected = Concat(
      WanUpToConnect(), {Text("Msg: "), Text("Msg: "), Text(NoAddress), {TE_PROBE_FAILED, {}}});
  ScriptedSmtpPeer closing(SmtpScript::Behaving(SmtpScript::Behaviour::CloseAtOnce));
  EXPECT_EQ(AfterLan(Probe(Local(closing))), expected);

  ScriptedSmtpPeer silent(SmtpScript::Behaving(SmtpScript::Behaviour::Silent));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AfterLan(Probe(Local(silent))), expected);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 2 * ShortTimeouts.Receive - 20ms);  // both receives waited their time-out
  EXPECT_LT(took, 10s);
}

TEST(AddressProbe, AddressIsTheTextBetweenTheFirstBracketAndTheNextClose) {
  std::string exact512 = "250 peer.test Hello ";
  exact512 += std::string(512 - exact512.size() - 10, 'x') + "[10.1.2.3]";
  ASSERT_EQ(exact512.size(), 512u);
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"250 peer.test Hello [IPv6:2001:db8::1]\r\n", "IPv6:2001:db8::1"},
      {"250 peer.test Hello []\r\n", ""},
      {"250 peer.test] Hello [192.0.2.9] x]\r\n", "192.0.2.9"},
      {"250 peer.test Hello [192.0.2.9\r\n", std::nullopt},
      {"250 peer.test Hello\r\n", std::nullopt},
      {exact512, "10.1.2.3"},
  };
  ScriptedSmtpPeer peer;
  for (const auto& [answer, address] : cases) {
    SmtpScript script;
    script.Answer = answer;
    peer.SetScript(script);
    const auto notices = Probe(Local(peer));
    ASSERT_GE(notices.size(), 4u);
    // The answer goes to the log unchanged, 512 bytes included.
    EXPECT_EQ(notices[notices.size() - 3], Text("Msg: " + answer));
    if (address) {
      EXPECT_EQ(notices[notices.size() - 2], Text(WanFound));
      EXPECT_EQ(notices.back(), (Notice{TE_WAN_ADDRESS, *address}));
    } else {
      EXPECT_EQ(notices[notices.size() - 2], Text(NoAddress));
      EXPECT_EQ(notices.back().code, TE_PROBE_FAILED);
    }
  }
}

TEST(AddressProbe, UnresolvableServerAndRefusedConnectionFailTheirStep) {
  EXPECT_EQ(AfterLan(Probe("nosuch.invalid:25")),
            (std::vector<Notice>{Text(WanResolving),
                                 Text("Err: WANのホスト名を収得するのに失敗しました。"),
                                 {TE_PROBE_FAILED, {}}}));

  // A port that was free a moment ago: nothing listens there.
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(s);
  EXPECT_EQ(AfterLan(Probe("127.0.0.1:" + std::to_string(ntohs(address.sin_port)))),
            Concat(WanUpToConnect(), {Text("Err: WANのメールサーバに接続ができませんでした。"),
                                      {TE_PROBE_FAILED, {}}}));
}

TEST(AddressProbe, ServerBytesReachTheLogUnchangedUpToTheFirstNul) {
  ScriptedSmtpPeer peer;
  SmtpScript binary;
  binary.Greeting = {"220 \x01\x80\xfe\xff\x82\xa0 ok\0after nul\r\n"s};
  binary.Answer = "250 \x93\xfa\x96\x7b [192.0.2.1]\0[x]"s;
  peer.SetScript(binary);
  auto notices = AfterLan(Probe(Local(peer)));
  ASSERT_EQ(notices.size(), 7u);
  EXPECT_EQ(notices[3], Text("Msg: 220 \x01\x80\xfe\xff\x82\xa0 ok"));
  EXPECT_EQ(notices[4], Text("Msg: 250 \x93\xfa\x96\x7b [192.0.2.1]"));
  EXPECT_EQ(notices[6], (Notice{TE_WAN_ADDRESS, "192.0.2.1"}));

  // 64 KiB without a line end: one buffer for the greeting, one for the answer.
  SmtpScript flood;
  std::string text;
  while (text.size() < 65536) {
    text += "0123456789abcdef";
  }
  flood.Greeting = {text};
  peer.SetScript(flood);
  notices = AfterLan(Probe(Local(peer)));
  ASSERT_EQ(notices.size(), 7u);
  EXPECT_EQ(notices[3], Text("Msg: " + text.substr(0, 512)));
  EXPECT_EQ(notices[4], Text("Msg: " + text.substr(512, 512)));
  EXPECT_EQ(notices[5], Text(NoAddress));
}

TEST(AddressProbe, OverlongMailServerIsCutToTheBuffer) {
  ScriptedSmtpPeer peer;
  // The host part is far beyond any name, so it cannot resolve.
  EXPECT_EQ(AfterLan(Probe(std::string(2000, 'a') + ":" + std::to_string(peer.Port()))).at(1),
            Text("Err: WANのホスト名を収得するのに失敗しました。"));
  // The port lies beyond the 511 bytes the setting is read to, so the mail
  // service's port is used; the host still resolves.
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->MailPort = peer.Port();
  const std::string padded = "localhost:" + std::string(600, ' ') + "1";
  EXPECT_EQ(Probe(padded, "WAN", resolver).back(), (Notice{TE_WAN_ADDRESS, "127.0.0.1"}));
  EXPECT_EQ(resolver->ServicesAsked, std::vector<std::string>{"mail"});
}

TEST(AddressProbe, LanAddressSkipsLoopbackAndLinkLocal) {
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->OwnAddresses = {Ipv4Address(127, 0, 1, 1), Ipv4Address(169, 254, 0, 7),
                            Ipv4Address(192, 168, 1, 20), Ipv4Address(10, 0, 0, 1)};
  EXPECT_EQ(Probe("localhost", "LAN", resolver).back(), (Notice{TE_LAN_ADDRESS, "192.168.1.20"}));

  // Only loopback for the name: the first real interface address instead.
  resolver->OwnAddresses = {Ipv4Address(127, 0, 1, 1)};
  resolver->Interfaces = {Ipv4Address(127, 0, 0, 1), Ipv4Address(169, 254, 3, 4),
                          Ipv4Address(10, 9, 8, 7), Ipv4Address(10, 9, 8, 8)};
  EXPECT_EQ(Probe("localhost", "LAN", resolver).back(), (Notice{TE_LAN_ADDRESS, "10.9.8.7"}));

  // Nothing better anywhere: the name's own first address.
  resolver->Interfaces = {Ipv4Address(127, 0, 0, 1)};
  EXPECT_EQ(Probe("localhost", "LAN", resolver).back(), (Notice{TE_LAN_ADDRESS, "127.0.1.1"}));
}

TEST(AddressProbe, UnresolvableHostNameFailsTheLanStepWithoutWan) {
  ScriptedSmtpPeer peer;
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->OwnAddresses = std::vector<Ipv4Address>{};
  EXPECT_EQ(Probe(Local(peer), "WAN", resolver),
            (std::vector<Notice>{{TE_PROBE_STARTED, {}},
                                 Text("Err: LANのホスト名を収得するのに失敗しました。"),
                                 {TE_PROBE_FAILED, {}}}));
  EXPECT_EQ(peer.Connections(), 0u);
}

TEST(AddressProbe, RealLanAddressIsNotLoopbackWhereTheMachineHasAnInterface) {
  SystemNameResolver system;
  std::vector<std::string> usable;
  for (const auto& a : system.InterfaceAddresses()) {
    if (!a.IsLoopback() && !a.IsLinkLocal()) {
      usable.push_back(a.ToString());
    }
  }
  const auto notices = Probe("localhost", "LAN");
  ASSERT_EQ(notices.back().code, TE_LAN_ADDRESS);
  const std::string lan = *notices.back().text;
  if (usable.empty()) {
    GTEST_SKIP() << "no interface but loopback; LAN address " << lan;
  }
  EXPECT_FALSE(lan.starts_with("127.")) << lan;
  EXPECT_FALSE(lan.starts_with("169.254.")) << lan;
}
