#include "ftp/FtpReplace.h"

#include "ftp/FtpEntry.h"
#include "ftp/RemoteSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

namespace tavro {
namespace {

constexpr std::string_view Mark = ".tavro-";
// A sweep deletes at most this many left-overs; the next one takes the rest.
constexpr std::size_t MaxSweep = 32;

// Stem and extension ("index", ".html"); a name whose only dot leads it has
// no extension. The dot is ASCII and no trail byte of code page 932, so the
// split works on server bytes as well as on program text.
std::pair<std::string_view, std::string_view> SplitName(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    return {name, {}};
  }
  return {name.substr(0, dot), name.substr(dot)};
}

bool Digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The temporary files of this process that an attempt is using now, by their
// remote path: a sweep by another attempt (the unpublish on the way out while
// the worker still uploads) leaves them alone.
class InFlight {
public:
  explicit InFlight(std::string path) : Path(std::move(path)) {
    std::lock_guard lock(Mutex());
    Paths().insert(Path);
  }
  ~InFlight() {
    std::lock_guard lock(Mutex());
    Paths().erase(Path);
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

  static bool Holds(const std::string& path) {
    std::lock_guard lock(Mutex());
    return Paths().count(path) != 0;
  }

  const std::string Path;

private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::set<std::string>& Paths() {
    static std::set<std::string> paths;
    return paths;
  }
};

// The folder part of a remote path as LIST takes it: "" for the session's
// folder, "/" for the root, "/pub" for "/pub/".
std::string ListingFolder(const std::string& prefix) {
  if (prefix.size() <= 1) {
    return prefix;
  }
  return prefix.substr(0, prefix.size() - 1);
}

void Sweep(RemoteSession& session, const std::string& prefix, std::string_view name) {
  const auto wireName = session.Codec().ToWire(name);
  if (!wireName) {
    return;
  }
  std::vector<std::string> found;
  session.List(ListingFolder(prefix), [&](const FtpEntry& entry) {
    if (!entry.IsDirectory() && found.size() < MaxSweep && IsReplacementOf(entry.Name, *wireName)) {
      found.push_back(entry.Name);
    }
  });
  for (const std::string& wire : found) {
    const std::string path = prefix + session.Codec().ToText(wire);
    if (!session.IsOpen()) {
      return;
    }
    if (!InFlight::Holds(path)) {
      session.Delete(path);
    }
  }
}

// Why the local file cannot be uploaded, in the words the sessions' Upload uses.
std::optional<std::string> LocalFileProblem(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::system_category().message(errno);
  }
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  if (!regular) {
    return std::string("the local file is no regular file");
  }
  return std::nullopt;
}

// The way before temporary names: delete the target, then upload to it.
bool DeleteThenUpload(RemoteSession& session, const std::string& localFile,
                      std::string_view remoteFile, bool deleteMustSucceed, std::string& cause) {
  if (!session.Delete(remoteFile) && (deleteMustSucceed || !session.IsOpen())) {
    cause = session.LastCause();
    return false;
  }
  if (!session.Upload(localFile, remoteFile)) {
    cause = session.LastCause();
    return false;
  }
  return true;
}

// The target replaced by whichever way the server allows.
bool PutInPlace(RemoteSession& session, const std::string& localFile, std::string_view remoteFile,
                const std::string& prefix, std::string_view name, const ReplaceOptions& options,
                std::string& cause) {
  if (options.TargetMustExist) {
    const auto exists = session.FileExists(remoteFile);
    if (!exists) {
      // No SIZE: the delete of the old way is the test.
      return DeleteThenUpload(session, localFile, remoteFile, true, cause);
    }
    if (!*exists) {
      cause = session.LastCause();
      return false;
    }
  }

  static std::atomic<unsigned> attempts{0};
  const InFlight temporary(prefix + ReplacementName(name, attempts.fetch_add(1)));
  if (!session.Upload(localFile, temporary.Path)) {
    cause = session.LastCause();
    if (session.IsOpen()) {
      session.Delete(temporary.Path);  // the server may keep what arrived
    }
    return false;
  }

  using Result = RemoteSession::RenameResult;
  Result renamed = session.TryRename(temporary.Path, remoteFile);
  bool targetDeleted = false;
  if (renamed == Result::TargetRefused) {
    // Servers that will not rename over an existing file.
    targetDeleted = session.Delete(remoteFile);
    renamed = targetDeleted ? session.TryRename(temporary.Path, remoteFile) : Result::SourceRefused;
  }
  if (renamed == Result::Renamed) {
    return true;
  }
  if (!session.IsOpen() || renamed == Result::Failed) {
    cause = session.LastCause();
    return false;
  }
  // Renames refused altogether: the old way.
  session.Delete(temporary.Path);
  if (targetDeleted) {
    if (!session.Upload(localFile, remoteFile)) {
      cause = session.LastCause();
      return false;
    }
    return true;
  }
  return DeleteThenUpload(session, localFile, remoteFile, options.TargetMustExist, cause);
}

}  // namespace

std::string ReplacementName(std::string_view name, unsigned attempt) {
  const auto [stem, extension] = SplitName(name);
  std::string temporary(stem);
  temporary += Mark;
  temporary += std::to_string(::getpid());
  temporary += '-';
  temporary += std::to_string(attempt);
  temporary += extension;
  return temporary;
}

bool IsReplacementOf(std::string_view candidate, std::string_view name) {
  const auto [stem, extension] = SplitName(name);
  if (candidate.size() < stem.size() + Mark.size() + extension.size() ||
      candidate.substr(0, stem.size()) != stem ||
      candidate.substr(stem.size(), Mark.size()) != Mark ||
      candidate.substr(candidate.size() - extension.size()) != extension) {
    return false;
  }
  const std::string_view numbers = candidate.substr(
      stem.size() + Mark.size(), candidate.size() - stem.size() - Mark.size() - extension.size());
  const auto dash = numbers.find('-');
  return dash != std::string_view::npos && Digits(numbers.substr(0, dash)) &&
         Digits(numbers.substr(dash + 1));
}

bool ReplaceRemoteFile(RemoteSession& session, const std::string& localFile,
                       std::string_view remoteFile, const ReplaceOptions& options,
                       std::string& cause) {
  const auto slash = remoteFile.rfind('/');
  const std::string prefix(slash == std::string_view::npos ? std::string_view()
                                                           : remoteFile.substr(0, slash + 1));
  const std::string_view name =
      slash == std::string_view::npos ? remoteFile : remoteFile.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    cause = "no file name in the remote path";
    return false;
  }
  // Before anything on the server changes: the ways that delete the target
  // first must not find out only then that there is nothing to upload.
  if (auto problem = LocalFileProblem(localFile)) {
    cause = std::move(*problem);
    return false;
  }
  if (!PutInPlace(session, localFile, remoteFile, prefix, name, options, cause)) {
    return false;
  }
  if (options.SweepLeftovers) {
    Sweep(session, prefix, name);
  }
  return true;
}

}  // namespace tavro
