#include "support/RecordingSink.h"

#include "ftp/FtpEntry.h"

namespace tavro::test {

void RecordingSink::OnReport(const WorkerReport& report) {
  if (OnEach) {
    OnEach(report);
  }
  RecordedReport copy;
  copy.Message = report.Message;
  copy.Code = report.Code;
  copy.Result = report.Outcome();
  if (const std::string* text = report.Text()) {
    copy.Text = *text;
  }
  if (const ListedEntry* entry = report.Entry()) {
    copy.HasEntry = true;
    copy.EntryName = entry->Raw.Name;
    copy.EntryText = entry->Name;
    copy.EntryIsDirectory = entry->IsDirectory();
    copy.EntrySize = entry->Raw.Size;
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

}  // namespace tavro::test
