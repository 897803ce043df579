#include "registry/FileRegistryStore.h"

#include "registry/FileLock.h"
#include "registry/FileRegistryKey.h"
#include "registry/RegFileStorage.h"

namespace tavro {

std::unique_ptr<IRegistryKey> FileRegistryStore::CreateKey(std::string_view path) {
  if (File.empty()) {
    return nullptr;
  }
  std::string fullPath = "HKEY_CURRENT_USER";
  if (!path.empty()) {
    fullPath += '\\';
    fullPath += path;
  }
  if (!RegFile::IsValidKeyPath(fullPath)) {
    return nullptr;
  }
  RegFileStorage storage(File);
  if (!storage.EnsureFolder()) {
    return nullptr;
  }
  auto lock = FileLock::Acquire(storage.LockFile(), Options.LockWait);
  auto file = storage.Read();
  if (!file) {
    return nullptr;
  }
  const RegKeySection* key = file->FindKey(fullPath);
  const bool create = key == nullptr;
  return std::make_unique<FileRegistryKey>(
      std::move(storage), create ? RegKeySection{fullPath, {}} : *key, create, std::move(lock));
}

std::unique_ptr<IRegistryStore> MakeFileRegistryStore(std::filesystem::path file) {
  return std::make_unique<FileRegistryStore>(std::move(file));
}

}  // namespace tavro
