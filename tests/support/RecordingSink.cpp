#include "support/RecordingSink.h"

#include "ftp/FtpEntry.h"

namespace tavro::test {

void RecordingSink::OnReport(const WorkerReport& report) {
  if (OnEach) {
    OnEach(report);
  }
  RecordedReport copy;
  copy.message = report.message;
  copy.code = report.code;
  copy.value = report.value;
  if (report.text) {
    copy.text = *report.text;
  }
  if (report.entry) {
    copy.hasEntry = true;
    copy.entryName = report.entry->Name;
    copy.entryIsDirectory = report.entry->IsDirectory();
    copy.entrySize = report.entry->Size;
  }
  {
    std::lock_guard lock(Mutex);
    Recorded.push_back(std::move(copy));
  }
  Changed.notify_all();
}

std::vector<RecordedReport> RecordingSink::Reports() const {
  std::lock_guard lock(Mutex);
  return Recorded;
}

std::size_t RecordingSink::Count() const {
  std::lock_guard lock(Mutex);
  return Recorded.size();
}

bool RecordingSink::WaitFor(const std::function<bool(const std::vector<RecordedReport>&)>& done,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] { return done(Recorded); });
}

bool RecordingSink::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitFor([count](const auto& r) { return r.size() >= count; }, timeout);
}

}  // namespace tavro::test
