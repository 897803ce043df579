// The per-user settings store, shaped after the registry calls the settings
// code was written for: open or create a key, query a value into a buffer the
// caller sized, set a value, close. On Linux it is one text file in the
// registry editor's REGEDIT4 format; a Windows build puts the registry itself
// behind the same interface.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace tavro {

// Registry value types, with their Windows numbers (they appear in the file as
// hex(N)). Named apart from the platform's own REG_* macros, which a Windows
// build of the store includes.
inline constexpr std::uint32_t kRegNone = 0;      // REG_NONE
inline constexpr std::uint32_t kRegSz = 1;        // REG_SZ
inline constexpr std::uint32_t kRegExpandSz = 2;  // REG_EXPAND_SZ
inline constexpr std::uint32_t kRegBinary = 3;    // REG_BINARY
inline constexpr std::uint32_t kRegDword = 4;     // REG_DWORD
inline constexpr std::uint32_t kRegMultiSz = 7;   // REG_MULTI_SZ
inline constexpr std::uint32_t kRegQword = 11;    // REG_QWORD

enum class RegResult {
  Success,
  NotFound,  // no value of that name
  MoreData,  // the value is longer than the caller's buffer
  Failed,
};

class IRegistryKey {
public:
  virtual ~IRegistryKey() = default;

  // As RegQueryValueEx: size holds the buffer's capacity on entry and receives
  // the value's byte count; a value longer than the buffer gives MoreData and
  // writes nothing to data. An empty name is the key's default value. Value
  // names are bytes (ASCII in practice) compared without regard to case.
  virtual RegResult QueryValue(std::string_view name, std::uint32_t& type, std::uint8_t* data,
                               std::uint32_t& size) = 0;

  // As RegSetValueEx: stores the bytes exactly, whatever the type.
  virtual RegResult SetValue(std::string_view name, std::uint32_t type, const std::uint8_t* data,
                             std::uint32_t size) = 0;

  // As RegCloseKey. The file store writes its changes here (atomically) and
  // returns false where that failed; nothing is written where nothing changed.
  virtual bool Close() = 0;

  // What the store itself could not read when the key was opened: some part
  // of the file, and among it a value of this key (its line was dropped, so
  // QueryValue does not find it). A registry has no such damage.
  virtual bool StoreDamaged() const = 0;
  virtual bool ValueUnread(std::string_view name) const = 0;

  // The caller found a value it cannot take as it stands: the first save over
  // the file keeps the original as Tavro.reg.bad, as for damage the store
  // found itself.
  virtual void MarkDamaged() = 0;
};

class IRegistryStore {
public:
  virtual ~IRegistryStore() = default;

  // As RegCreateKeyEx under HKEY_CURRENT_USER with read and write access: the
  // key is created where it does not exist. nullptr where it cannot be opened
  // or created (a folder or file that cannot be made or read).
  virtual std::unique_ptr<IRegistryKey> CreateKey(std::string_view path) = 0;

  // As RegOpenKeyEx with read access alone, except that a key that is not
  // there opens empty: nothing is created, locked or written, SetValue fails
  // and Close writes nothing. nullptr where the store cannot be read. A store
  // that cannot promise that gives nullptr.
  virtual std::unique_ptr<IRegistryKey> OpenKeyForReading(std::string_view path) {
    (void)path;
    return nullptr;
  }

  // The file the store keeps, for the leftovers of its saves that a start-up
  // sweeps away; empty where it keeps no file of its own.
  virtual std::filesystem::path FilePath() const { return {}; }
};

// The file store on a given file (the tests use a temporary one).
std::unique_ptr<IRegistryStore> MakeFileRegistryStore(std::filesystem::path file);

// $XDG_CONFIG_HOME/Quillbet/Tavro.reg, or ~/.config/Quillbet/Tavro.reg when the
// variable is unset or empty.
std::filesystem::path DefaultRegistryFilePath();

// The store of this platform for the current user.
std::unique_ptr<IRegistryStore> MakeRegistryStore();

}  // namespace tavro
