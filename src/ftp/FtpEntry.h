// One entry of a remote directory listing, as the directory search reports it.
#pragma once

#include <cstdint>
#include <string>

namespace tavro {

inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

struct FtpEntry {
  // The name exactly as the server's bytes gave it; it goes back to the server
  // unchanged when the entry is renamed, removed or fetched.
  std::string Name;
  std::uint32_t Attributes = FILE_ATTRIBUTE_NORMAL;
  std::uint64_t Size = 0;
  // Last write time in seconds since 1970-01-01 UTC; 0 where unknown.
  std::int64_t LastWriteTime = 0;

  bool IsDirectory() const { return (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  bool IsDotEntry() const { return Name == "." || Name == ".."; }
};

}  // namespace tavro
