// The worker that runs the address probe: once on request, and again each
// time Interval passes without one. It reports every notice of a run to its
// owner as kWmTraceThreadEvent, synchronously, while the owner exists.
//
// Lifetime: the working state is shared between this object and the thread,
// and the thread is never joined. Destroying the object asks the thread to
// stop, closes the report path and returns at once; the thread finishes its
// current network step (bounded by the time-outs) and frees the state.
#pragma once

#include "platform/NameResolver.h"
#include "platform/ReportSink.h"
#include "platform/Timeouts.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tavro {

class CTraceThread {
public:
  // An Interval that never runs out: probes run on request only.
  static constexpr std::uint32_t NoInterval = 0xFFFFFFFF;

  CTraceThread();
  // For tests: the name services the probe uses.
  explicit CTraceThread(std::shared_ptr<INameResolver> resolver);
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
