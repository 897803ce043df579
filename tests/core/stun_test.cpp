#include "probe/StunClient.h"
#include "servers/StunPeers.h"
#include "support/ProbeNotices.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace tavro;
using namespace tavro::test;

namespace {

const Ipv4Address Loopback(127, 0, 0, 1);
constexpr std::uint32_t Documentation = 0xCB007109;  // 203.0.113.9

StunExchange Ask(std::uint16_t port, std::chrono::milliseconds limit) {
  StunClient client;
  EXPECT_TRUE(client.Open()) << client.FailureCause();
  return client.Ask(Loopback, port, limit);
}

}  // namespace

TEST(Stun, CoturnAnswersWithTheMappedAddressAndTheProbeTakesIt) {
  CoturnServer coturn;
  ASSERT_TRUE(coturn.Started()) << coturn.Error();
  const StunExchange exchange = Ask(coturn.Port(), 5s);
  ASSERT_TRUE(exchange.Answered) << exchange.Cause;
  EXPECT_EQ(exchange.Answer.Result, StunAnswer::Kind::Mapped);
  EXPECT_TRUE(exchange.Answer.Xored);
  EXPECT_EQ(exchange.Answer.Address, "127.0.0.1");
  EXPECT_NE(exchange.Answer.Port, 0);

  // A lone STUN source reads like the other kinds, step by step.
  const std::string source = "STUN:localhost:" + std::to_string(coturn.Port());
  const auto notices = Wan(Probe(source));
  ASSERT_EQ(notices.size(), 6u) << ::testing::PrintToString(notices);
  EXPECT_EQ(std::vector(notices.begin(), notices.begin() + 3), UpToConnect);
  EXPECT_TRUE(notices[3].Text->starts_with("Msg: XOR-MAPPED-ADDRESS 127.0.0.1 port "))
      << *notices[3].Text;
  EXPECT_EQ(notices[4], Text("Msg: WANのIPアドレスを収得しました。"));
  EXPECT_EQ(notices[5], (Notice{TE_WAN_ADDRESS, "127.0.0.1"}));
}

TEST(Stun, SilenceIsRetransmittedWithOneIdAndEndsAtTheLimit) {
  ScriptedStunPeer peer;
  const auto start = std::chrono::steady_clock::now();
  const StunExchange exchange = Ask(peer.Port(), 2s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s + 2s);
  EXPECT_FALSE(exchange.Answered);
  EXPECT_EQ(exchange.Cause, "timed out after 2 s");
  // Sent at 0, 0.5 and 1.5 s: the same Binding request each time.
  const auto requests = peer.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(static_cast<std::size_t>(exchange.RequestsSent), requests.size());
  for (const std::string& request : requests) {
    EXPECT_EQ(request, requests.front());
  }
  EXPECT_EQ(requests.front().size(), 20u);
  EXPECT_EQ(requests.front().substr(0, 8), "\x00\x01\x00\x00\x21\x12\xa4\x42"s);

  // The probe's connect error, with the limit as its cause.
  ProbeSettings settings{"stun:127.0.0.1:" + std::to_string(peer.Port()), "WAN", {}};
  settings.Timeouts.Stun = 1s;
  std::vector<Notice> notices;
  AddressProbe probe(std::make_shared<SystemNameResolver>(),
                     [&](std::uint32_t code, const std::string* payload) {
                       notices.push_back({code, payload ? std::optional(*payload) : std::nullopt});
                     });
  probe.ProbeAddresses(settings);
  EXPECT_EQ(Wan(notices), ConnectFailed("timed out after 1 s"));
}

TEST(Stun, HostileAnswersAreIgnoredAndAGoodOneAfterThemStillCounts) {
  const auto good = [](const std::string& request) {
    return StunSuccessFor(request, StunIpv4Address(true, Documentation, 4242));
  };
  struct Case {
    std::string Name;
    std::function<std::string(const std::string&)> Bad;
    std::string Why;
  };
  const std::vector<Case> cases{
      {"truncated", [&](const std::string& r) { return good(r).substr(0, 26); },
       "26 bytes where the header says 32"},
      {"header only in part", [&](const std::string& r) { return good(r).substr(0, 12); },
       "12 bytes, shorter than a STUN header"},
      {"other transaction",
       [&](const std::string& r) {
         std::string other = r;
         other[19] = static_cast<char>(other[19] ^ 1);
         return good(other);
       },
       "transaction id does not match"},
      {"attribute past the end",
       [&](const std::string& r) {
         std::string answer = good(r);
         answer[22] = 0;
         answer[23] = 12;  // XOR-MAPPED-ADDRESS claims 12 bytes of 8
         return answer;
       },
       "attribute 0x0020 of 12 bytes runs past the end"},
      {"request echoed", [](const std::string& r) { return r; },
       "message type 0x0001 is no Binding answer"},
  };
  ScriptedStunPeer peer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    peer.SetScript([&](const std::string& r) { return std::vector{c.Bad(r)}; });
    const StunExchange alone = Ask(peer.Port(), 1s);
    EXPECT_FALSE(alone.Answered);
    EXPECT_TRUE(alone.Cause.starts_with("timed out after 1 s (")) << alone.Cause;
    EXPECT_TRUE(alone.Cause.ends_with("the last: " + c.Why + ")")) << alone.Cause;

    peer.SetScript([&](const std::string& r) { return std::vector{c.Bad(r), good(r)}; });
    const StunExchange after = Ask(peer.Port(), 5s);
    ASSERT_TRUE(after.Answered) << after.Cause;
    EXPECT_EQ(after.Answer.Address, "203.0.113.9");
    EXPECT_EQ(after.Answer.Port, 4242);
  }
}

TEST(Stun, OldServersErrorAnswersAndClosedPorts) {
  ScriptedStunPeer peer;
  struct Case {
    std::function<std::string(const std::string&)> Answer;
    StunAnswer::Kind Result;
    std::string Address, Why;
    bool Xored = false;
  };
  const std::vector<Case> cases{
      // An old server knows only MAPPED-ADDRESS; where both stand, XOR wins
      // whatever the order, and of two the first counts.
      {[](const std::string& r) {
         return StunSuccessFor(
             r, StunAttribute(0x8022, "srv") + StunIpv4Address(false, Documentation, 1));
       },
       StunAnswer::Kind::Mapped, "203.0.113.9", ""},
      {[](const std::string& r) {
         return StunSuccessFor(r, StunIpv4Address(false, 0x01020304, 1) +
                                      StunIpv4Address(true, Documentation, 2) +
                                      StunIpv4Address(true, 0x05060708, 3));
       },
       StunAnswer::Kind::Mapped, "203.0.113.9", "", true},
      {[](const std::string& r) {
         return StunSuccessFor(r, StunAttribute(0x8022, "no mapping here"));
       },
       StunAnswer::Kind::NoMapping, "", "no mapped address in the STUN answer"},
      {[](const std::string& r) {
         std::string answer =
             StunSuccessFor(r, StunAttribute(0x0009, "\0\0\x04\x14Unknown Attribute"s));
         answer[1] = 0x11;
         return answer;
       },
       StunAnswer::Kind::Error, "", "STUN error 420 Unknown Attribute"},
  };
  for (const Case& c : cases) {
    peer.SetScript([&](const std::string& r) { return std::vector{c.Answer(r)}; });
    const StunExchange exchange = Ask(peer.Port(), 5s);
    ASSERT_TRUE(exchange.Answered) << exchange.Cause;
    EXPECT_EQ(exchange.Answer.Result, c.Result);
    EXPECT_EQ(exchange.Answer.Address, c.Address);
    EXPECT_EQ(exchange.Answer.Why, c.Why);
    EXPECT_EQ(exchange.Answer.Xored, c.Xored);
  }

  std::uint16_t closed = 0;
  {
    ScriptedStunPeer gone;
    closed = gone.Port();
  }
  const auto start = std::chrono::steady_clock::now();
  const StunExchange refused = Ask(closed, 5s);
  EXPECT_EQ(refused.Cause, "Connection refused");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// The IPv6 form's mask runs on into the transaction id, which only a parse
// of known bytes can show: this machine's sockets are IPv4.
TEST(Stun, Ipv6MappedAddressIsUnmaskedWithCookieAndId) {
  StunTransactionId id{};
  for (std::size_t i = 0; i < id.size(); ++i) {
    id[i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  const std::string request(reinterpret_cast<const char*>(StunBindingRequest(id).data()), 20);
  // 2001:db8::1 port 8080, masked by hand.
  std::string value("\x00\x02", 2);
  value += static_cast<char>(0x1F ^ 0x21);
  value += static_cast<char>(0x90 ^ 0x12);
  const unsigned char plain[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  for (std::size_t i = 0; i < 16; ++i) {
    value += static_cast<char>(plain[i] ^ static_cast<unsigned char>(request[4 + i]));
  }
  const StunAnswer answer =
      ParseStunAnswer(StunSuccessFor(request, StunAttribute(0x0020, value)), id);
  EXPECT_EQ(answer.Result, StunAnswer::Kind::Mapped);
  EXPECT_EQ(answer.Address, "2001:db8::1");
  EXPECT_EQ(answer.Port, 8080);

  // Its length must be that of its family.
  const StunAnswer shortValue =
      ParseStunAnswer(StunSuccessFor(request, StunAttribute(0x0020, value.substr(0, 8))), id);
  EXPECT_EQ(shortValue.Result, StunAnswer::Kind::Malformed);
  EXPECT_EQ(shortValue.Why, "address attribute of 8 bytes for its family");
}
