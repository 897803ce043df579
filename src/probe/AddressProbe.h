// One run of the address probe: the LAN address from the machine's own name,
// the WAN address from the answer that a mail server gives to HELO (servers of
// that kind echo the caller's address in square brackets), or, where the
// setting is an http:// or https:// address, from a web check service's page,
// or from a STUN server's Binding answer where it begins with stun:. A setting
// of several such sources, separated by blanks, asks them all at once and
// takes the address only where they agree (WanSources.h).
#pragma once

#include "platform/NameResolver.h"
#include "platform/Timeouts.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavro {

// Notices of a run: the codes (wParam) of kWmTraceThreadEvent.
inline constexpr std::uint32_t TE_LAN_ADDRESS = 0;    // payload: LanAddress
inline constexpr std::uint32_t TE_WAN_ADDRESS = 1;    // payload: WanAddress
inline constexpr std::uint32_t TE_PROBE_STARTED = 2;  // no payload
inline constexpr std::uint32_t TE_STATUS_TEXT = 3;    // payload: StatusText
inline constexpr std::uint32_t TE_PROBE_FAILED = 4;   // no payload
// From the trace worker before each run, not from the probe: the PC's stable
// global IPv6 address, empty where it has none.
inline constexpr std::uint32_t TE_IPV6_ADDRESS = 5;
// Logged where the interfaces' addresses cannot be read, with a cause line.
inline constexpr char kIpv6ReadFailedText[] = "Err: IPv6アドレスを読み取れませんでした。";

// The settings one run works with, copied before it starts.
struct ProbeSettings {
  std::string MailServer;
  std::string Mode;
  SmtpTimeouts Timeouts;
};

class AddressProbe {
public:
  // Receives every notice. The payload is one of the probe's own strings (null
  // for the codes without one) and is valid only during the call.
  using Notify = std::function<void(std::uint32_t code, const std::string* payload)>;

  // With several sources the resolver is called from several threads at
  // once; notify only ever from the thread that runs ProbeAddresses.
  AddressProbe(std::shared_ptr<INameResolver> resolver, Notify notify);

  void ProbeAddresses(const ProbeSettings& settings);

  // May be called from any thread once nobody listens any more: the current
  // run ends before its next blocking step, and no later run does anything.
  void Abandon() { Abandoned.store(true); }

private:
  void ReportEvent(std::uint32_t code, const std::string* payload);
  void ReportText(std::string text);
  // The failure's text, its cause line (CauseLine), then TE_PROBE_FAILED.
  void Fail(std::string_view text, std::string_view cause);
  void ProbeWanFromSources(const std::vector<std::string>& sources, const ProbeSettings& settings);
  bool IsAbandoned() const { return Abandoned.load(); }

  std::shared_ptr<INameResolver> Resolver;
  Notify Send;
  std::atomic<bool> Abandoned{false};

  std::string LanAddress;
  std::string WanAddress;
  std::string StatusText;
};

}  // namespace tavro
