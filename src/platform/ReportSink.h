// The path by which a worker thread reports to the window that owns it.
//
// On Windows a worker sends a window message synchronously; here it calls a
// sink. The GUI implements the sink by running the handler on its own thread
// and waiting for it, so a payload (text or entry) only has to stay valid for
// the duration of the call. Workers hold the sink weakly: once the owner has
// dropped its shared_ptr, reports are silently dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace tavro {

struct FtpEntry;

// Message numbers as the Windows program used them (WM_APP + n), named apart
// from the WM_* macros of the platform's headers.
inline constexpr std::uint32_t kWmFtpThreadEvent = 0x8001;    // WM_FTPTHREAD_EVENT
inline constexpr std::uint32_t kWmFtpThreadMessage = 0x8002;  // WM_FTPTHREAD_MESSAGE
inline constexpr std::uint32_t kWmTraceThreadEvent = 0x8005;  // WM_TRACETHREAD_EVENT

// One report: the message, its code (wParam) and its payload (lParam). Exactly
// one of value, text or entry is meaningful, as the message and code say.
struct WorkerReport {
  std::uint32_t Message = 0;
  std::uint32_t Code = 0;
  std::int64_t Value = 0;
  const std::string* Text = nullptr;
  const FtpEntry* Entry = nullptr;
};

class IReportSink {
public:
  virtual ~IReportSink() = default;
  // Called on the worker's thread; returns once the owner has handled it.
  virtual void OnReport(const WorkerReport& report) = 0;
};

// The worker's end of the report path. Shared between the owner's object and
// its thread; the owner closes it when it goes away.
class ReportChannel {
public:
  void Open(std::weak_ptr<IReportSink> sink) {
    std::lock_guard lock(Mutex);
    Sink = std::move(sink);
  }
  void Close() {
    std::lock_guard lock(Mutex);
    Sink.reset();
  }
  // Delivers while the sink still exists; the lock is not held during the call
  // so that an owner handling a report may close the channel without deadlock.
  void Deliver(const WorkerReport& report) {
    std::shared_ptr<IReportSink> sink;
    {
      std::lock_guard lock(Mutex);
      sink = Sink.lock();
    }
    if (sink) {
      sink->OnReport(report);
    }
  }

private:
  std::mutex Mutex;
  std::weak_ptr<IReportSink> Sink;
};

}  // namespace tavro
