#include "settings/Settings.h"

#include "platform/CodePage932.h"
#include "registry/RegistryStore.h"
#include "settings/CPasswordCipher.h"

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

// The stored bytes of a text value, up to its NUL.
std::optional<std::string> QueryTextBytes(IRegistryKey& key, const char* name) {
  std::array<std::uint8_t, kTextBuffer> buffer{};
  std::uint32_t type = 0;
  std::uint32_t size = kTextBuffer;
  if (key.QueryValue(name, type, buffer.data(), size) != RegResult::Success || type != kRegSz) {
    return std::nullopt;
  }
  return UpToNul(buffer.data(), size);
}

std::optional<std::string> QueryText(IRegistryKey& key, const char* name) {
  // Bytes that are not CP932 cannot be shown or edited faithfully; they count
  // as a broken value and give the default like any other.
  const auto bytes = QueryTextBytes(key, name);
  return bytes ? cp932::ToUtf8(*bytes) : std::nullopt;
}

std::optional<std::int32_t> QueryDword(IRegistryKey& key, const char* name) {
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t type = 0;
  std::uint32_t size = 4;
  // A DWORD of fewer than 4 bytes would leave part of the number unset.
  if (key.QueryValue(name, type, buffer.data(), size) != RegResult::Success || type != kRegDword ||
      size != 4) {
    return std::nullopt;
  }
  const std::uint32_t value =
      static_cast<std::uint32_t>(buffer[0]) | static_cast<std::uint32_t>(buffer[1]) << 8 |
      static_cast<std::uint32_t>(buffer[2]) << 16 | static_cast<std::uint32_t>(buffer[3]) << 24;
  return static_cast<std::int32_t>(value);
}

std::string LoadPassword(IRegistryKey& key, const std::string& userKey) {
  std::array<std::uint8_t, kPasswordBuffer> stored{};
  std::uint32_t type = 0;
  std::uint32_t size = kPasswordBuffer;
  if (key.QueryValue("Password", type, stored.data(), size) != RegResult::Success ||
      type != kRegBinary) {
    return {};
  }
  CPasswordCipher cipher;
  cipher.SetKey(userKey.c_str());
  const int capacity = CPasswordCipher::DecodedCapacity(static_cast<int>(size));
  if (capacity < 0) {
    return {};
  }
  std::vector<std::uint8_t> plain(static_cast<std::size_t>(capacity) + 1);
  int plainLength = capacity;
  if (cipher.DecodePassword(plain.data(), plainLength, stored.data(), static_cast<int>(size)) < 0) {
    return {};
  }
  return cp932::ToUtf8(UpToNul(plain.data(), static_cast<std::size_t>(plainLength)))
      .value_or(std::string());
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

bool LoadSettings(IRegistryStore& store, Settings& settings) {
  auto key = store.CreateKey(kRegistryKeyPath);
  if (!key) {
    return false;
  }
  // Rewritten at every load: REG_MULTI_SZ of the bare text, no terminator.
  const auto description = cp932::FromUtf8(kRegistryDescription).value_or(std::string());
  key->SetValue("", kRegMultiSz, reinterpret_cast<const std::uint8_t*>(description.data()),
                static_cast<std::uint32_t>(description.size()));

  Settings loaded;
  loaded.Server = QueryText(*key, "Server").value_or(std::string());
  // The key is the user name's bytes as stored. Converting them to text and
  // back is not the same: some characters have two CP932 forms (ED 40 and
  // FA 5C), and only one of them comes back.
  const auto userBytes = QueryTextBytes(*key, "User");
  loaded.User = userBytes ? cp932::ToUtf8(*userBytes).value_or(std::string()) : std::string();
  loaded.Password = LoadPassword(*key, userBytes.value_or(std::string()));
  loaded.FtpFile = QueryText(*key, "FtpFile").value_or(std::string());
  loaded.OnlineFile = QueryText(*key, "OnlineFile").value_or(std::string());
  loaded.OfflineFile = QueryText(*key, "OfflineFile").value_or(std::string());
  loaded.Trace = QueryText(*key, "Trace").value_or(std::string());
  loaded.IPMode = QueryText(*key, "IPMode").value_or(std::string("WAN"));
  loaded.Sleep = QueryDword(*key, "Sleep").value_or(kSleepNever);
  loaded.IsCreateWwwOpen = QueryDword(*key, "IsCreateWwwOpen").value_or(0);
  loaded.IsIpGetOnly = QueryDword(*key, "IsIpGetOnly").value_or(0);
  key->Close();
  settings = std::move(loaded);
  return true;
}

bool SaveSettings(IRegistryStore& store, const Settings& settings) {
  if (ValidateSettings(settings)) {
    return false;
  }
  auto key = store.CreateKey(kRegistryKeyPath);
  if (!key) {
    return false;
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
