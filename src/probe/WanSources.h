// The `Trace` setting as a list of WAN address sources, and the rule by which
// their answers make one address. A single source is trusted as it always
// was; several are asked alike, and their address counts only where at least
// two gave a valid one and every source that gave an address gave the same.
// A check service that answers with a cookie's digits, a proxy's address or a
// mail server behind a relay then blocks the publish instead of going into the
// page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavro {

inline constexpr std::size_t kMinAgreeingSources = 2;

// The setting up to its first NUL, split at runs of blanks (spaces and tabs).
std::vector<std::string> SplitWanSources(std::string_view trace);

// True where the text begins with "stun:" (any case).
bool IsStunSource(std::string_view source);

struct StunServerAddress {
  std::string Host;
  std::uint16_t Port = 3478;
};

// "stun:host" or "stun:host:port" (port 1 to 65535, digits only). Nullopt for
// anything else, "stun:" alone and a bad port included.
std::optional<StunServerAddress> ParseStunSource(std::string_view source);

// What one source said.
struct SourceAnswer {
  std::string Source;                  // as written in the setting
  std::optional<std::string> Address;  // the address text it gave, as given
  std::string Failure;                 // where it gave none: why
};

struct WanDecision {
  bool Counts = false;
  std::string Address;  // where it counts: the agreed address as inet_ntop writes it
  std::size_t Agreeing = 0;
  std::string Cause;  // where it does not: why, in a few words
};

// The rule above. An address text that is no IPv4 or IPv6 address counts as
// an answer that disagrees with every other; a source that gave no address at
// all (silent, refused, no address in its answer) neither helps nor blocks.
// Addresses are compared as addresses, so "IPv6:2001:DB8::1" and "2001:db8::1"
// agree.
WanDecision DecideWanAddress(const std::vector<SourceAnswer>& answers);

// The log's line for one source: "Msg: " with its address, or "Err: " with
// what it said instead.
std::string SourceAnswerLine(const SourceAnswer& answer);
// The one "Err: " line of a failed decision: every source and what it said.
std::string DisagreementLine(const std::vector<SourceAnswer>& answers);
// The "Msg: " line of an address that counts.
std::string AgreementLine(const WanDecision& decision);

// The warning for an address that cannot reach this PC from outside: one
// that the provider shares among its customers (100.64.0.0/10), or one of a
// private network (10/8, 172.16/12, 192.168/16, 127/8), which means the
// source sits on the same side of the NAT. The log's "Msg: " line, and the
// shorter text of the tray's notice. Nullopt for every other address.
struct AddressWarning {
  std::string LogLine;
  std::string TrayText;
};
std::optional<AddressWarning> WanAddressWarning(std::string_view address);

}  // namespace tavro
