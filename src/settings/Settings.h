// The settings record and its load and save through the registry store.
//
// Texts are UTF-8 in memory and code page 932 bytes in the store, where every
// limit is counted. The password is plain text in memory and stored encrypted
// under the user name (CPasswordCipher).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A stored value that was there but could not be taken as it stands, and
// gave way to its default.
struct SettingsFallback {
  std::string Value;   // the registry value name; empty: a part of the file
                       // that no value accounts for (unreadable lines)
  std::string Reason;  // a Japanese phrase for the log, e.g. "長すぎます"
};

// Fills the record from the store, with the defaults for what is missing,
// mistyped, too long, not CP932 or on a line the store could not read, and
// rewrites the description value. Each value that was there but fell back is
// named in fallbacks, and the first save over the file then keeps it as
// Tavro.reg.bad (the description is not rewritten over it either). Returns
// false, leaving the record as it was, where the store could not be opened:
// a record that was not loaded must not later be saved over the user's file.
bool LoadSettings(IRegistryStore& store, Settings& settings,
                  std::vector<SettingsFallback>& fallbacks);
bool LoadSettings(IRegistryStore& store, Settings& settings);

// As LoadSettings, but writes nothing at all, not even the description: for
// `tavro --probe`, which only looks.
bool ReadSettings(IRegistryStore& store, Settings& settings,
                  std::vector<SettingsFallback>& fallbacks);

// The start-up log line for a value that fell back to its default.
std::string FallbackLogLine(const SettingsFallback& fallback);

// Writes every field. Returns false where the store could not be opened or
// written, or where the record fails ValidateSettings (then nothing is
// written, so no value is silently replaced by one that would not load).
bool SaveSettings(IRegistryStore& store, const Settings& settings);

}  // namespace tavro
