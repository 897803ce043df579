#include "platform/PublishableAddress.h"

#include <gtest/gtest.h>

using namespace std::string_literals;
using tavro::PublishableAddress;

TEST(PublishableAddress, OnlyAnAddressPassesAndTheIpv6TagIsDropped) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"203.0.113.9", "203.0.113.9"},
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"2001:db8::1", "2001:db8::1"},
      {"IPv6:2001:db8::1", "2001:db8::1"},
      {"ipv6:::1", "::1"},
      {"IPV6:::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255",
       "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"},
      {"", std::nullopt},
      {"IPv6:", std::nullopt},
      {"IPv6:1.2.3.4", std::nullopt},
      {"IPv6: 2001:db8::1", std::nullopt},
      {"999.1.1.1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {" 1.2.3.4", std::nullopt},
      {"1.2.3.4 ", std::nullopt},
      {"01.2.3.4", std::nullopt},
      {"0x7f.0.0.1", std::nullopt},
      {"1.2.3.4\0<b>"s, std::nullopt},
      {"2001:db8::1\0<b>"s, std::nullopt},
      {"fe80::1%eth0", std::nullopt},
      {"2001:db8::1::2", std::nullopt},
      {"localhost", std::nullopt},
      {"<script>alert(1)</script>", std::nullopt},
      {"1.2.3.4<script>", std::nullopt},
      {std::string(600, '1'), std::nullopt},
  };
  for (const auto& [text, address] : cases) {
    EXPECT_EQ(PublishableAddress(text), address) << text;
  }
}
