#include "registry/RegFileStorage.h"
#include "platform/PosixIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace tavro {

namespace {

int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A new file of mode 0600 beside `target`, named after it; the name is
// returned through `name`.
int CreateTemporary(const std::filesystem::path& target, std::string& name) {
  name = target.string() + ".XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0 && ::fchmod(fd, 0600) != 0) {
    ::close(fd);
    ::unlink(name.c_str());
    return -1;
  }
  return fd;
}

bool SyncAndClose(int fd) {
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}

void SyncFolder(const std::filesystem::path& folder) {
  const int fd = OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Copies `from` to `to` by way of a temporary file and a rename.
bool CopyFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  const int in = OpenRetrying(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    return false;
  }
  std::string temporary;
  const int out = CreateTemporary(to, temporary);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  std::string buffer(1 << 16, '\0');
  for (;;) {
    const auto got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (!WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  ok = SyncAndClose(out) && ok;
  if (ok && ::rename(temporary.c_str(), to.c_str()) == 0) {
    return true;
  }
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace

std::filesystem::path RegFileStorage::Folder() const {
  auto folder = Path.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

bool RegFileStorage::EnsureFolder() const {
  std::filesystem::path partial;
  for (const auto& part : Path.parent_path()) {
    partial /= part;
    struct stat info {};
    if (::stat(partial.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) {
        return false;
      }
      continue;
    }
    if (errno != ENOENT) {
      return false;
    }
    if (::mkdir(partial.c_str(), 0700) != 0) {
      // Another process may have made it in the meantime.
      if (errno != EEXIST || ::stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
      }
    }
  }
  TightenFolder();
  return true;
}

void RegFileStorage::TightenFolder() const {
  // The file holds the password in a form anyone who can read it can decode,
  // and its .bad and temporary copies stand beside it: a folder made by an
  // older version, or by hand with the usual 0755, is closed to others. Only
  // the file's own folder, and only where it is ours; the folders above it
  // (~/.config) belong to other programs too.
  const auto folder = Folder();
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 07777) != 0700) {
    ::chmod(folder.c_str(), 0700);
  }
}

std::optional<RegFile> RegFileStorage::Read() const {
  // Non-blocking, so that a FIFO in the file's place cannot hang the open.
  const int fd = OpenRetrying(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      return RegFile{};
    }
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  RegFile tooLarge;
  tooLarge.MarkDamaged();
  if (static_cast<std::uintmax_t>(info.st_size) > RegFile::kMaxFileBytes) {
    ::close(fd);
    return tooLarge;
  }
  // The size may change while we read: never take more than the bound.
  std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (used > RegFile::kMaxFileBytes) {
        ::close(fd);
        return tooLarge;
      }
      bytes.resize(std::min(bytes.size() * 2, RegFile::kMaxFileBytes + 1));
    }
    const auto got = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    used += static_cast<std::size_t>(got);
  }
  ::close(fd);
  bytes.resize(used);
  return RegFile::Parse(bytes);
}

bool RegFileStorage::KeepBadCopy() const {
  // A hard link keeps the original without copying it (it may be large); the
  // earlier .bad, if any, gives way to the newer original.
  const auto bad = BadCopyFile();
  if (::unlink(bad.c_str()) != 0 && errno != ENOENT) {
    return CopyFile(Path, bad);
  }
  if (::link(Path.c_str(), bad.c_str()) == 0) {
    // The link shares the original's mode, which may be 0644 where the file
    // was put there by hand; the original is about to be replaced anyway.
    if (::chmod(bad.c_str(), 0600) == 0) {
      return true;
    }
    ::unlink(bad.c_str());
    return CopyFile(Path, bad);
  }
  if (errno == ENOENT) {
    return true;  // nothing there to keep
  }
  return CopyFile(Path, bad);
}

bool RegFileStorage::Write(std::string_view bytes, bool keepBadCopy) const {
  if (!EnsureFolder()) {
    return false;
  }
  std::string temporary;
  const int fd = CreateTemporary(Path, temporary);
  if (fd < 0) {
    return false;
  }
  bool ok = WriteAll(fd, bytes);
  ok = SyncAndClose(fd) && ok;
  if (ok && keepBadCopy) {
    ok = KeepBadCopy();
  }
  if (ok) {
    ok = ::rename(temporary.c_str(), Path.c_str()) == 0;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(Folder());
  return true;
}

}  // namespace tavro
