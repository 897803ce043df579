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
#include <optional>
#include <string>
#include <variant>

namespace tavro {

struct ListedEntry;

// Message numbers as the Windows program used them (WM_APP + n), named apart
// from the WM_* macros of the platform's headers.
inline constexpr std::uint32_t kWmFtpThreadEvent = 0x8001;    // WM_FTPTHREAD_EVENT
inline constexpr std::uint32_t kWmFtpThreadMessage = 0x8002;  // WM_FTPTHREAD_MESSAGE
inline constexpr std::uint32_t kWmTraceThreadEvent = 0x8005;  // WM_TRACETHREAD_EVENT

// A command's outcome, the payload of an FTP command's closing report.
struct CommandResult {
  bool Success = false;
};

// One report: the message, its code (wParam) and its payload (lParam). The
// payload's type says what it carries, so a handler asks for the kind it
// expects and gets nothing where the report carries another: asked for its
// text, a command's result has none.
// A text or entry payload is the worker's own and is valid only during the
// call that delivers it.
class WorkerReport {
public:
  using Payload =
      std::variant<std::monostate, CommandResult, const std::string*, const ListedEntry*>;

  std::uint32_t Message = 0;
  std::uint32_t Code = 0;

  // A report without payload: a start notice, a probe's start or failure.
  static WorkerReport Notice(std::uint32_t message, std::uint32_t code) {
    return WorkerReport(message, code, std::monostate{});
  }
  static WorkerReport Result(std::uint32_t message, std::uint32_t code, bool success) {
    return WorkerReport(message, code, CommandResult{success});
  }
  static WorkerReport WithText(std::uint32_t message, std::uint32_t code, const std::string& text) {
    return WorkerReport(message, code, &text);
  }
  static WorkerReport WithEntry(std::uint32_t message, std::uint32_t code,
                                const ListedEntry& entry) {
    return WorkerReport(message, code, &entry);
  }

  // Each is empty (nullptr, nullopt) unless the payload is of that kind.
  const std::string* Text() const { return Get<const std::string*>(); }
  const ListedEntry* Entry() const { return Get<const ListedEntry*>(); }
  std::optional<bool> Outcome() const {
    const auto* result = std::get_if<CommandResult>(&Carried);
    return result ? std::optional<bool>(result->Success) : std::nullopt;
  }
  // A command's outcome that was a success; false for any other payload.
  bool Succeeded() const { return Outcome().value_or(false); }

private:
  WorkerReport(std::uint32_t message, std::uint32_t code, Payload payload)
      : Message(message), Code(code), Carried(payload) {}

  template <typename Pointer>
  Pointer Get() const {
    const auto* held = std::get_if<Pointer>(&Carried);
    return held ? *held : nullptr;
  }

  Payload Carried;
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
