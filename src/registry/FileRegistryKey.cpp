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

FileRegistryKey::FileRegistryKey(RegFileStorage storage, RegKeySection current, bool create,
                                 std::shared_ptr<FileLock> lock)
    : storage_(std::move(storage)),
      current_(std::move(current)),
      changes_{current_.path, {}},
      create_(create),
      lock_(std::move(lock)) {}

FileRegistryKey::~FileRegistryKey() {
  if (open_) {
    Close();
  }
}

RegResult FileRegistryKey::QueryValue(std::string_view name, std::uint32_t& type,
                                      std::uint8_t* data, std::uint32_t& size) {
  if (!open_) {
    return RegResult::Failed;
  }
  const RegEntry* value = RegFile::FindValue(current_, name);
  if (value == nullptr) {
    return RegResult::NotFound;
  }
  type = value->type;
  const auto length = static_cast<std::uint32_t>(value->data.size());
  if (data == nullptr) {
    size = length;  // a query for the size alone
    return RegResult::Success;
  }
  if (length > size) {
    size = length;
    return RegResult::MoreData;
  }
  std::memcpy(data, value->data.data(), length);
  size = length;
  return RegResult::Success;
}

RegResult FileRegistryKey::SetValue(std::string_view name, std::uint32_t type,
                                    const std::uint8_t* data, std::uint32_t size) {
  if (!open_ || size > kMaxValueBytes || (data == nullptr && size != 0) ||
      !RegFile::IsValidName(name)) {
    return RegResult::Failed;
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (RegFile::SetValue(current_, name, type, bytes)) {
    RegFile::SetValue(changes_, name, type, bytes);
  }
  return RegResult::Success;
}

bool FileRegistryKey::Close() {
  if (!open_) {
    return false;
  }
  open_ = false;
  bool ok = true;
  if (create_ || !changes_.entries.empty()) {
    // Read again: without the lock (it could not be had in time) another
    // process may have saved since, and its values are kept.
    std::lock_guard guard(SaveMutex());
    auto file = storage_.Read();
    if (!file) {
      ok = false;
    } else {
      bool changed = false;
      RegKeySection* key = file->FindKey(current_.path);
      if (key == nullptr) {
        key = &file->AddKey(current_.path);
        changed = true;
      }
      for (const auto& value : changes_.entries) {
        changed = RegFile::SetValue(*key, value.name, value.type, value.data) || changed;
      }
      if (changed) {
        const auto bytes = file->Serialise();
        // A file over the read bound would be set aside unread next time.
        ok = bytes.size() <= RegFile::kMaxFileBytes && storage_.Write(bytes, file->Damaged());
      }
    }
  }
  lock_.reset();
  return ok;
}

}  // namespace tavro
