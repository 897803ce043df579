#include "ftp/FtpListParser.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <optional>
#include <vector>

using tavro::FtpEntry;
using tavro::FtpListParser;

namespace {

// An independent clock: the C library's timegm.
std::int64_t Utc(int y, int mo, int d, int h = 0, int mi = 0) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  return static_cast<std::int64_t>(timegm(&tm));
}

// The moment the captures in tests/data were taken.
const std::int64_t CaptureTime = Utc(2026, 12, 6, 20, 32);

struct Expected {
  std::string Name;
  bool Directory;
  std::uint64_t Size;
  std::int64_t Time;
  bool operator==(const Expected&) const = default;
};

void PrintTo(const Expected& e, std::ostream* out) {
  *out << e.Name << (e.Directory ? " dir " : " ") << e.Size << " at " << e.Time;
}

// As the entry reads, with the dot entries' mark checked against the name.
std::optional<Expected> Read(const std::optional<FtpEntry>& got) {
  if (!got) {
    return std::nullopt;
  }
  EXPECT_EQ(got->IsDotEntry(), got->Name == "." || got->Name == "..") << got->Name;
  return Expected{got->Name, got->IsDirectory(), got->Size, got->LastWriteTime};
}

std::vector<Expected> ParseFile(const std::string& name) {
  std::ifstream in(std::string(TAVRO_TEST_DATA_DIR) + "/ftp-listings/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  const FtpListParser parser(CaptureTime);
  std::vector<Expected> entries;
  for (std::string line; std::getline(in, line);) {
    if (auto entry = Read(parser.ParseLine(line))) {
      entries.push_back(*entry);
    }
  }
  return entries;
}

}  // namespace

TEST(FtpListParser, ReadsTheCapturedListingsOfThreeServers) {
  for (const std::string server : {"vsftpd", "proftpd", "pure-ftpd"}) {
    SCOPED_TRACE(server);
    const std::vector<Expected> want{
        {".", true, 4096, Utc(2026, 12, 6, 8, 0)},
        {"..", true, 4096, Utc(2026, 12, 5, 12, 0)},
        {".htaccess", false, 17, Utc(2024, 2, 29)},
        {"big.iso", false, 5368709120ull, Utc(2025, 3, 15)},
        {"exact.bin", false, 1048576, Utc(2026, 6, 7)},
        // proftpd and pure-ftpd print this future date as a time without a
        // year, which reads as this year's date; vsftpd prints the year.
        {"future.txt", false, 12, server == "vsftpd" ? Utc(2028, 12, 6) : Utc(2026, 12, 6)},
        {"index.html", false, 1234, Utc(2026, 11, 20, 9, 5)},
        {"link.html", false, 10, Utc(2026, 11, 20, 9, 6)},
        {"name with spaces.txt", false, 10, Utc(2026, 10, 1, 14, 30)},
        {"old.txt", false, 0, Utc(2020, 1, 2)},
        {"pub", true, 4096, Utc(2026, 11, 30, 16, 0)},
        {"site.old", true, 4096, Utc(2019, 5, 4)},
        {"\x83\x65\x83\x58\x83\x67.html", false, 11, Utc(2026, 12, 1, 23, 59)}};
    EXPECT_EQ(ParseFile(server + "-list-a-sample.txt"), want);
  }
}

TEST(FtpListParser, ReadsOtherFormsAndSkipsWhatItCannotRead) {
  const std::int64_t january = Utc(2026, 1, 10, 12, 0);
  const struct {
    std::int64_t Now;
    std::string Line;
    std::optional<Expected> Entry;  // nothing: the line is skipped
  } cases[] = {
      // DOS form, as IIS writes it.
      {CaptureTime, "12-06-26  08:05PM       <DIR>          name with spaces\r",
       Expected{"name with spaces", true, 0, Utc(2026, 12, 6, 20, 5)}},
      {CaptureTime, "01-02-2020  12:00AM  0 old.txt",
       Expected{"old.txt", false, 0, Utc(2020, 1, 2)}},
      {CaptureTime, "07-04-99  12:30PM  <DIR> x", Expected{"x", true, 0, Utc(1999, 7, 4, 12, 30)}},
      {CaptureTime, "12-06-26  20:05  6442450944 big",
       Expected{"big", false, 6442450944ull, Utc(2026, 12, 6, 20, 5)}},
      // Owners named like months, no group column, ACL mark, links.
      {CaptureTime, "-rw-r--r--   1 jan      dec         12 Nov 20 09:05 x y",
       Expected{"x y", false, 12, Utc(2026, 11, 20, 9, 5)}},
      {CaptureTime, "drwxr-xr-x+ 2 owner 4096 Nov 20  2025 folder",
       Expected{"folder", true, 4096, Utc(2025, 11, 20)}},
      {CaptureTime, "lrwxrwxrwx 1 0 0 4 Nov 20 09:05 a b -> c d",
       Expected{"a b", false, 4, Utc(2026, 11, 20, 9, 5)}},
      // A date without a year takes the latest year that is not in the
      // future; a server east of UTC may show a file of just now some hours
      // ahead, which stays in this year or, on New Year's Eve, goes into the
      // next; 29 February goes to a leap year.
      {january, "-rw-r--r-- 1 0 0 5 Dec 31 23:00 a",
       Expected{"a", false, 5, Utc(2025, 12, 31, 23)}},
      {january, "-rw-r--r-- 1 0 0 5 Jan 10 21:00 a", Expected{"a", false, 5, Utc(2026, 1, 10, 21)}},
      {january, "-rw-r--r-- 1 0 0 5 Jan 12 09:00 a", Expected{"a", false, 5, Utc(2025, 1, 12, 9)}},
      {Utc(2024, 12, 31, 23), "-rw-r--r-- 1 0 0 5 Jan 01 10:00 a",
       Expected{"a", false, 5, Utc(2025, 1, 1, 10)}},
      {Utc(2026, 3, 1), "-rw-r--r-- 1 0 0 5 Feb 29 10:00 a",
       Expected{"a", false, 5, Utc(2024, 2, 29, 10)}},
      // Lines that hold no entry, or an impossible one.
      {CaptureTime, "total 12", std::nullopt},
      {CaptureTime, "-rw-r--r-- 1 0 0 99999999999999999999999 Dec 06 08:00 huge", std::nullopt},
      {CaptureTime, "-rw-r--r-- 1 0 0 12 Feb 30 08:00 bad-day", std::nullopt},
      {CaptureTime, "-rw-r--r-- 1 0 0 12 Dec 06 25:00 bad-hour", std::nullopt},
      {CaptureTime, "12-06-26  13:05PM  1 bad-hour", std::nullopt},
      {CaptureTime, "99-99-99  08:05PM  1 bad-date", std::nullopt},
      {CaptureTime, "12-06-26  08:05PM  <DIR>", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    EXPECT_EQ(Read(FtpListParser(c.Now).ParseLine(c.Line)), c.Entry);
  }
}
