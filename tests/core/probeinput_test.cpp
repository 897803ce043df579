#include "platform/SystemNameResolver.h"
#include "probe/LanAddressChoice.h"
#include "probe/MailServerAddress.h"

#include <gtest/gtest.h>

using namespace tavro;

TEST(MailServerAddress, SplitsAtTheFirstColonAndReadsThePortAsAtoi) {
  const std::vector<std::tuple<std::string, std::string, std::optional<std::uint16_t>>> cases{
      {"mx.example", "mx.example", std::nullopt},
      {"mx.example:587", "mx.example", 587},
      {"mx.example:abc", "mx.example", std::nullopt},
      {"mx.example: \t+2525rest", "mx.example", 2525},
      {"mx.example:25:99", "mx.example", 25},
      {"mx.example:70000", "mx.example", 4464},
      {"mx.example:-1", "mx.example", 0xFFFF},
      {"mx.example:65536", "mx.example", 0},  // not zero as a number, so explicit
      {"mx.example:99999999999999999999025", "mx.example", 64561},  // no overflow
      {std::string("mx.example\0:25", 14), "mx.example", std::nullopt},
      {std::string(2000, 'h') + ":25", std::string(511, 'h'), std::nullopt},
      {std::string(509, 'h') + ":79", std::string(509, 'h'), 7},  // byte 512 is cut
  };
  for (const auto& [setting, host, port] : cases) {
    const auto parsed = MailServerAddress::Parse(setting);
    EXPECT_EQ(parsed.Host, host) << setting;
    EXPECT_EQ(parsed.Port, port) << setting;
  }
}

TEST(ChooseLanAddress, PrefersTheNameThenTheInterfacesThenTheNameAnyway) {
  const Ipv4Address loop(127, 0, 1, 1), linkLocal(169, 254, 9, 9), lan(192, 168, 0, 5),
      other(10, 1, 1, 1);
  auto interfaces = [](std::vector<Ipv4Address> list) { return [list] { return list; }; };
  EXPECT_EQ(ChooseLanAddress({loop, linkLocal, lan, other}, interfaces({other})), lan);
  EXPECT_EQ(ChooseLanAddress({loop}, interfaces({Ipv4Address(127, 0, 0, 1), linkLocal, other})),
            other);
  EXPECT_EQ(ChooseLanAddress({linkLocal, loop}, interfaces({})), linkLocal);
  EXPECT_EQ(ChooseLanAddress({Ipv4Address(169, 253, 255, 255)}, interfaces({})).ToString(),
            "169.253.255.255");
  EXPECT_EQ(ChooseLanAddress({Ipv4Address(128, 0, 0, 0)}, interfaces({})).ToString(), "128.0.0.0");
}

TEST(SystemNameResolver, ResolvesNumbersAndNamesAndGivesARealLanAddressWhereThereIsOne) {
  SystemNameResolver system;
  EXPECT_EQ(system.ResolveIPv4("127.0.0.1"), std::vector{Ipv4Address(127, 0, 0, 1)});
  EXPECT_TRUE(system.ResolveIPv4("").empty());
  // Debian's services database lists "mail" as an alias of smtp.
  EXPECT_EQ(system.ServicePort("mail"), 25);
  EXPECT_EQ(system.ServicePort("no-such-service"), std::nullopt);

  const auto interfaces = system.InterfaceAddresses();
  const auto usable = [](const Ipv4Address& a) { return !a.IsLoopback() && !a.IsLinkLocal(); };
  if (std::none_of(interfaces.begin(), interfaces.end(), usable)) {
    GTEST_SKIP() << "no interface but loopback";
  }
  const auto own = system.ResolveIPv4(system.HostName());
  ASSERT_FALSE(own.empty());
  EXPECT_TRUE(usable(ChooseLanAddress(own, [&] { return system.InterfaceAddresses(); })));
}
