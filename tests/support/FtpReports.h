// Expected reports of CFtpThread, written the way the owner receives them.
#pragma once

#include "support/RecordingSink.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tavro::test {

RecordedReport FtpText(const std::string& text);
RecordedReport FtpEvent(std::uint32_t code);
RecordedReport FtpResult(std::uint32_t code, bool success);
RecordedReport FtpEntryReport(const std::string& name, bool directory, std::uint64_t size);

// The number of command results (not texts, entries or start notices).
std::size_t FtpResultCount(const std::vector<RecordedReport>& reports);

void PrintTo(const RecordedReport& report, std::ostream* out);

}  // namespace tavro::test
