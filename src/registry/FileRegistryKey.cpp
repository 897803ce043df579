#include "registry/FileRegistryKey.h"

#include <cstring>
#include <mutex>

namespace tavro {

namespace {

// Saves of one process never overlap, not even those of keys that went on
// without the file lock or share it.
std::mutex& SaveMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

FileRegistryKey::FileRegistryKey(RegFileStorage storage, RegKeySection current, Mode mode,
                                 std::shared_ptr<FileLock> lock, const RegFile& source)
    : Storage(std::move(storage)),
      Current(std::move(current)),
      Changes{Current.Path, {}},
      IsNew(mode == Mode::Create),
      ReadOnly(mode == Mode::Read),
      SourceDamaged(source.Damaged()),
      Lock(std::move(lock)) {
  for (const auto& name : source.UnreadValues(Current.Path)) {
    Unread.push_back(RegFile::Fold(name));
  }
}

bool FileRegistryKey::ValueUnread(std::string_view name) const {
  const auto folded = RegFile::Fold(name);
  for (const auto& unread : Unread) {
    if (unread == folded) {
      return true;
    }
  }
  return false;
}

FileRegistryKey::~FileRegistryKey() {
  if (IsOpen) {
    Close();
  }
}

RegResult FileRegistryKey::QueryValue(std::string_view name, std::uint32_t& type,
                                      std::uint8_t* data, std::uint32_t& size) {
  if (!IsOpen) {
    return RegResult::Failed;
  }
  const RegEntry* value = RegFile::FindValue(Current, name);
  if (value == nullptr) {
    return RegResult::NotFound;
  }
  type = value->Type;
  const auto length = static_cast<std::uint32_t>(value->Data.size());
  if (data == nullptr) {
    size = length;  // a query for the size alone
    return RegResult::Success;
  }
  if (length > size) {
    size = length;
    return RegResult::MoreData;
  }
  std::memcpy(data, value->Data.data(), length);
  size = length;
  return RegResult::Success;
}

RegResult FileRegistryKey::SetValue(std::string_view name, std::uint32_t type,
                                    const std::uint8_t* data, std::uint32_t size) {
  if (!IsOpen || ReadOnly || size > kMaxValueBytes || (data == nullptr && size != 0) ||
      !RegFile::IsValidName(name)) {
    return RegResult::Failed;
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (RegFile::SetValue(Current, name, type, bytes)) {
    RegFile::SetValue(Changes, name, type, bytes);
  }
  return RegResult::Success;
}

bool FileRegistryKey::Close() {
  if (!IsOpen) {
    return false;
  }
  IsOpen = false;
  bool ok = true;
  if (!ReadOnly && (IsNew || !Changes.Entries.empty())) {
    // Read again: without the lock (it could not be had in time) another
    // process may have saved since, and its values are kept.
    std::lock_guard guard(SaveMutex());
    auto file = Storage.Read();
    if (!file) {
      ok = false;
    } else {
      bool changed = false;
      RegKeySection* key = file->FindKey(Current.Path);
      if (key == nullptr) {
        key = &file->AddKey(Current.Path);
        changed = true;
      }
      for (const auto& value : Changes.Entries) {
        changed = RegFile::SetValue(*key, value.Name, value.Type, value.Data) || changed;
      }
      if (changed) {
        const auto bytes = file->Serialise();
        // A file over the read bound would be set aside unread next time.
        ok = bytes.size() <= RegFile::kMaxFileBytes &&
             Storage.Write(bytes, file->Damaged() || CallerFoundDamage);
      }
    }
  }
  Lock.reset();
  return ok;
}

}  // namespace tavro
