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

struct Notice {
  std::uint32_t code = 0;
  std::optional<std::string> text;
  bool operator==(const Notice&) const = default;
};
void PrintTo(const Notice& n, std::ostream* os) {
  *os << n.code << ":" << ::testing::PrintToString(n.text);
}
Notice Text(std::string text) {
  return {TE_STATUS_TEXT, std::move(text)};
}
const Notice Failed{TE_PROBE_FAILED, {}};
const Notice WanFound = Text("Msg: WANのIPアドレスを収得しました。");
const Notice NoAddress = Text("Err: WANのメールサーバがIPアドレスを返してくれませんでした。");
const std::vector<Notice> UpToConnect{Text("Msg: WANのホスト名を収得中。"),
                                      Text("Msg: WANのソケットを作成中。"),
                                      Text("Msg: WANのメールサーバに接続中。")};

// The real name services, but for what a test wants to see differently.
struct ScriptedResolver : SystemNameResolver {
  std::optional<std::vector<Ipv4Address>> OwnAddresses;
  std::vector<Ipv4Address> Interfaces;
  std::optional<std::uint16_t> MailPort;
  int ServiceLookups = 0;

  std::vector<Ipv4Address> ResolveIPv4(const std::string& name) override {
    return OwnAddresses && name == HostName() ? *OwnAddresses
                                              : SystemNameResolver::ResolveIPv4(name);
  }
  std::vector<Ipv4Address> InterfaceAddresses() override { return Interfaces; }
  std::optional<std::uint16_t> ServicePort(const std::string& service) override {
    ServiceLookups += service == "mail";
    return MailPort;
  }
};

constexpr SmtpTimeouts ShortTimeouts{300ms, 300ms, 300ms};

std::vector<Notice> Probe(const std::string& server, const std::string& mode = "WAN",
                          std::shared_ptr<INameResolver> resolver = nullptr,
                          std::function<void(const Notice&)> onEach = {}) {
  std::vector<Notice> notices;
  AddressProbe probe(resolver ? resolver : std::make_shared<SystemNameResolver>(),
                     [&](std::uint32_t code, const std::string* payload) {
                       notices.push_back({code, payload ? std::optional(*payload) : std::nullopt});
                       if (onEach) {
                         onEach(notices.back());
                       }
                     });
  probe.ProbeAddresses({server, mode, ShortTimeouts});
  return notices;
}

// The notices after the LAN address, which depends on the machine.
std::vector<Notice> Wan(const std::vector<Notice>& n) {
  auto lan = std::find_if(n.begin(), n.end(), [](auto& x) { return x.code == TE_LAN_ADDRESS; });
  return lan == n.end() ? n : std::vector<Notice>(lan + 1, n.end());
}
std::vector<Notice> AfterConnect(std::vector<Notice> rest) {
  rest.insert(rest.begin(), UpToConnect.begin(), UpToConnect.end());
  return rest;
}
std::string Local(const ScriptedSmtpPeer& peer) {
  return "localhost:" + std::to_string(peer.Port());
}

}  // namespace

TEST(AddressProbe, WanRunReportsEveryStepAndTheEchoedAddress) {
  ScriptedSmtpPeer peer;
  const auto notices = Probe(Local(peer));
  ASSERT_GE(notices.size(), 3u);
  EXPECT_EQ(notices[0], (Notice{TE_PROBE_STARTED, {}}));
  EXPECT_EQ(notices[1], Text("Msg: LANのIPアドレスを収得しました。"));
  EXPECT_EQ(notices[2].code, TE_LAN_ADDRESS);
  EXPECT_EQ(Wan(notices), AfterConnect({Text("Msg: 220 peer.test ESMTP ready\r\n"),
                                        Text("Msg: 250 peer.test Hello localhost [127.0.0.1]\r\n"),
                                        WanFound, Notice{TE_WAN_ADDRESS, "127.0.0.1"}}));
  // HELO names the configured server without its port, not this machine.
  EXPECT_EQ(peer.HeloLines(), std::vector<std::string>{"HELO localhost\r\n"});
}

TEST(AddressProbe, ModeLanExactlyStopsAfterTheLanStepAndNoMailServerStopsBeforeIt) {
  ScriptedSmtpPeer peer;
  const auto lan = Probe(Local(peer), "LAN");
  ASSERT_EQ(lan.size(), 3u);
  EXPECT_EQ(lan[2].code, TE_LAN_ADDRESS);
  EXPECT_EQ(peer.Connections(), 0u);
  EXPECT_EQ(Probe(Local(peer), "lan").back(), (Notice{TE_WAN_ADDRESS, "127.0.0.1"}));
  EXPECT_EQ(peer.Connections(), 1u);

  const std::vector<Notice> none{
      {TE_PROBE_STARTED, {}}, Text("Err: メールサーバーが指定されていません。"), Failed};
  EXPECT_EQ(Probe("", "LAN"), none);
  EXPECT_EQ(Probe("", "WAN"), none);
}

TEST(AddressProbe, PortComesFromTheSettingElseFromTheMailService) {
  ScriptedSmtpPeer peer;
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->MailPort = peer.Port();
  const std::string port = std::to_string(peer.Port());
  for (const std::string& server :
       std::vector<std::string>{"localhost", "localhost:", "localhost:0", "localhost:abc",
                                // not read: the setting is cut at 511 bytes
                                "localhost:" + std::string(600, ' ') + "1"}) {
    EXPECT_EQ(Probe(server, "WAN", resolver).back().text, "127.0.0.1");
  }
  EXPECT_EQ(resolver->ServiceLookups, 5);
  // An explicit port counts by its low 16 bits; a second colon ends it.
  for (const std::string& server : std::vector<std::string>{
           "localhost:" + std::to_string(peer.Port() + 65536), "localhost: +" + port + ":99"}) {
    EXPECT_EQ(Probe(server, "WAN", resolver).back().text, "127.0.0.1");
  }
  EXPECT_EQ(resolver->ServiceLookups, 5);
}

TEST(AddressProbe, SecondGreetingSegmentIsReadAsTheAnswer) {
  std::mutex mutex;
  std::condition_variable changed;
  bool firstRead = false;
  SmtpScript script;
  script.Greeting = {"220 first part\r\n", "220 second [part\r\n"};
  script.Answer = "";  // an answer could arrive together with the second segment
  script.BeforeNextSegment = [&] {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 5s, [&] { return firstRead; });
  };
  ScriptedSmtpPeer peer(script);
  const auto notices = Probe(Local(peer), "WAN", nullptr, [&](const Notice& n) {
    std::lock_guard lock(mutex);
    firstRead = firstRead || n.text == "Msg: 220 first part\r\n";
    changed.notify_all();
  });
  EXPECT_EQ(Wan(notices), AfterConnect({Text("Msg: 220 first part\r\n"),
                                        Text("Msg: 220 second [part\r\n"), NoAddress, Failed}));
}

TEST(AddressProbe, ServerThatClosesOrStaysSilentEndsWithTheLastError) {
  const auto expected = AfterConnect({Text("Msg: "), Text("Msg: "), NoAddress, Failed});
  ScriptedSmtpPeer closing(SmtpScript::Behaving(SmtpScript::Behaviour::CloseAtOnce));
  EXPECT_EQ(Wan(Probe(Local(closing))), expected);

  ScriptedSmtpPeer silent(SmtpScript::Behaving(SmtpScript::Behaviour::Silent));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Wan(Probe(Local(silent))), expected);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 2 * ShortTimeouts.Receive - 20ms);  // both receives ran into the time-out
  EXPECT_LT(took, 10s);
}

TEST(AddressProbe, AddressIsTheTextBetweenTheFirstBracketAndTheNextClose) {
  std::string exact512 = "250 peer.test Hello ";
  exact512 += std::string(512 - exact512.size() - 10, 'x') + "[10.1.2.3]";
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"250 peer.test Hello [IPv6:2001:db8::1]\r\n", "IPv6:2001:db8::1"},
      {"250 peer.test Hello []\r\n", ""},
      {"250 peer.test] Hello [192.0.2.9] x]\r\n", "192.0.2.9"},
      {"250 peer.test Hello [192.0.2.9\r\n", std::nullopt},
      {"250 peer.test Hello\r\n", std::nullopt},
      {exact512, "10.1.2.3"},  // no NUL in the buffer: the text ends at its last byte
      {"250 \x93\xfa\x96\x7b [192.0.2.1]\0[x]"s, "192.0.2.1"},
  };
  ScriptedSmtpPeer peer;
  for (const auto& [answer, address] : cases) {
    SmtpScript script;
    script.Answer = answer;
    peer.SetScript(script);
    const auto notices = Probe(Local(peer));
    ASSERT_GE(notices.size(), 3u);
    EXPECT_EQ(notices[notices.size() - 3], Text("Msg: " + answer.substr(0, answer.find('\0'))));
    if (address) {
      EXPECT_EQ(notices[notices.size() - 2], WanFound);
      EXPECT_EQ(notices.back(), (Notice{TE_WAN_ADDRESS, *address}));
    } else {
      EXPECT_EQ(notices[notices.size() - 2], NoAddress);
      EXPECT_EQ(notices.back(), Failed);
    }
  }
}

TEST(AddressProbe, GreetingBytesReachTheLogUnchangedOneBufferAtATime) {
  ScriptedSmtpPeer peer;
  SmtpScript binary;
  binary.Greeting = {"220 \x01\x80\xfe\xff\x82\xa0 ok\0after nul\r\n"s};
  peer.SetScript(binary);
  EXPECT_EQ(Wan(Probe(Local(peer))).at(3), Text("Msg: 220 \x01\x80\xfe\xff\x82\xa0 ok"));

  // 64 KiB without a line end: one buffer for the greeting, the next as the answer.
  SmtpScript flood;
  std::string text;
  while (text.size() < 65536) {
    text += "0123456789abcdef";
  }
  flood.Greeting = {text};
  peer.SetScript(flood);
  EXPECT_EQ(Wan(Probe(Local(peer))),
            AfterConnect({Text("Msg: " + text.substr(0, 512)),
                          Text("Msg: " + text.substr(512, 512)), NoAddress, Failed}));
}

TEST(AddressProbe, UnresolvableServerAndRefusedConnectionFailTheirStep) {
  const Notice unresolved = Text("Err: WANのホスト名を収得するのに失敗しました。");
  EXPECT_EQ(Wan(Probe("nosuch.invalid:25")),
            (std::vector<Notice>{UpToConnect[0], unresolved, Failed}));
  EXPECT_EQ(Wan(Probe(std::string(2000, 'a') + ":25")),
            (std::vector<Notice>{UpToConnect[0], unresolved, Failed}));

  // A port that was free a moment ago: nothing listens there.
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(s);
  EXPECT_EQ(Wan(Probe("127.0.0.1:" + std::to_string(ntohs(address.sin_port)))),
            AfterConnect({Text("Err: WANのメールサーバに接続ができませんでした。"), Failed}));
}

TEST(AddressProbe, LanAddressFallsBackToAnInterfaceAndFailsWhenTheNameDoesNotResolve) {
  ScriptedSmtpPeer peer;
  auto resolver = std::make_shared<ScriptedResolver>();
  resolver->OwnAddresses = {Ipv4Address(127, 0, 1, 1)};
  resolver->Interfaces = {Ipv4Address(127, 0, 0, 1), Ipv4Address(169, 254, 3, 4),
                          Ipv4Address(10, 9, 8, 7)};
  EXPECT_EQ(Probe("localhost", "LAN", resolver).back(), (Notice{TE_LAN_ADDRESS, "10.9.8.7"}));

  resolver->OwnAddresses = std::vector<Ipv4Address>{};
  EXPECT_EQ(
      Probe(Local(peer), "WAN", resolver),
      (std::vector<Notice>{
          {TE_PROBE_STARTED, {}}, Text("Err: LANのホスト名を収得するのに失敗しました。"), Failed}));
  EXPECT_EQ(peer.Connections(), 0u);
}

TEST(AddressProbe, RealLanAddressIsNotLoopbackWhereTheMachineHasAnInterface) {
  const auto interfaces = SystemNameResolver().InterfaceAddresses();
  const bool usable = std::any_of(interfaces.begin(), interfaces.end(), [](const Ipv4Address& a) {
    return !a.IsLoopback() && !a.IsLinkLocal();
  });
  const auto lan = Probe("localhost", "LAN").back();
  ASSERT_EQ(lan.code, TE_LAN_ADDRESS);
  if (!usable) {
    GTEST_SKIP() << "no interface but loopback; LAN address " << *lan.text;
  }
  EXPECT_FALSE(lan.text->starts_with("127.") || lan.text->starts_with("169.254.")) << *lan.text;
}
