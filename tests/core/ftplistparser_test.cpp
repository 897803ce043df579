#include "platform/FtpListParser.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <sstream>
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

// The moment the captures were taken.
const std::int64_t CaptureTime = Utc(2026, 12, 6, 20, 32);

struct Expected {
  std::string Name;
  bool Directory;
  std::uint64_t Size;
  std::int64_t Time;
};

std::vector<FtpEntry> ParseFile(const std::string& name, std::int64_t now = CaptureTime) {
  std::ifstream in(std::string(TAVRO_TEST_DATA_DIR) + "/ftp-listings/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  const FtpListParser parser(now);
  std::vector<FtpEntry> entries;
  std::size_t begin = 0;
  while (begin < text.size()) {
    auto end = text.find('\n', begin);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (auto entry = parser.ParseLine(std::string_view(text).substr(begin, end - begin))) {
      entries.push_back(*entry);
    }
    begin = end + 1;
  }
  return entries;
}

std::vector<Expected> SampleEntries(bool withHidden, bool futureHasYear) {
  const std::string cp932Name("\x83\x65\x83\x58\x83\x67.html");
  std::vector<Expected> all;
  if (withHidden) {
    all.push_back({".", true, 4096, Utc(2026, 12, 6, 8, 0)});
    all.push_back({"..", true, 4096, Utc(2026, 12, 5, 12, 0)});
    all.push_back({".htaccess", false, 17, Utc(2024, 2, 29)});
  }
  const std::vector<Expected> visible{
      {"big.iso", false, 5368709120ull, Utc(2025, 3, 15)},
      {"exact.bin", false, 1048576, Utc(2026, 6, 7)},
      // proftpd and pure-ftpd print this future date as a time without a
      // year, which reads as this year's date; vsftpd prints the year.
      {"future.txt", false, 12, futureHasYear ? Utc(2028, 12, 6) : Utc(2026, 12, 6, 0, 0)},
      {"index.html", false, 1234, Utc(2026, 11, 20, 9, 5)},
      {"link.html", false, 10, Utc(2026, 11, 20, 9, 6)},
      {"name with spaces.txt", false, 10, Utc(2026, 10, 1, 14, 30)},
      {"old.txt", false, 0, Utc(2020, 1, 2)},
      {"pub", true, 4096, Utc(2026, 11, 30, 16, 0)},
      {"site.old", true, 4096, Utc(2019, 5, 4)},
      {cp932Name, false, 11, Utc(2026, 12, 1, 23, 59)},
  };
  all.insert(all.end(), visible.begin(), visible.end());
  return all;
}

void ExpectEntries(const std::vector<FtpEntry>& got, const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(want[i].Name);
    EXPECT_EQ(got[i].Name, want[i].Name);
    EXPECT_EQ(got[i].IsDirectory(), want[i].Directory);
    EXPECT_EQ(got[i].Size, want[i].Size);
    EXPECT_EQ(got[i].LastWriteTime, want[i].Time);
    EXPECT_EQ(got[i].IsDotEntry(), want[i].Name == "." || want[i].Name == "..");
  }
}

}  // namespace

TEST(FtpListParser, ReadsTheCapturedListingsOfThreeServers) {
  for (const std::string server : {"vsftpd", "proftpd", "pure-ftpd"}) {
    SCOPED_TRACE(server);
    const bool year = server == "vsftpd";
    ExpectEntries(ParseFile(server + "-list-sample.txt"), SampleEntries(false, year));
    ExpectEntries(ParseFile(server + "-list-a-sample.txt"), SampleEntries(true, year));
    EXPECT_TRUE(ParseFile(server + "-list-empty.txt").empty());
  }
}

TEST(FtpListParser, InfersTheYearSoThatTheDateIsNotInTheFuture) {
  const FtpListParser january(Utc(2026, 1, 10, 12, 0));
  EXPECT_EQ(january.ParseLine("-rw-r--r-- 1 0 0 5 Dec 31 23:00 a")->LastWriteTime,
            Utc(2025, 12, 31, 23, 0));
  EXPECT_EQ(january.ParseLine("-rw-r--r-- 1 0 0 5 Jan 10 11:00 a")->LastWriteTime,
            Utc(2026, 1, 10, 11, 0));
  // A server east of UTC shows a file written just now some hours ahead: it
  // stays in this year rather than jumping a year back.
  EXPECT_EQ(january.ParseLine("-rw-r--r-- 1 0 0 5 Jan 10 21:00 a")->LastWriteTime,
            Utc(2026, 1, 10, 21, 0));
  EXPECT_EQ(january.ParseLine("-rw-r--r-- 1 0 0 5 Jan 12 09:00 a")->LastWriteTime,
            Utc(2025, 1, 12, 9, 0));
  // 29 February without a year: the last leap year.
  const FtpListParser march(Utc(2026, 3, 1));
  EXPECT_EQ(march.ParseLine("-rw-r--r-- 1 0 0 5 Feb 29 10:00 a")->LastWriteTime,
            Utc(2024, 2, 29, 10, 0));
}

TEST(FtpListParser, ReadsTheDosForm) {
  const FtpListParser parser(CaptureTime);
  auto dir = parser.ParseLine("12-06-26  08:05PM       <DIR>          name with spaces\r");
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->Name, "name with spaces");
  EXPECT_TRUE(dir->IsDirectory());
  EXPECT_EQ(dir->LastWriteTime, Utc(2026, 12, 6, 20, 5));

  auto file = parser.ParseLine("12-06-26  08:05PM                 1234 index.html");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Name, "index.html");
  EXPECT_FALSE(file->IsDirectory());
  EXPECT_EQ(file->Size, 1234u);

  EXPECT_EQ(parser.ParseLine("01-02-2020  12:00AM  0 old.txt")->LastWriteTime, Utc(2020, 1, 2));
  EXPECT_EQ(parser.ParseLine("07-04-99  12:30PM  <DIR> x")->LastWriteTime, Utc(1999, 7, 4, 12, 30));
  EXPECT_EQ(parser.ParseLine("12-06-26  20:05  6442450944 big")->Size, 6442450944ull);
}

TEST(FtpListParser, ReadsOtherUnixVariants) {
  const FtpListParser parser(CaptureTime);
  // Owners named like months, no group column, ACL mark, 300-byte name.
  auto owner = parser.ParseLine("-rw-r--r--   1 jan      dec         12 Nov 20 09:05 x y");
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->Name, "x y");
  EXPECT_EQ(owner->Size, 12u);
  auto noGroup = parser.ParseLine("drwxr-xr-x+ 2 owner 4096 Nov 20  2025 folder");
  ASSERT_TRUE(noGroup);
  EXPECT_TRUE(noGroup->IsDirectory());
  EXPECT_EQ(noGroup->LastWriteTime, Utc(2025, 11, 20));
  const std::string longName(300, 'n');
  auto longEntry = parser.ParseLine("-rw-r--r-- 1 0 0 1 Nov 20 09:05 " + longName);
  ASSERT_TRUE(longEntry);
  EXPECT_EQ(longEntry->Name, longName);
  EXPECT_EQ(parser.ParseLine("lrwxrwxrwx 1 0 0 4 Nov 20 09:05 a b -> c d")->Name, "a b");
}

TEST(FtpListParser, SkipsLinesItCannotRead) {
  const FtpListParser parser(CaptureTime);
  for (const std::string& line : std::vector<std::string>{
           "", "\r", "total 12", "drwxr-xr-x", "-rw-r--r-- 1 0 0 12 Dec 06 2028",
           "-rw-r--r-- 1 0 0 99999999999999999999999 Dec 06 08:00 huge",
           "-rw-r--r-- 1 0 0 12 Feb 30 08:00 bad-day", "-rw-r--r-- 1 0 0 12 Dec 06 25:00 bad-hour",
           "12-06-26  13:05PM  1 bad-hour", "99-99-99  08:05PM  1 bad-date",
           "12-06-26  08:05PM  <DIR>", "hello world", std::string(5000, '\xff')}) {
    EXPECT_FALSE(parser.ParseLine(line)) << line;
  }
}
