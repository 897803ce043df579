#include "registry/FileRegistryStore.h"

#include "registry/FileLock.h"
#include "registry/FileRegistryKey.h"
#include "registry/RegFileStorage.h"

namespace tavro {

namespace {

std::string FullPath(std::string_view path) {
  std::string fullPath = "HKEY_CURRENT_USER";
  if (!path.empty()) {
    fullPath += '\\';
    fullPath += path;
  }
  return fullPath;
}

}  // namespace

std::unique_ptr<IRegistryKey> FileRegistryStore::CreateKey(std::string_view path) {
  const std::string fullPath = FullPath(path);
  if (File.empty() || !RegFile::IsValidKeyPath(fullPath)) {
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
  auto section = create ? RegKeySection{fullPath, {}} : *key;
  return std::make_unique<FileRegistryKey>(std::move(storage), std::move(section),
                                           create ? FileRegistryKey::Mode::Create
                                                  : FileRegistryKey::Mode::Open,
                                           std::move(lock), *file);
}

std::unique_ptr<IRegistryKey> FileRegistryStore::OpenKeyForReading(std::string_view path) {
  const std::string fullPath = FullPath(path);
  if (File.empty() || !RegFile::IsValidKeyPath(fullPath)) {
    return nullptr;
  }
  RegFileStorage storage(File);
  auto file = storage.Read();
  if (!file) {
    return nullptr;
  }
  const RegKeySection* key = file->FindKey(fullPath);
  auto section = key == nullptr ? RegKeySection{fullPath, {}} : *key;
  return std::make_unique<FileRegistryKey>(std::move(storage), std::move(section),
                                           FileRegistryKey::Mode::Read, nullptr, *file);
}

std::unique_ptr<IRegistryStore> MakeFileRegistryStore(std::filesystem::path file) {
  return std::make_unique<FileRegistryStore>(std::move(file));
}

}  // namespace tavro
