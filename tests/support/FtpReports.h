// Expected reports of CFtpThread, written the way the owner receives them.
#pragma once

#include "support/RecordingSink.h"

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace tavro::test {

using FtpReports = std::vector<RecordedReport>;

RecordedReport FtpText(const std::string& text);
RecordedReport FtpEvent(std::uint32_t code);
RecordedReport FtpResult(std::uint32_t code, bool success);
// An entry whose name is the same in bytes and as text (ASCII, say).
RecordedReport FtpEntryReport(const std::string& name, bool directory, std::uint64_t size);

// A command that announces itself: its text, its start notice, the text of
// its outcome and its result.
FtpReports FtpStep(std::uint32_t code, const std::string& announce, const std::string& outcome,
                   bool success);
// The line after a failure's text that says why ("Err: 原因: " + cause).
RecordedReport FtpCause(const std::string& cause);
// A command that announces itself and fails: its outcome text, then its cause.
FtpReports FtpFailure(std::uint32_t code, const std::string& announce, const std::string& outcome,
                      const std::string& cause);
// A connect that fails for this cause.
FtpReports FtpConnectFailed(const std::string& cause);
// A connect that succeeds.
FtpReports FtpConnected();
// A listing of the directory that found the entries (at least one).
FtpReports FtpListing(const std::string& directory, const FtpReports& entries);
FtpReports Join(std::initializer_list<FtpReports> parts);

// The number of command results (not texts, entries or start notices).
std::size_t FtpResultCount(const FtpReports& reports);
// Waits until `count` results have arrived in all; returns the reports from
// `from` on.
FtpReports AwaitFtpResults(const RecordingSink& sink, std::size_t count, std::size_t from = 0);

void PrintTo(const RecordedReport& report, std::ostream* out);

}  // namespace tavro::test
