#include "ftp/PartialFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace tavro {

PartialFile::PartialFile(const std::string& target) {
  const auto slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + ".tavro-" +
                                  std::to_string(::getpid()) + "-" +
                                  std::to_string(counter.fetch_add(1)) + ".part";
    Fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Fd >= 0) {
      Path = candidate;
      return;
    }
    if (errno != EEXIST) {
      return;
    }
  }
}

PartialFile::~PartialFile() {
  CloseFd();
  if (!Path.empty()) {
    ::unlink(Path.c_str());
  }
}

bool PartialFile::CloseFd() {
  if (Fd < 0) {
    return true;
  }
  const bool ok = ::close(Fd) == 0;
  Fd = -1;
  return ok;
}

bool PartialFile::Commit(const std::string& target, bool replace) {
  if (!CloseFd()) {
    return false;
  }
  bool moved = false;
  if (replace) {
    moved = ::rename(Path.c_str(), target.c_str()) == 0;
  } else if (::renameat2(AT_FDCWD, Path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    moved = true;
  } else if (errno == EINVAL || errno == ENOSYS) {
    // File systems without RENAME_NOREPLACE: a hard link fails just as
    // surely on an existing target.
    moved = ::link(Path.c_str(), target.c_str()) == 0;
    if (moved) {
      ::unlink(Path.c_str());
    }
  }
  if (moved) {
    Path.clear();
  }
  return moved;
}

std::unique_ptr<PartialFile> OpenDownloadTarget(const std::string& localFile, bool replaceExisting,
                                                std::string& cause) {
  if (localFile.empty()) {
    cause = "no local file name";
    return nullptr;
  }
  struct stat existing {};
  if (!replaceExisting && ::lstat(localFile.c_str(), &existing) == 0) {
    cause = "the local file exists";
    return nullptr;
  }
  auto partial = std::make_unique<PartialFile>(localFile);
  if (partial->Fd < 0) {
    cause = std::system_category().message(errno);
    return nullptr;
  }
  return partial;
}

}  // namespace tavro
