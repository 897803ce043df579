// A download's file beside its target that becomes the target only once the
// whole file has arrived; removed otherwise, so a failed download leaves
// nothing behind. Shared by every protocol's session.
#pragma once

#include <memory>
#include <string>

namespace tavro {

class PartialFile {
public:
  // Opens a new hidden file in the target's folder; Fd < 0 (errno set) where
  // none can be made.
  explicit PartialFile(const std::string& target);
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  int Fd = -1;

  bool CloseFd();
  // Moves the file into place. Without replace, a file that appeared at the
  // target meanwhile is left alone and the move fails.
  bool Commit(const std::string& target, bool replace);

private:
  std::string Path;
};

// The local side of a download, settled before the server is asked for
// anything: a name, no file there unless it may be replaced, and the partial
// file beside it. Null with `cause` (the session's cause line) otherwise.
std::unique_ptr<PartialFile> OpenDownloadTarget(const std::string& localFile, bool replaceExisting,
                                                std::string& cause);

}  // namespace tavro
