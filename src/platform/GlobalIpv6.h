// The PC's own global IPv6 address, read from its interfaces: no traffic
// leaves the machine. Behind carrier-grade NAT it is often the only way in
// from outside, and what people want published is the stable address, not a
// temporary (privacy) one that is replaced every day.
//
// The addresses and their flags come from the kernel over a routing netlink
// socket (an address dump). getifaddrs would give the addresses but not the
// flags, and without the flags a temporary address cannot be told from the
// stable one.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavro {

// Address flags as the kernel reports them (IFA_F_* of <linux/if_addr.h>).
namespace ipv6flag {
constexpr std::uint32_t kTemporary = 0x01;   // IFA_F_TEMPORARY: a privacy address
constexpr std::uint32_t kDadFailed = 0x08;   // IFA_F_DADFAILED: another host has it
constexpr std::uint32_t kDeprecated = 0x20;  // IFA_F_DEPRECATED: preferred lifetime over
constexpr std::uint32_t kTentative = 0x40;   // IFA_F_TENTATIVE: not yet checked unique
constexpr std::uint32_t kPermanent = 0x80;   // IFA_F_PERMANENT: configured, no lifetime
}  // namespace ipv6flag

// The kernel's "for ever" lifetime.
constexpr std::uint32_t kLifetimeForever = 0xFFFFFFFFu;

struct Ipv6InterfaceAddress {
  std::array<std::uint8_t, 16> Bytes{};  // network order
  unsigned InterfaceIndex = 0;
  std::uint32_t Flags = 0;  // ipv6flag
  std::uint8_t PrefixLength = 0;
  std::uint32_t PreferredLifetime = kLifetimeForever;  // seconds left
  std::uint32_t ValidLifetime = kLifetimeForever;

  // As inet_ntop writes it ("2400:1::10"): the form the page gets.
  std::string Text() const;
};

// A global unicast address (2000::/3) outside the documentation ranges
// (2001:db8::/32, 3fff::/20). Everything else is excluded by the first test:
// unspecified, loopback, v4-mapped and v4-compatible, link-local fe80::/10,
// site-local, unique-local fc00::/7 and multicast.
bool IsGlobalIpv6(const std::array<std::uint8_t, 16>& bytes);

// Global, and neither temporary, deprecated, tentative nor refused by the
// duplicate check: an address worth publishing.
bool IsStableGlobalIpv6(const Ipv6InterfaceAddress& address);

// The address to publish, from one reading of all interfaces. The order, so
// that a user can tell which one it will be:
//   1. the interface with the lowest index (the order `ip address` lists them
//      in, the first network card usually before VPNs and bridges);
//   2. on it, a configured address (permanent: no lifetime) before one from a
//      router advertisement or DHCPv6;
//   3. then the numerically lowest address.
// Lifetimes play no part: they count down and are renewed at each router
// advertisement, so ordering by them would swap between two addresses from one
// reading to the next and publish for nothing.
std::optional<Ipv6InterfaceAddress> ChooseStableIpv6(
    const std::vector<Ipv6InterfaceAddress>& addresses);

// ---- Reading them -----------------------------------------------------------

// Bounds for one reading. The kernel answers at once; the time-out is for a
// kernel or sandbox that does not, and the sizes keep a misbehaving answer
// from growing without end.
struct Ipv6ReadLimits {
  std::chrono::milliseconds Reply{2'000};  // the whole answer, all its parts
  std::size_t Bytes = std::size_t{4} << 20;
  std::size_t Addresses = 4096;
};

struct Ipv6Reading {
  std::vector<Ipv6InterfaceAddress> Addresses;  // IPv6 only, all of them, unfiltered
  std::string Error;                            // empty when the reading is whole

  bool Ok() const { return Error.empty(); }
};

// All IPv6 addresses of all interfaces of the network namespace the process
// is in. On failure, Error says why in one line and Addresses is empty: a
// partial reading is never taken for the whole.
Ipv6Reading ReadIpv6Addresses(const Ipv6ReadLimits& limits = {});

// The address the page gets from a whole reading, as text; empty where there
// is none. A change of it, and only of it, is a change for the page: lifetimes
// and temporary addresses coming and going are not.
std::string StableIpv6Text(const Ipv6Reading& reading);

// ---- The answer's format, for the reader and its tests -------------------

enum class DumpStep {
  More,         // the datagram was read; the answer goes on
  Done,         // the answer's end was in it
  Interrupted,  // the addresses changed during the dump: read again
  Failed,       // error says why
};

// Reads one datagram of the kernel's answer to the request with sequence
// number `sequence` sent from netlink port `port`, appending the IPv6
// addresses to `out`. Every length is checked before what it covers is read;
// messages of other requests are passed over. More than `maxAddresses` in
// `out` fails.
DumpStep ParseAddressDump(std::string_view datagram, std::uint32_t sequence, std::uint32_t port,
                          std::size_t maxAddresses, std::vector<Ipv6InterfaceAddress>& out,
                          std::string& error);

}  // namespace tavro
