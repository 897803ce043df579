#include "platform/LeftoverSweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tavro {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLower(char c) {
  return c >= 'a' && c <= 'z';
}
bool IsUpper(char c) {
  return c >= 'A' && c <= 'Z';
}

// Six of the letters and digits mkstemp draws from. Six of one sort only
// (backup, BACKUP, 240115) are far more likely a name someone gave a copy
// than mkstemp's draw, which mixes them but about once in a hundred: such a
// leftover is left, never a user's file removed.
bool IsTemporarySuffix(std::string_view suffix) {
  if (suffix.size() != 6) {
    return false;
  }
  int lower = 0, upper = 0, digits = 0;
  for (char c : suffix) {
    lower += IsLower(c);
    upper += IsUpper(c);
    digits += IsDigit(c);
  }
  if (lower + upper + digits != 6) {
    return false;
  }
  return lower != 6 && upper != 6 && digits != 6;
}

// A decimal number as std::to_string writes one: no sign, no leading zero.
// Takes it off the front of `text`.
bool TakeNumber(std::string_view& text) {
  std::size_t length = 0;
  while (length < text.size() && IsDigit(text[length])) {
    ++length;
  }
  if (length == 0 || length > 10 || (length > 1 && text[0] == '0')) {
    return false;
  }
  text.remove_prefix(length);
  return true;
}

bool TakePrefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) {
    return false;
  }
  text.remove_prefix(prefix.size());
  return true;
}

bool IsPartialPageSuffix(std::string_view suffix) {
  return TakePrefix(suffix, ".tmp.") && TakeNumber(suffix) && TakePrefix(suffix, "-") &&
         TakeNumber(suffix) && suffix == ".part";
}

std::chrono::system_clock::time_point ModifiedAt(const struct stat& info) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(info.st_mtim.tv_sec) +
          std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
}

}  // namespace

bool IsLeftoverName(std::string_view name, std::string_view base, LeftoverKind kind) {
  if (base.empty() || !TakePrefix(name, base)) {
    return false;
  }
  switch (kind) {
    case LeftoverKind::SettingsSave:
      return TakePrefix(name, ".") && IsTemporarySuffix(name);
    case LeftoverKind::PartialPage:
      return IsPartialPageSuffix(name);
  }
  return false;
}

std::size_t SweepLeftovers(const std::filesystem::path& file, LeftoverKind kind,
                           std::chrono::system_clock::time_point now) {
  const std::string base = file.filename().string();
  if (base.empty()) {
    return 0;
  }
  // A relative file is where the program that made it would have put it:
  // beside the working folder's entry of that name.
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  int fd;
  do {
    fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return 0;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return 0;
  }
  const uid_t self = ::getuid();
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsLeftoverName(entry->d_name, base, kind)) {
      continue;
    }
    // By the entry itself, never what a link points to. unlinkat removes the
    // entry whatever it has become since, and never follows a link either.
    struct stat info {};
    if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != self || now - ModifiedAt(info) <= kLeftoverAge) {
      continue;
    }
    if (::unlinkat(fd, entry->d_name, 0) == 0) {
      ++removed;
    }
  }
  ::closedir(dir);  // closes fd too
  return removed;
}

void SweepStartupLeftovers(const std::filesystem::path& settingsFile,
                           const std::vector<std::string>& templates,
                           std::chrono::system_clock::time_point now) {
  if (!settingsFile.empty()) {
    SweepLeftovers(settingsFile, LeftoverKind::SettingsSave, now);
  }
  for (const std::string& page : templates) {
    if (!page.empty()) {
      SweepLeftovers(page, LeftoverKind::PartialPage, now);
    }
  }
}

}  // namespace tavro
