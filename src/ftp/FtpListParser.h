// Reads the lines of an FTP LIST reply into directory entries. Servers write
// LIST for people, not programs, so the parser accepts the forms that servers
// really send: the Unix `ls -l` form (numeric or named owners, with or without
// a group, "Dec  6 20:05" and "Jan 02  2020" dates, symbolic links as
// "name -> target") and the DOS form of IIS ("12-06-26  08:05PM  <DIR>  name").
// A line it cannot read yields nothing; it never throws.
#pragma once

#include "ftp/FtpEntry.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavro {

class FtpListParser {
public:
  // now: when the listing was fetched, in seconds since 1970 UTC. A Unix date
  // written without a year gets the latest year that does not put it in the
  // future (servers print the year only for old dates).
  explicit FtpListParser(std::int64_t now);

  std::optional<FtpEntry> ParseLine(std::string_view line) const;

private:
  std::optional<FtpEntry> ParseUnix(std::string_view line) const;
  std::optional<FtpEntry> ParseDos(std::string_view line) const;

  std::int64_t Now;
  int NowYear;
};

}  // namespace tavro
