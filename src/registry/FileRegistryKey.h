// A key of the file store. Queries see the file as it was read when the key
// was opened, plus this key's own changes; Close applies those changes to the
// file as it is then and writes it, if anything changed.
#pragma once

#include "registry/FileLock.h"
#include "registry/RegFile.h"
#include "registry/RegFileStorage.h"
#include "registry/RegistryStore.h"

#include <memory>
#include <string>
#include <vector>

namespace tavro {

class FileRegistryKey : public IRegistryKey {
public:
  // Larger values are refused: the whole file is read with a size bound.
  static constexpr std::uint32_t kMaxValueBytes = 1u << 20;

  enum class Mode {
    Open,    // the key was in the file
    Create,  // it was not: Close writes it
    Read,    // read alone: nothing is ever written
  };

  // `current` is the key as read from `source`, whose damage it reports.
  FileRegistryKey(RegFileStorage storage, RegKeySection current, Mode mode,
                  std::shared_ptr<FileLock> lock, const RegFile& source);
  ~FileRegistryKey() override;

  RegResult QueryValue(std::string_view name, std::uint32_t& type, std::uint8_t* data,
                       std::uint32_t& size) override;
  RegResult SetValue(std::string_view name, std::uint32_t type, const std::uint8_t* data,
                     std::uint32_t size) override;
  bool Close() override;
  bool StoreDamaged() const override { return SourceDamaged; }
  bool ValueUnread(std::string_view name) const override;
  void MarkDamaged() override { CallerFoundDamage = true; }

private:
  RegFileStorage Storage;
  RegKeySection Current;  // the key as read, with this key's changes
  RegKeySection Changes;  // the values set, in the order first set
  bool IsNew;             // the key was not in the file
  bool ReadOnly;
  bool IsOpen = true;
  bool SourceDamaged;
  bool CallerFoundDamage = false;
  std::vector<std::string> Unread;  // folded names of values on unread lines
  std::shared_ptr<FileLock> Lock;
};

}  // namespace tavro
