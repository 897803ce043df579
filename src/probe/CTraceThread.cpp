#include "probe/CTraceThread.h"

#include "platform/CauseLine.h"
#include "platform/EventSet.h"
#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

namespace tavro {

namespace {

// Lower index wins a wait, so a stop signalled with a probe wins.
constexpr std::size_t StopEvent = 0;
constexpr std::size_t ProbeEvent = 1;

}  // namespace

// Everything the thread touches lives here, so that it outlives the owner's
// object for as long as the thread needs it.
struct CTraceThread::State {
  State(std::shared_ptr<INameResolver> resolver, Ipv6Reader readIpv6)
      : ReadIpv6(std::move(readIpv6)),
        Probe(std::move(resolver), [this](std::uint32_t code, const std::string* payload) {
          Channel.Deliver(payload ? WorkerReport::WithText(kWmTraceThreadEvent, code, *payload)
                                  : WorkerReport::Notice(kWmTraceThreadEvent, code));
        }) {}

  // The IPv6 notice of one run. A reading that fails says so once, until one
  // succeeds again, and leaves the owner's address as it was: a passing fault
  // must not empty the page.
  void ReportIpv6() {
    const Ipv6Reading reading = ReadIpv6();
    if (!reading.Ok()) {
      if (!Ipv6Failed) {
        Ipv6Failed = true;
        Channel.Deliver(
            WorkerReport::WithText(kWmTraceThreadEvent, TE_STATUS_TEXT, kIpv6ReadFailedText));
        Channel.Deliver(
            WorkerReport::WithText(kWmTraceThreadEvent, TE_STATUS_TEXT, CauseLine(reading.Error)));
      }
      return;
    }
    Ipv6Failed = false;
    Channel.Deliver(
        WorkerReport::WithText(kWmTraceThreadEvent, TE_IPV6_ADDRESS, StableIpv6Text(reading)));
  }

  mutable std::mutex Mutex;  // guards the settings below
  std::string MailServer;
  std::string Mode;
  std::uint32_t Interval = NoInterval;
  SmtpTimeouts Timeouts;

  EventSet Events{2};
  ReportChannel Channel;
  const Ipv6Reader ReadIpv6;
  bool Ipv6Failed = false;  // only the thread uses it
  AddressProbe Probe;       // only the thread uses it, apart from Abandon
};

CTraceThread::CTraceThread()
    : CTraceThread(std::make_shared<SystemNameResolver>(), [] { return ReadIpv6Addresses(); }) {}

CTraceThread::CTraceThread(std::shared_ptr<INameResolver> resolver, Ipv6Reader readIpv6)
    : Shared(std::make_shared<State>(std::move(resolver), std::move(readIpv6))) {}

CTraceThread::~CTraceThread() {
  Shared->Events.Signal(StopEvent);
  Shared->Channel.Close();
  Shared->Probe.Abandon();
}

void CTraceThread::SetOwner(std::weak_ptr<IReportSink> owner) {
  Shared->Channel.Open(std::move(owner));
}

void CTraceThread::SetMailServer(std::string mailServer) {
  std::lock_guard lock(Shared->Mutex);
  Shared->MailServer = std::move(mailServer);
}

void CTraceThread::SetMode(std::string mode) {
  std::lock_guard lock(Shared->Mutex);
  Shared->Mode = std::move(mode);
}

void CTraceThread::SetInterval(std::uint32_t interval) {
  std::lock_guard lock(Shared->Mutex);
  Shared->Interval = interval;
}

std::uint32_t CTraceThread::Interval() const {
  std::lock_guard lock(Shared->Mutex);
  return Shared->Interval;
}

void CTraceThread::SetTimeouts(const SmtpTimeouts& timeouts) {
  std::lock_guard lock(Shared->Mutex);
  Shared->Timeouts = timeouts;
}

void CTraceThread::Start() {
  if (Started) {
    return;
  }
  std::thread(&CTraceThread::Run, Shared).detach();
  Started = true;
}

void CTraceThread::RequestProbe() {
  Shared->Events.Signal(ProbeEvent);
}

bool CTraceThread::ProbePending() const {
  return Shared->Events.IsSignalled(ProbeEvent);
}

void CTraceThread::RequestStop() {
  Shared->Events.Signal(StopEvent);
}

void CTraceThread::Run(std::shared_ptr<State> state) {
  for (;;) {
    std::optional<std::chrono::milliseconds> timeout;
    {
      std::lock_guard lock(state->Mutex);
      if (state->Interval != NoInterval) {
        timeout = std::chrono::milliseconds(state->Interval);
      }
    }
    if (state->Events.WaitAny(timeout) == StopEvent) {
      return;
    }
    ProbeSettings settings;
    {
      std::lock_guard lock(state->Mutex);
      settings = {state->MailServer, state->Mode, state->Timeouts};
    }
    if (state->ReadIpv6) {
      state->ReportIpv6();
    }
    state->Probe.ProbeAddresses(settings);
  }
}

}  // namespace tavro
