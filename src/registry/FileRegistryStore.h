// The registry store of systems without a registry: one REGEDIT4 file.
#pragma once

#include "registry/RegistryStore.h"

#include <chrono>
#include <filesystem>

namespace tavro {

struct FileRegistryOptions {
  // How long CreateKey waits for another process's save; after that it goes
  // on without the lock.
  std::chrono::milliseconds LockWait{3000};
};

class FileRegistryStore : public IRegistryStore {
public:
  explicit FileRegistryStore(std::filesystem::path file, FileRegistryOptions options = {})
      : File(std::move(file)), Options(options) {}

  // Makes the folder, takes the lock (held until the key is closed) and reads
  // the file. Paths are relative to HKEY_CURRENT_USER.
  std::unique_ptr<IRegistryKey> CreateKey(std::string_view path) override;

  // Reads the file as it is, without making the folder or taking the lock:
  // a save replaces the file by a rename, so a read sees one whole version.
  std::unique_ptr<IRegistryKey> OpenKeyForReading(std::string_view path) override;

  std::filesystem::path FilePath() const override { return File; }

private:
  std::filesystem::path File;
  FileRegistryOptions Options;
};

}  // namespace tavro
