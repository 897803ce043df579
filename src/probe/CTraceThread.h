// The worker that runs the address probe: once on request, and again each
// time Interval passes without one. It reports every notice of a run to its
// owner as kWmTraceThreadEvent, synchronously, while the owner exists.
//
// Each run begins with the PC's IPv6 address (TE_IPV6_ADDRESS), read from
// its interfaces without any traffic, so that the owner knows it before the
// LAN and WAN addresses that may publish the page: one change of both is one
// upload, not two.
//
// Lifetime: the working state is shared between this object and the thread,
// and the thread is never joined. Destroying the object asks the thread to
// stop, closes the report path and returns at once; the thread finishes its
// current network step (bounded by the time-outs) and frees the state.
#pragma once

#include "platform/GlobalIpv6.h"
#include "platform/NameResolver.h"
#include "platform/ReportSink.h"
#include "platform/Timeouts.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavro {

class CTraceThread {
public:
  // An Interval that never runs out: probes run on request only.
  static constexpr std::uint32_t NoInterval = 0xFFFFFFFF;

  // Where the PC's IPv6 addresses come from: the program reads its
  // interfaces (ReadIpv6Addresses).
  using Ipv6Reader = std::function<Ipv6Reading()>;

  CTraceThread();
  // For tests: the name services the probe uses, and the IPv6 addresses (no
  // reader: no IPv6 notice at all).
  explicit CTraceThread(std::shared_ptr<INameResolver> resolver, Ipv6Reader readIpv6 = {});
  ~CTraceThread();
  CTraceThread(const CTraceThread&) = delete;
  CTraceThread& operator=(const CTraceThread&) = delete;

  void SetOwner(std::weak_ptr<IReportSink> owner);
  // The copied settings; each run and each wait takes them afresh.
  void SetMailServer(std::string mailServer);
  void SetMode(std::string mode);
  void SetInterval(std::uint32_t interval);
  std::uint32_t Interval() const;
  void SetTimeouts(const SmtpTimeouts& timeouts);

  // Starts the thread; it waits for a request or for Interval to pass. Only the
  // first call starts one.
  void Start();
  void RequestProbe();
  // A request the thread has not taken up yet.
  bool ProbePending() const;
  // The thread ends once a run in progress has finished; the run's remaining
  // notices still reach the owner.
  void RequestStop();

private:
  struct State;
  static void Run(std::shared_ptr<State> state);

  std::shared_ptr<State> Shared;
  bool Started = false;
};

}  // namespace tavro
