// One entry of a remote directory listing, as the directory search reports it.
#pragma once

#include <cstdint>
#include <string>

namespace tavro {

// The directory search's attribute bits, named apart from the platform's
// FILE_ATTRIBUTE_* macros.
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;  // FILE_ATTRIBUTE_DIRECTORY
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;     // FILE_ATTRIBUTE_NORMAL

struct FtpEntry {
  // The name exactly as the server's bytes gave it; it goes back to the server
  // unchanged when the entry is renamed, removed or fetched.
  std::string Name;
  std::uint32_t Attributes = kFileAttributeNormal;
  std::uint64_t Size = 0;
  // Last write time in seconds since 1970-01-01 UTC; 0 where unknown.
  std::int64_t LastWriteTime = 0;

  bool IsDirectory() const { return (Attributes & kFileAttributeDirectory) != 0; }
  bool IsDotEntry() const { return Name == "." || Name == ".."; }
};

// An entry as the FTP worker hands it to its owner: the name already decoded
// with the session's encoding, beside the bytes the server gave. The decoded
// name converts back to exactly those bytes (FtpTextCodec), so an owner shows
// it and passes it back, alone or joined into a path, and the server sees
// its own name again.
struct ListedEntry {
  std::string Name;  // program text (UTF-8)
  FtpEntry Raw;      // Raw.Name: the server's bytes

  bool IsDirectory() const { return Raw.IsDirectory(); }
  bool IsDotEntry() const { return Raw.IsDotEntry(); }
};

}  // namespace tavro
