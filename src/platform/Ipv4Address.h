// An IPv4 address as the probe handles it: a value in host byte order, so that
// range tests read as the numbers people write.
#pragma once

#include <cstdint>
#include <string>

namespace tavro {

class Ipv4Address {
public:
  constexpr Ipv4Address() = default;
  constexpr explicit Ipv4Address(std::uint32_t hostOrder) : Value(hostOrder) {}
  constexpr Ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
      : Value(std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | std::uint32_t{c} << 8 | d) {}

  constexpr std::uint32_t HostOrder() const { return Value; }
  constexpr bool IsLoopback() const { return (Value >> 24) == 127; }
  constexpr bool IsLinkLocal() const { return (Value >> 16) == 0xA9FE; }

  // Dotted decimal, as inet_ntoa writes it, without its shared static buffer.
  std::string ToString() const;

  constexpr bool operator==(const Ipv4Address&) const = default;

private:
  std::uint32_t Value = 0;
};

}  // namespace tavro
