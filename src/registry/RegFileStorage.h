// The settings file on disk: reading it with a size bound, replacing it
// atomically, and keeping a damaged original beside it before it is replaced.
#pragma once

#include "registry/RegFile.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace tavro {

class RegFileStorage {
public:
  explicit RegFileStorage(std::filesystem::path file) : Path(std::move(file)) {}

  const std::filesystem::path& File() const { return Path; }
  std::filesystem::path LockFile() const { return Beside(".lock"); }
  std::filesystem::path BadCopyFile() const { return Beside(".bad"); }

  // Makes the folder and whatever parents are missing, each with mode 0700,
  // and sets the file's own folder to 0700 where it is ours and was more
  // open. False where some part cannot be made or is no folder.
  bool EnsureFolder() const;

  // A missing file reads as empty. One larger than RegFile::kMaxFileBytes is
  // not read at all: it reads as empty and damaged, so that the first save
  // keeps it. nullopt where the file is there but cannot be read.
  std::optional<RegFile> Read() const;

  // Replaces the file with the bytes: a temporary file in the same folder
  // (mode 0600), fsync, rename over the file, fsync of the folder. With
  // keepBadCopy the present file is first kept as the .bad file (mode 0600);
  // where that cannot be done nothing is replaced.
  bool Write(std::string_view bytes, bool keepBadCopy) const;

private:
  std::filesystem::path Beside(const char* suffix) const {
    auto path = Path;
    path += suffix;
    return path;
  }
  std::filesystem::path Folder() const;
  bool KeepBadCopy() const;
  void TightenFolder() const;

  std::filesystem::path Path;
};

}  // namespace tavro
