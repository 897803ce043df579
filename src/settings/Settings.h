// The settings record and its load and save through the registry store.
//
// Texts are UTF-8 in memory and code page 932 bytes in the store, where every
// limit is counted. The password is plain text in memory and stored encrypted
// under the user name (CPasswordCipher).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavro {

class IRegistryStore;

inline constexpr const char* kRegistryKeyPath = "Software\\Quillbet\\Tavro";

// "Tavroをご使用になられた場合に作成されます。", the key's description.
extern const char* const kRegistryDescription;

// The longest text, in CP932 bytes, that loads back: a 256-byte buffer with
// its NUL.
inline constexpr std::size_t kMaxTextBytes = 255;
// The longest password whose stored form fits the 512 bytes a load reads.
inline constexpr std::size_t kMaxPasswordBytes = 478;

inline constexpr std::int32_t kSleepNever = -1;  // 0xFFFFFFFF: no polling

struct Settings {
  std::string Server;
  std::string User;
  std::string Password;
  std::string FtpFile;
  std::string OnlineFile;
  std::string OfflineFile;
  std::string Trace;
  std::string IPMode = "WAN";
  std::int32_t Sleep = kSleepNever;
  std::int32_t IsCreateWwwOpen = 0;
  std::int32_t IsIpGetOnly = 0;

  bool operator==(const Settings&) const = default;
};

// Why a record cannot be saved as it stands: the field is the registry value
// name, the message a sentence for the user that names it.
struct SettingsError {
  std::string Field;
  std::string Message;
};

// Refuses what would not load back the same: a text over 255 bytes or a
// password over 478 bytes in CP932, a character CP932 cannot hold, or a NUL
// inside a text. A loaded record always passes.
std::optional<SettingsError> ValidateSettings(const Settings& settings);

// Fills the record from the store, with the defaults for what is missing,
// mistyped or too long, and rewrites the description value. Returns false,
// leaving the record as it was, where the store could not be opened: a record
// that was not loaded must not later be saved over the user's file.
bool LoadSettings(IRegistryStore& store, Settings& settings);

// Writes every field. Returns false where the store could not be opened or
// written, or where the record fails ValidateSettings (then nothing is
// written, so no value is silently replaced by one that would not load).
bool SaveSettings(IRegistryStore& store, const Settings& settings);

}  // namespace tavro
