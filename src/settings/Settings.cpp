#include "settings/Settings.h"

#include "platform/CodePage932.h"
#include "registry/RegistryStore.h"
#include "settings/CPasswordCipher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tavro {

const char* const kRegistryDescription = "Tavroをご使用になられた場合に作成されます。";

namespace {

constexpr std::uint32_t kTextBuffer = 256;
constexpr std::uint32_t kPasswordBuffer = 512;

// The bytes up to the first NUL within the count the store reported.
std::string UpToNul(const std::uint8_t* data, std::size_t size) {
  const auto* begin = reinterpret_cast<const char*>(data);
  return std::string(begin, strnlen(begin, size));
}

// Texts in the file are CP932. An editor that saved it as UTF-8 leaves bytes
// that may still pass as CP932 pairs and read as other characters: Japanese
// in UTF-8 has three-byte sequences (a lead of E0 or above), which a real
// CP932 text is most unlikely to form throughout.
bool LooksLikeUtf8(std::string_view bytes) {
  bool wide = false;
  for (const char c : bytes) {
    wide = wide || static_cast<unsigned char>(c) >= 0xe0;
  }
  return wide && cp932::IsValidUtf8(bytes);
}

constexpr const char* kWrongType = "値の種類が違います";
constexpr const char* kTooLong = "長すぎます";
constexpr const char* kNotCp932 = "Shift_JIS の文字列として読めません";
constexpr const char* kUtf8 = "Shift_JIS でなく UTF-8 で書かれています";
constexpr const char* kUndecodable = "この「ユーザー名」では復号できません";
constexpr const char* kUnreadLine = "ファイルのその行が読めません";

// Reads the values off a key and notes each one that is there but cannot be
// taken as it stands. A value that is simply missing is no fault: a first run
// has none.
class ValueReader {
public:
  ValueReader(IRegistryKey& key, std::vector<SettingsFallback>& fallbacks)
      : Key(key), Fallbacks(fallbacks) {}

  // The stored bytes of a text value, up to its NUL.
  std::optional<std::string> TextBytes(const char* name) {
    std::array<std::uint8_t, kTextBuffer> buffer{};
    std::uint32_t type = 0;
    std::uint32_t size = kTextBuffer;
    if (!Query(name, kRegSz, type, buffer.data(), size)) {
      return std::nullopt;
    }
    return UpToNul(buffer.data(), size);
  }

  std::optional<std::string> Text(const char* name) {
    // Bytes that are not CP932 cannot be shown or edited faithfully; they
    // count as a broken value and give the default like any other.
    const auto bytes = TextBytes(name);
    return bytes ? Decoded(name, *bytes) : std::nullopt;
  }

  std::optional<std::string> Decoded(const char* name, const std::string& bytes) {
    auto text = cp932::ToUtf8(bytes);
    if (!text || LooksLikeUtf8(bytes)) {
      Note(name, text ? kUtf8 : kNotCp932);
      return std::nullopt;
    }
    return text;
  }

  std::optional<std::int32_t> Dword(const char* name) {
    std::array<std::uint8_t, 4> buffer{};
    std::uint32_t type = 0;
    std::uint32_t size = 4;
    if (!Query(name, kRegDword, type, buffer.data(), size)) {
      return std::nullopt;
    }
    // A DWORD of fewer than 4 bytes would leave part of the number unset.
    if (size != 4) {
      Note(name, kWrongType);
      return std::nullopt;
    }
    const std::uint32_t value =
        static_cast<std::uint32_t>(buffer[0]) | static_cast<std::uint32_t>(buffer[1]) << 8 |
        static_cast<std::uint32_t>(buffer[2]) << 16 | static_cast<std::uint32_t>(buffer[3]) << 24;
    return static_cast<std::int32_t>(value);
  }

  std::string Password(const std::string& userKey) {
    std::array<std::uint8_t, kPasswordBuffer> stored{};
    std::uint32_t type = 0;
    std::uint32_t size = kPasswordBuffer;
    if (!Query("Password", kRegBinary, type, stored.data(), size)) {
      return {};
    }
    CPasswordCipher cipher;
    cipher.SetKey(userKey.c_str());
    const int capacity = CPasswordCipher::DecodedCapacity(static_cast<int>(size));
    std::vector<std::uint8_t> plain(static_cast<std::size_t>(std::max(capacity, 0)) + 1);
    int plainLength = capacity;
    if (capacity < 0 || cipher.DecodePassword(plain.data(), plainLength, stored.data(),
                                              static_cast<int>(size)) < 0) {
      Note("Password", kUndecodable);
      return {};
    }
    // Not through Decoded: a password is no text an editor converts, and a
    // random one may well look like UTF-8.
    auto text = cp932::ToUtf8(UpToNul(plain.data(), static_cast<std::size_t>(plainLength)));
    if (!text) {
      Note("Password", kNotCp932);
    }
    return text.value_or(std::string());
  }

  // Damage the store found in the file that no noted value accounts for.
  void NoteOtherDamage() {
    if (!Key.StoreDamaged()) {
      return;
    }
    for (const auto& fallback : Fallbacks) {
      if (fallback.Reason == kUnreadLine) {
        return;
      }
    }
    Fallbacks.push_back(SettingsFallback{});
  }

private:
  // The value where it is there with the wanted type and fits the buffer.
  bool Query(const char* name, std::uint32_t wanted, std::uint32_t& type, std::uint8_t* data,
             std::uint32_t& size) {
    switch (Key.QueryValue(name, type, data, size)) {
      case RegResult::Success:
        if (type != wanted) {
          Note(name, kWrongType);
        }
        return type == wanted;
      case RegResult::MoreData:
        // "6000" as text is too long for a number, but its type is the fault.
        Key.QueryValue(name, type, nullptr, size);
        Note(name, type == wanted ? kTooLong : kWrongType);
        return false;
      case RegResult::NotFound:
        if (Key.ValueUnread(name)) {
          Note(name, kUnreadLine);
        }
        return false;
      case RegResult::Failed:
        return false;
    }
    return false;
  }

  void Note(const char* name, const char* reason) {
    Fallbacks.push_back(SettingsFallback{name, reason});
  }

  IRegistryKey& Key;
  std::vector<SettingsFallback>& Fallbacks;
};

Settings ReadRecord(IRegistryKey& key, std::vector<SettingsFallback>& fallbacks) {
  ValueReader read(key, fallbacks);
  Settings loaded;
  loaded.Server = read.Text("Server").value_or(std::string());
  // The key is the user name's bytes as stored. Converting them to text and
  // back is not the same: some characters have two CP932 forms (ED 40 and
  // FA 5C), and only one of them comes back.
  const auto userBytes = read.TextBytes("User");
  loaded.User = userBytes ? read.Decoded("User", *userBytes).value_or(std::string()) : std::string();
  loaded.Password = read.Password(userBytes.value_or(std::string()));
  loaded.FtpFile = read.Text("FtpFile").value_or(std::string());
  loaded.OnlineFile = read.Text("OnlineFile").value_or(std::string());
  loaded.OfflineFile = read.Text("OfflineFile").value_or(std::string());
  loaded.Trace = read.Text("Trace").value_or(std::string());
  loaded.IPMode = read.Text("IPMode").value_or(std::string("WAN"));
  loaded.Sleep = read.Dword("Sleep").value_or(kSleepNever);
  loaded.IsCreateWwwOpen = read.Dword("IsCreateWwwOpen").value_or(0);
  loaded.IsIpGetOnly = read.Dword("IsIpGetOnly").value_or(0);
  read.NoteOtherDamage();
  return loaded;
}

void SetText(IRegistryKey& key, const char* name, const std::string& cp932Bytes) {
  // The bytes and their terminating NUL.
  key.SetValue(name, kRegSz, reinterpret_cast<const std::uint8_t*>(cp932Bytes.c_str()),
               static_cast<std::uint32_t>(cp932Bytes.size() + 1));
}

void SetDword(IRegistryKey& key, const char* name, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  const std::array<std::uint8_t, 4> bytes{
      static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
      static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  key.SetValue(name, kRegDword, bytes.data(), 4);
}

struct TextField {
  const char* Name;
  const char* Label;  // as the settings dialog names it
  std::string Settings::*Member;
};

constexpr std::array<TextField, 8> kTextFields{{
    {"Server", "FTPサーバー", &Settings::Server},
    {"User", "ユーザー名", &Settings::User},
    {"Password", "パスワード", &Settings::Password},
    {"FtpFile", "アップロード先のファイル", &Settings::FtpFile},
    {"OnlineFile", "オンライン時のファイル", &Settings::OnlineFile},
    {"OfflineFile", "オフライン時のファイル", &Settings::OfflineFile},
    {"Trace", "メールサーバー", &Settings::Trace},
    {"IPMode", "IPアドレスの種類", &Settings::IPMode},
}};

}  // namespace

std::optional<SettingsError> ValidateSettings(const Settings& settings) {
  for (const TextField& field : kTextFields) {
    const std::string& text = settings.*field.Member;
    const std::string label = std::string("「") + field.Label + "」";
    if (text.find('\0') != std::string::npos) {
      return SettingsError{field.Name, label + "に NUL 文字は使えません。"};
    }
    const auto bytes = cp932::FromUtf8(text);
    if (!bytes) {
      // Naming the character lets the user find it: "¥" or "〜" look fine on
      // screen but would come back as another character.
      const auto character = cp932::FirstUnrepresentable(text);
      return SettingsError{field.Name, character ? label + "に保存できない文字「" + *character +
                                                       "」が含まれています。"
                                                 : label + "に保存できない文字が含まれています。"};
    }
    const bool isPassword = field.Member == &Settings::Password;
    const std::size_t limit = isPassword ? kMaxPasswordBytes : kMaxTextBytes;
    if (bytes->size() > limit) {
      return SettingsError{field.Name, label + "が長すぎます（" + std::to_string(limit) +
                                           " バイトまで、全角文字は 2 バイトです）。"};
    }
  }
  return std::nullopt;
}

bool LoadSettings(IRegistryStore& store, Settings& settings,
                  std::vector<SettingsFallback>& fallbacks) {
  auto key = store.CreateKey(kRegistryKeyPath);
  if (!key) {
    return false;
  }
  std::vector<SettingsFallback> found;
  Settings loaded = ReadRecord(*key, found);
  // Rewritten at every load: REG_MULTI_SZ of the bare text, no terminator.
  // Not over a file with something unreadable in it, though: the .bad copy
  // is to be the user's file exactly, and the first save keeps it.
  if (found.empty()) {
    const auto description = cp932::FromUtf8(kRegistryDescription).value_or(std::string());
    key->SetValue("", kRegMultiSz, reinterpret_cast<const std::uint8_t*>(description.data()),
                  static_cast<std::uint32_t>(description.size()));
  }
  key->Close();
  settings = std::move(loaded);
  fallbacks = std::move(found);
  return true;
}

bool LoadSettings(IRegistryStore& store, Settings& settings) {
  std::vector<SettingsFallback> ignored;
  return LoadSettings(store, settings, ignored);
}

bool ReadSettings(IRegistryStore& store, Settings& settings,
                  std::vector<SettingsFallback>& fallbacks) {
  auto key = store.OpenKeyForReading(kRegistryKeyPath);
  if (!key) {
    return false;
  }
  std::vector<SettingsFallback> found;
  settings = ReadRecord(*key, found);
  fallbacks = std::move(found);
  return true;
}

std::string FallbackLogLine(const SettingsFallback& fallback) {
  if (fallback.Value.empty()) {
    return "Err: 設定ファイルがそのままの形では読めませんでした（元のファイルは Tavro.reg.bad "
           "に残します）";
  }
  return "Err: 設定 \"" + fallback.Value + "\" を読めなかったため既定値にしました（" +
         fallback.Reason + "。元のファイルは Tavro.reg.bad に残します）";
}

bool SaveSettings(IRegistryStore& store, const Settings& settings) {
  if (ValidateSettings(settings)) {
    return false;
  }
  auto key = store.CreateKey(kRegistryKeyPath);
  if (!key) {
    return false;
  }
  // What the load could not take is still in the file until this save
  // replaces it: the first save over it keeps the user's file as the .bad.
  std::vector<SettingsFallback> unusable;
  ReadRecord(*key, unusable);
  if (!unusable.empty()) {
    key->MarkDamaged();
  }
  // Validation has proved every conversion.
  auto bytes = [](const std::string& text) { return *cp932::FromUtf8(text); };
  SetText(*key, "Server", bytes(settings.Server));
  const std::string user = bytes(settings.User);
  SetText(*key, "User", user);

  {
    const std::string password = bytes(settings.Password);
    CPasswordCipher cipher;
    cipher.SetKey(user.c_str());
    const int plainLength = static_cast<int>(password.size()) + 1;
    std::vector<std::uint8_t> encoded(
        static_cast<std::size_t>(CPasswordCipher::EncodedLength(plainLength)));
    int encodedLength = static_cast<int>(encoded.size());
    // c_str() supplies the terminating NUL that is encoded with the password.
    if (cipher.EncodePassword(encoded.data(), encodedLength,
                              reinterpret_cast<const std::uint8_t*>(password.c_str()),
                              plainLength) >= 0) {
      key->SetValue("Password", kRegBinary, encoded.data(),
                    static_cast<std::uint32_t>(encodedLength));
    }
  }

  SetText(*key, "FtpFile", bytes(settings.FtpFile));
  SetText(*key, "OnlineFile", bytes(settings.OnlineFile));
  SetText(*key, "OfflineFile", bytes(settings.OfflineFile));
  SetText(*key, "Trace", bytes(settings.Trace));
  SetDword(*key, "Sleep", settings.Sleep);
  // Three letters and the NUL in practice; any other text keeps all its bytes
  // and one NUL, so that it loads back unchanged.
  SetText(*key, "IPMode", bytes(settings.IPMode));
  SetDword(*key, "IsCreateWwwOpen", settings.IsCreateWwwOpen);
  SetDword(*key, "IsIpGetOnly", settings.IsIpGetOnly);
  return key->Close();
}

}  // namespace tavro
