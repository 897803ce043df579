// A report sink for the core tests: keeps a copy of every report, with the
// payload copied during the call as the real owner would.
#pragma once

#include "platform/ReportSink.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavro::test {

struct RecordedReport {
  std::uint32_t Message = 0;
  std::uint32_t Code = 0;
  std::optional<bool> Result{};       // a command's outcome, if that is the payload
  std::optional<std::string> Text{};  // copy of the text payload, if any
  bool HasEntry = false;
  std::string EntryName{};  // raw name bytes of an FTP entry payload
  std::string EntryText{};  // the name as the worker decoded it
  bool EntryIsDirectory = false;
  std::uint64_t EntrySize = 0;

  bool operator==(const RecordedReport&) const = default;
};

class RecordingSink : public IReportSink {
public:
  void OnReport(const WorkerReport& report) override;

  std::vector<RecordedReport> Reports() const;
  std::size_t Count() const;
  // Waits until the predicate holds on the reports so far, or the time runs out.
  bool WaitFor(const std::function<bool(const std::vector<RecordedReport>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(90)) const;

  // Runs inside OnReport, on the worker's thread, before the report is kept;
  // lets a test act at an exact point of a worker's run.
  std::function<void(const WorkerReport&)> OnEach;

private:
  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  std::vector<RecordedReport> Recorded;
};

}  // namespace tavro::test
