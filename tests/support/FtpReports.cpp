#include "support/FtpReports.h"

#include "platform/CauseLine.h"
#include "platform/ReportSink.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tavro::test {

RecordedReport FtpText(const std::string& text) {
  return {.Message = kWmFtpThreadMessage, .Code = 13, .Text = text};
}

RecordedReport FtpEvent(std::uint32_t code) {
  return {.Message = kWmFtpThreadEvent, .Code = code};
}

RecordedReport FtpResult(std::uint32_t code, bool success) {
  return {.Message = kWmFtpThreadMessage, .Code = code, .Result = success};
}

RecordedReport FtpEntryReport(const std::string& name, bool directory, std::uint64_t size) {
  return {.Message = kWmFtpThreadMessage,
          .Code = 16,
          .HasEntry = true,
          .EntryName = name,
          .EntryText = name,
          .EntryIsDirectory = directory,
          .EntrySize = size};
}

FtpReports FtpStep(std::uint32_t code, const std::string& announce, const std::string& outcome,
                   bool success) {
  return {FtpText(announce), FtpEvent(code), FtpText(outcome), FtpResult(code, success)};
}

RecordedReport FtpCause(const std::string& cause) {
  return FtpText(CauseLine(cause));
}

FtpReports FtpFailure(std::uint32_t code, const std::string& announce, const std::string& outcome,
                      const std::string& cause) {
  return {FtpText(announce), FtpEvent(code), FtpText(outcome), FtpCause(cause),
          FtpResult(code, false)};
}

FtpReports FtpConnectFailed(const std::string& cause) {
  return FtpFailure(1, "Msg: 接続中", "Err: 接続できませんでした", cause);
}

FtpReports FtpConnected() {
  return FtpStep(1, "Msg: 接続中", "Msg: 接続しました", true);
}

FtpReports FtpListing(const std::string& directory, const FtpReports& entries) {
  return Join({{FtpText("Msg: ディレクトリ検索中: \"" + directory + "\""), FtpEvent(15)},
               entries,
               {FtpText("Msg: ディレクトリ検索終了"), FtpResult(15, true)}});
}

FtpReports Join(std::initializer_list<FtpReports> parts) {
  FtpReports all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::size_t FtpResultCount(const FtpReports& reports) {
  return static_cast<std::size_t>(std::count_if(reports.begin(), reports.end(), [](const auto& r) {
    return r.Message == kWmFtpThreadMessage && r.Code != 13 && r.Code != 16;
  }));
}

FtpReports AwaitFtpResults(const RecordingSink& sink, std::size_t count, std::size_t from) {
  EXPECT_TRUE(sink.WaitFor([&](const auto& r) { return FtpResultCount(r) >= count; }))
      << "waiting for " << count << " results";
  const auto reports = sink.Reports();
  return {reports.begin() + static_cast<std::ptrdiff_t>(std::min(from, reports.size())),
          reports.end()};
}

void PrintTo(const RecordedReport& report, std::ostream* out) {
  if (report.Message == kWmFtpThreadEvent) {
    *out << "event(" << report.Code << ")";
  } else if (report.Text) {
    *out << "text(" << *report.Text << ")";
  } else if (report.HasEntry) {
    *out << "entry(" << ::testing::PrintToString(report.EntryName) << " as " << report.EntryText
         << (report.EntryIsDirectory ? ", dir, " : ", ") << report.EntrySize << ")";
  } else {
    *out << "result(" << report.Code << ", "
         << (report.Result ? (*report.Result ? "ok" : "failed") : "no outcome") << ")";
  }
}

}  // namespace tavro::test
