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

namespace tavro {

class FileRegistryKey : public IRegistryKey {
public:
  // Larger values are refused: the whole file is read with a size bound.
  static constexpr std::uint32_t kMaxValueBytes = 1u << 20;

  FileRegistryKey(RegFileStorage storage, RegKeySection current, bool create,
                  std::shared_ptr<FileLock> lock);
  ~FileRegistryKey() override;

  RegResult QueryValue(std::string_view name, std::uint32_t& type, std::uint8_t* data,
                       std::uint32_t& size) override;
  RegResult SetValue(std::string_view name, std::uint32_t type, const std::uint8_t* data,
                     std::uint32_t size) override;
  bool Close() override;

private:
  RegFileStorage Storage;
  RegKeySection Current;  // the key as read, with this key's changes
  RegKeySection Changes;  // the values set, in the order first set
  bool IsNew;             // the key was not in the file
  bool IsOpen = true;
  std::shared_ptr<FileLock> Lock;
};

}  // namespace tavro
