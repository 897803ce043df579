#include "ftp/FtpListParser.h"

#include <array>
#include <cctype>
#include <vector>

namespace tavro {
namespace {

// Listing times are the server's local time, written without a zone; a server
// east of UTC shows a file written a moment ago up to 14 hours "ahead". A day
// of grace keeps such a file in this year instead of moving it a year back.
constexpr std::int64_t FutureGrace = 24 * 60 * 60;

// Days since 1970-01-01 of a proleptic Gregorian date (valid for any year).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

int YearOf(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  if (seconds % 86400 < 0) {
    --days;
  }
  // Inverse of DaysFromCivil, year part only.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool IsValidDate(int y, int m, int d) {
  static constexpr std::array<int, 12> Days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) {
    return false;
  }
  const int last = m == 2 && IsLeap(y) ? 29 : Days[static_cast<std::size_t>(m - 1)];
  return d <= last;
}

std::int64_t ToSeconds(int y, int mo, int d, int h, int mi) {
  return DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
         mi * 60;
}

struct Token {
  std::size_t Begin;
  std::string_view Text;
};

// Blank-separated fields with their offsets, so that the name can be taken as
// the rest of the line, inner and repeated blanks included.
std::vector<Token> Split(std::string_view line, std::size_t maxTokens) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size() && tokens.size() < maxTokens) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
      ++i;
    }
    if (i == line.size()) {
      break;
    }
    const std::size_t begin = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
      ++i;
    }
    tokens.push_back({begin, line.substr(begin, i - begin)});
  }
  return tokens;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
  if (text.empty() || text.size() > 20) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

std::optional<int> ParseSmall(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) {
    return std::nullopt;
  }
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  return value;
}

int MonthNumber(std::string_view text) {
  static constexpr std::array<std::string_view, 12> Names{"jan", "feb", "mar", "apr", "may", "jun",
                                                          "jul", "aug", "sep", "oct", "nov", "dec"};
  if (text.size() != 3) {
    return 0;
  }
  for (std::size_t i = 0; i < Names.size(); ++i) {
    bool same = true;
    for (std::size_t k = 0; k < 3; ++k) {
      if (std::tolower(static_cast<unsigned char>(text[k])) != Names[i][k]) {
        same = false;
        break;
      }
    }
    if (same) {
      return static_cast<int>(i) + 1;
    }
  }
  return 0;
}

// "-rw-r--r--", "drwxr-xr-x", "lrwxrwxrwx", with an optional ACL or
// extended-attribute mark ("+", "@", ".") after the nine permission letters.
bool IsModeField(std::string_view text) {
  if (text.size() < 10 || text.size() > 11) {
    return false;
  }
  if (std::string_view("-dlbcpsD").find(text[0]) == std::string_view::npos) {
    return false;
  }
  for (std::size_t i = 1; i < 10; ++i) {
    if (std::string_view("rwxsStTlL-").find(text[i]) == std::string_view::npos) {
      return false;
    }
  }
  return text.size() == 10 || std::string_view("+@.").find(text[10]) != std::string_view::npos;
}

}  // namespace

FtpListParser::FtpListParser(std::int64_t now) : Now(now), NowYear(YearOf(now)) {}

std::optional<FtpEntry> FtpListParser::ParseLine(std::string_view line) const {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  if (line.empty()) {
    return std::nullopt;
  }
  if (std::isdigit(static_cast<unsigned char>(line[0]))) {
    return ParseDos(line);
  }
  return ParseUnix(line);
}

std::optional<FtpEntry> FtpListParser::ParseUnix(std::string_view line) const {
  // mode, links, owner, group, size, month, day, time or year: the date is
  // found by its month so that listings without a link count or a group read
  // as well. Owners may be named after months, so the last fit wins.
  const auto tokens = Split(line, 9);
  if (tokens.size() < 6 || !IsModeField(tokens[0].Text)) {
    return std::nullopt;
  }
  std::size_t month = 0;
  for (std::size_t i = 2; i + 2 < tokens.size(); ++i) {
    if (MonthNumber(tokens[i].Text) != 0 && ParseUnsigned(tokens[i - 1].Text) &&
        ParseSmall(tokens[i + 1].Text, 2)) {
      month = i;
    }
  }
  if (month == 0) {
    return std::nullopt;
  }
  const Token& stamp = tokens[month + 2];
  // The name follows the time or year after exactly one blank; a name may
  // itself begin with blanks.
  const std::size_t nameBegin = stamp.Begin + stamp.Text.size() + 1;
  if (nameBegin >= line.size() || line[nameBegin - 1] != ' ') {
    return std::nullopt;
  }
  std::string_view name = line.substr(nameBegin);

  const int mon = MonthNumber(tokens[month].Text);
  const int day = *ParseSmall(tokens[month + 1].Text, 2);
  int year = 0;
  int hour = 0;
  int minute = 0;
  if (const auto colon = stamp.Text.find(':'); colon != std::string_view::npos) {
    const auto h = ParseSmall(stamp.Text.substr(0, colon), 2);
    const auto m = ParseSmall(stamp.Text.substr(colon + 1), 2);
    if (!h || !m || *h > 23 || *m > 59) {
      return std::nullopt;
    }
    hour = *h;
    minute = *m;
    // The latest year in which the date exists and is not in the future. The
    // search starts a year ahead: on New Year's Eve in UTC, a server east of
    // UTC already writes dates of the next year.
    year = NowYear + 1;
    while (year > NowYear - 8 && (!IsValidDate(year, mon, day) ||
                                  ToSeconds(year, mon, day, hour, minute) > Now + FutureGrace)) {
      --year;
    }
  } else {
    const auto y = ParseSmall(stamp.Text, 4);
    if (!y || *y < 1900) {
      return std::nullopt;
    }
    year = *y;
  }
  if (!IsValidDate(year, mon, day)) {
    return std::nullopt;
  }

  FtpEntry entry;
  const char type = tokens[0].Text[0];
  if (type == 'l') {
    if (const auto arrow = name.find(" -> "); arrow != std::string_view::npos) {
      name = name.substr(0, arrow);
    }
  }
  if (name.empty()) {
    return std::nullopt;
  }
  entry.Name = std::string(name);
  entry.Attributes = type == 'd' ? kFileAttributeDirectory : kFileAttributeNormal;
  entry.Size = *ParseUnsigned(tokens[month - 1].Text);
  entry.LastWriteTime = ToSeconds(year, mon, day, hour, minute);
  return entry;
}

std::optional<FtpEntry> FtpListParser::ParseDos(std::string_view line) const {
  // MM-DD-YY[YY]  hh:mm[AM|PM]  (<DIR>|size)  name
  const auto tokens = Split(line, 3);
  if (tokens.size() < 3) {
    return std::nullopt;
  }
  const std::string_view date = tokens[0].Text;
  if (date.size() != 8 && date.size() != 10) {
    return std::nullopt;
  }
  if (date[2] != '-' || date[5] != '-') {
    return std::nullopt;
  }
  const auto mon = ParseSmall(date.substr(0, 2), 2);
  const auto day = ParseSmall(date.substr(3, 2), 2);
  auto year = ParseSmall(date.substr(6), 4);
  if (!mon || !day || !year) {
    return std::nullopt;
  }
  if (date.size() == 8) {
    *year += *year < 70 ? 2000 : 1900;
  }

  std::string_view time = tokens[1].Text;
  bool pm = false;
  bool twelveHour = false;
  if (time.size() > 2) {
    const std::string_view suffix = time.substr(time.size() - 2);
    if (suffix == "AM" || suffix == "am" || suffix == "PM" || suffix == "pm") {
      twelveHour = true;
      pm = suffix[0] == 'P' || suffix[0] == 'p';
      time.remove_suffix(2);
    }
  }
  const auto colon = time.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  auto hour = ParseSmall(time.substr(0, colon), 2);
  const auto minute = ParseSmall(time.substr(colon + 1), 2);
  if (!hour || !minute || *minute > 59) {
    return std::nullopt;
  }
  if (twelveHour) {
    if (*hour < 1 || *hour > 12) {
      return std::nullopt;
    }
    *hour = *hour % 12 + (pm ? 12 : 0);
  } else if (*hour > 23) {
    return std::nullopt;
  }
  if (!IsValidDate(*year, *mon, *day)) {
    return std::nullopt;
  }

  // The third field and the name: the name is everything after the blanks
  // that follow <DIR> or the size.
  const std::string_view kind = tokens[2].Text;
  std::size_t i = tokens[2].Begin + kind.size();
  while (i < line.size() && line[i] == ' ') {
    ++i;
  }
  if (i >= line.size()) {
    return std::nullopt;
  }
  FtpEntry entry;
  if (kind == "<DIR>") {
    entry.Attributes = kFileAttributeDirectory;
  } else {
    const auto size = ParseUnsigned(kind);
    if (!size) {
      return std::nullopt;
    }
    entry.Size = *size;
  }
  entry.Name = std::string(line.substr(i));
  entry.LastWriteTime = ToSeconds(*year, *mon, *day, *hour, *minute);
  return entry;
}

}  // namespace tavro
