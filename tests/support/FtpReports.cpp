#include "support/FtpReports.h"

#include "platform/ReportSink.h"

namespace tavro::test {

RecordedReport FtpText(const std::string& text) {
  RecordedReport report;
  report.message = WM_FTPTHREAD_MESSAGE;
  report.code = 13;
  report.text = text;
  return report;
}

RecordedReport FtpEvent(std::uint32_t code) {
  RecordedReport report;
  report.message = WM_FTPTHREAD_EVENT;
  report.code = code;
  return report;
}

RecordedReport FtpResult(std::uint32_t code, bool success) {
  RecordedReport report;
  report.message = WM_FTPTHREAD_MESSAGE;
  report.code = code;
  report.value = success ? 1 : 0;
  return report;
}

RecordedReport FtpEntryReport(const std::string& name, bool directory, std::uint64_t size) {
  RecordedReport report;
  report.message = WM_FTPTHREAD_MESSAGE;
  report.code = 16;
  report.hasEntry = true;
  report.entryName = name;
  report.entryIsDirectory = directory;
  report.entrySize = size;
  return report;
}

std::size_t FtpResultCount(const std::vector<RecordedReport>& reports) {
  std::size_t count = 0;
  for (const auto& report : reports) {
    if (report.message == WM_FTPTHREAD_MESSAGE && report.code != 13 && report.code != 16) {
      ++count;
    }
  }
  return count;
}

void PrintTo(const RecordedReport& report, std::ostream* out) {
  if (report.message == WM_FTPTHREAD_EVENT) {
    *out << "event(" << report.code << ")";
  } else if (report.text) {
    *out << "text(" << *report.text << ")";
  } else if (report.hasEntry) {
    *out << "entry(" << report.entryName << (report.entryIsDirectory ? ", dir, " : ", ")
         << report.entrySize << ")";
  } else {
    *out << "result(" << report.code << ", " << report.value << ")";
  }
}

}  // namespace tavro::test
