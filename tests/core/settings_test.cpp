#include "settings/Settings.h"

#include "platform/CodePage932.h"
#include "registry/RegistryStore.h"
#include "settings/CPasswordCipher.h"

#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <vector>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

class SettingsTest : public ::testing::Test {
protected:
  std::string FileText() const { return test::ReadFileBytes(File); }

  void SetRaw(const char* name, std::uint32_t type, const std::string& bytes) {
    auto key = Store->CreateKey(kRegistryKeyPath);
    ASSERT_TRUE(key);
    key->SetValue(name, type, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                  static_cast<std::uint32_t>(bytes.size()));
    ASSERT_TRUE(key->Close());
  }

  std::string GetRaw(const char* name, std::uint32_t* type = nullptr) {
    auto key = Store->CreateKey(kRegistryKeyPath);
    std::uint8_t data[4096];
    std::uint32_t size = sizeof data, ignored = 0;
    EXPECT_EQ(key->QueryValue(name, type ? *type : ignored, data, size), RegResult::Success);
    key->Close();
    return std::string(reinterpret_cast<const char*>(data), size);
  }

  Settings Loaded() {
    Settings s;
    EXPECT_TRUE(LoadSettings(*Store, s));
    return s;
  }

  test::TempDir Dir{"tavro-settings"};
  fs::path File = Dir / "Quillbet" / "Tavro.reg";
  std::unique_ptr<IRegistryStore> Store = MakeFileRegistryStore(File);
};

Settings Sample() {
  Settings s;
  s.Server = "ftp.example.jp";
  s.User = "tavro-user";
  s.Password = "パス word-ひみつ①";
  s.FtpFile = "/public_html/ip.html";
  s.OnlineFile = "/home/me/テンプレート.html";
  s.OfflineFile = "/home/me/offline.html";
  s.Trace = "mail.example.jp:587";
  s.IPMode = "LAN";
  s.Sleep = 600000;
  s.IsCreateWwwOpen = 1;
  s.IsIpGetOnly = 0;
  return s;
}

}  // namespace

TEST_F(SettingsTest, FirstRunGivesDefaultsAndStoresTheExactFormat) {
  Settings s = Loaded();
  EXPECT_EQ(s, Settings{});
  ASSERT_TRUE(SaveSettings(*Store, s));

  const std::string text = FileText();
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Sleep\"=dword:ffffffff\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"IPMode\"=\"WAN\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Server\"=\"\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"IsIpGetOnly\"=dword:00000000\r\n"), std::string::npos);

  std::uint32_t type = 0;
  EXPECT_EQ(GetRaw("Password", &type).size(), 40u);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(Loaded(), s);
}

// The record round trips whatever the user name, texts stored as CP932 with
// their NUL.
TEST_F(SettingsTest, PasswordKeyIsTheUserNameBytesAsStored) {
  Settings s = Sample();
  ASSERT_TRUE(SaveSettings(*Store, s));
  EXPECT_EQ(Loaded(), s);
  EXPECT_EQ(GetRaw("Trace"), std::string("mail.example.jp:587\0", 20));
  EXPECT_EQ(GetRaw("OnlineFile"), *cp932::FromUtf8("/home/me/テンプレート.html") + '\0');
  s.User = "";
  ASSERT_TRUE(SaveSettings(*Store, s));
  EXPECT_EQ(Loaded().Password, s.Password);
  s.User = "山田①";
  ASSERT_TRUE(SaveSettings(*Store, s));
  EXPECT_EQ(Loaded(), s);

  // ED 40 reads as the same character as FA 5C, which is what converting the
  // name back gives: the key must be the stored bytes, not the round trip.
  const std::string user("\xED\x40", 2);
  const std::string password = "secret";
  CPasswordCipher cipher;
  cipher.SetKey(user.c_str());
  std::vector<std::uint8_t> encoded(CPasswordCipher::EncodedLength(7));
  int length = static_cast<int>(encoded.size());
  ASSERT_GT(cipher.EncodePassword(encoded.data(), length,
                                  reinterpret_cast<const std::uint8_t*>(password.c_str()), 7),
            0);
  SetRaw("User", kRegSz, user + '\0');
  SetRaw("Password", kRegBinary, std::string(encoded.begin(), encoded.begin() + length));
  Settings loaded = Loaded();
  EXPECT_EQ(loaded.User, "纊");
  EXPECT_EQ(loaded.Password, password);
  // A save writes the name as FA 5C and keys the password with those bytes.
  ASSERT_TRUE(SaveSettings(*Store, loaded));
  EXPECT_EQ(GetRaw("User"), std::string("\xFA\x5C\0", 3));
  EXPECT_EQ(Loaded(), loaded);

  // Under another name the password is lost, and nothing else is.
  SetRaw("User", kRegSz, std::string("other\0", 6));
  Settings other = Loaded();
  EXPECT_EQ(other.Password, "");
  EXPECT_EQ(other.Server, s.Server);
  EXPECT_EQ(other.Sleep, s.Sleep);
}

TEST_F(SettingsTest, WrongTypesShapesAndLengthsGiveDefaultsAndKeepTheRest) {
  ASSERT_TRUE(SaveSettings(*Store, Sample()));
  // The text limit is 255 CP932 bytes: 127 two-byte characters and one ASCII
  // byte load, 256 bytes do not.
  std::string kanji;
  for (int i = 0; i < 127; ++i)
    kanji += "\x8a\xbf";
  SetRaw("FtpFile", kRegSz, kanji + "x" + '\0');
  SetRaw("OnlineFile", kRegSz, std::string(256, 'u') + '\0');
  SetRaw("Server", kRegExpandSz, std::string("x.example\0", 10));
  SetRaw("Sleep", kRegSz, std::string("6000\0", 5));
  SetRaw("IsCreateWwwOpen", kRegDword, std::string("\x01\x00", 2));
  SetRaw("IsIpGetOnly", kRegDword, std::string("\x01\x00\x00\x00\x00", 5));
  SetRaw("IPMode", kRegBinary, "LAN");
  SetRaw("OfflineFile", kRegSz, std::string("\x82\xa0\x81\0", 4));  // lead byte cut off
  Settings expected = Sample();
  expected.Server = expected.OnlineFile = expected.OfflineFile = "";
  expected.FtpFile = *cp932::ToUtf8(kanji + "x");
  expected.IPMode = "WAN";
  expected.Sleep = -1;
  expected.IsCreateWwwOpen = expected.IsIpGetOnly = 0;
  Settings s;
  std::vector<SettingsFallback> fallbacks;
  ASSERT_TRUE(LoadSettings(*Store, s, fallbacks));
  EXPECT_EQ(s, expected);
  EXPECT_FALSE(ValidateSettings(s));
  std::vector<std::string> named;
  for (const auto& fallback : fallbacks) {
    named.push_back(fallback.Value + ": " + fallback.Reason);
  }
  EXPECT_EQ(named, (std::vector<std::string>{
                       "Server: 値の種類が違います", "OnlineFile: 長すぎます",
                       "OfflineFile: Shift_JIS の文字列として読めません",
                       "IPMode: 値の種類が違います", "Sleep: 値の種類が違います",
                       "IsCreateWwwOpen: 値の種類が違います", "IsIpGetOnly: 長すぎます"}));
}

TEST_F(SettingsTest, BrokenPasswordValuesLoadEmpty) {
  ASSERT_TRUE(SaveSettings(*Store, Sample()));
  const std::string goodBytes = GetRaw("Password");
  const std::vector<std::pair<std::uint32_t, std::string>> broken = {
      {kRegBinary, ""},
      {kRegBinary, goodBytes.substr(0, 31)},
      {kRegBinary, goodBytes.substr(0, 32)},
      {kRegBinary, goodBytes.substr(0, 39)},
      {kRegBinary, goodBytes + std::string(513 - goodBytes.size(), '\x5a')},
      {kRegBinary, goodBytes + "x"},
      {kRegSz, goodBytes},
  };
  for (const auto& [t, bytes] : broken) {
    SetRaw("Password", t, bytes);
    Settings s = Loaded();
    EXPECT_EQ(s.Password, "") << bytes.size();
    EXPECT_EQ(s.Server, Sample().Server);
  }
  SetRaw("Password", kRegBinary, goodBytes);
  EXPECT_EQ(Loaded().Password, Sample().Password);
}

TEST_F(SettingsTest, LongestPasswordThatFitsRoundTripsAndLongerIsRefused) {
  Settings s = Sample();
  s.Password = std::string(kMaxPasswordBytes, 'p');
  ASSERT_TRUE(SaveSettings(*Store, s));
  EXPECT_EQ(GetRaw("Password").size(), 512u);
  EXPECT_EQ(Loaded().Password, s.Password);

  const std::string before = FileText();
  s.Password += "p";
  const auto error = ValidateSettings(s);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->Field, "Password");
  EXPECT_NE(error->Message.find("478"), std::string::npos);
  EXPECT_FALSE(SaveSettings(*Store, s));
  EXPECT_EQ(FileText(), before);
}

TEST_F(SettingsTest, TextsThatWouldNotLoadBackAreRefusedByField) {
  const std::string before = [&] {
    EXPECT_TRUE(SaveSettings(*Store, Sample()));
    return FileText();
  }();
  std::string kanji127;
  for (int i = 0; i < 127; ++i)
    kanji127 += "漢";
  struct Case {
    std::string Settings::*Member;
    std::string Value;
    const char* Field;      // nullptr: accepted
    const char* Character;  // the character the message names, if any
  };
  // Limits are CP932 bytes: 127 kanji and a letter are 255 of them (382 in
  // UTF-8), 128 kanji are 256 (fewer than 255 characters).
  const std::vector<Case> cases = {
      {&Settings::Server, std::string(255, 'a'), nullptr, nullptr},
      {&Settings::FtpFile, kanji127 + "a", nullptr, nullptr},
      {&Settings::Server, std::string(256, 'a'), "Server", nullptr},
      {&Settings::FtpFile, kanji127 + "漢", "FtpFile", nullptr},
      {&Settings::User, "smile 😀", "User", "😀"},
      {&Settings::Password, "pässwörd", "Password", "ä"},
      {&Settings::Trace, "한국", "Trace", "한"},
      {&Settings::OfflineFile, std::string("a\0b", 3), "OfflineFile", nullptr},
      {&Settings::IPMode, std::string(300, 'W'), "IPMode", nullptr},
      // CP932 holds a byte form for these, but it reads back as another
      // character, so the text would not come back as typed.
      {&Settings::Password, "pass¥word", "Password", "¥"},
      {&Settings::OnlineFile, "/home/me/〜/page.html", "OnlineFile", "〜"},
      {&Settings::User, "a‾b", "User", "‾"},
      {&Settings::Server, "—", "Server", "—"},
      {&Settings::FtpFile, "\\～￠", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Value);
    Settings s = Sample();
    s.*c.Member = c.Value;
    const auto error = ValidateSettings(s);
    if (!c.Field) {
      EXPECT_FALSE(error);
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Field, c.Field);
    EXPECT_FALSE(error->Message.empty());
    if (c.Character) {
      EXPECT_NE(error->Message.find(std::string("「") + c.Character + "」"), std::string::npos)
          << error->Message;
    }
    EXPECT_FALSE(SaveSettings(*Store, s));
  }
  EXPECT_EQ(FileText(), before);
}

TEST_F(SettingsTest, DescriptionIsRewrittenAtEveryLoadAndOddIPModeKeepsItsBytes) {
  SetRaw("", kRegSz, std::string("changed\0", 8));
  SetRaw("IPMode", kRegSz, std::string("lan6\0", 5));
  Settings s = Loaded();
  EXPECT_EQ(s.IPMode, "lan6");
  std::uint32_t type = 0;
  EXPECT_EQ(GetRaw("", &type),
            "Tavro\x82\xf0\x82\xb2\x8e\x67\x97\x70\x82\xc9\x82\xc8\x82\xe7\x82\xea\x82\xbd\x8f\xea"
            "\x8d\x87\x82\xc9\x8d\xec\x90\xac\x82\xb3\x82\xea\x82\xdc\x82\xb7\x81\x42");
  EXPECT_EQ(type, kRegMultiSz);
  ASSERT_TRUE(SaveSettings(*Store, s));
  EXPECT_EQ(GetRaw("IPMode"), std::string("lan6\0", 5));
  EXPECT_EQ(Loaded().IPMode, "lan6");
}

TEST_F(SettingsTest, StoreThatCannotOpenLeavesRecordAndReportsIt) {
  std::ofstream(Dir / "blocker") << "a file where a folder should be";
  auto store = MakeFileRegistryStore(Dir / "blocker" / "Quillbet" / "Tavro.reg");
  Settings s = Sample();
  EXPECT_FALSE(LoadSettings(*store, s));
  EXPECT_EQ(s, Sample());
  EXPECT_FALSE(SaveSettings(*store, s));
}

namespace {

// The file with the value's line (and its continuation lines) replaced.
std::string WithLine(std::string text, const std::string& name, const std::string& line) {
  const auto start = text.find("\"" + name + "\"=");
  EXPECT_NE(start, std::string::npos) << name;
  auto end = start;
  do {
    end = text.find("\r\n", end) + 2;
  } while (text.compare(end - 3, 1, "\\") == 0);
  return text.replace(start, end - start, line + "\r\n");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

mode_t Mode(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

}  // namespace

// A file Tavro cannot take as it stands: the load names each value that gave
// way to its default and writes nothing, and the first save keeps the user's
// file as it was beside the new one, while what Tavro does not know stays.
TEST_F(SettingsTest, UnreadableValuesAreNamedAndTheFileIsKeptBeforeTheFirstSave) {
  ASSERT_TRUE(SaveSettings(*Store, Sample()));
  const std::string good =
      FileText() + "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Theirs\"=\"kept\"\r\n\r\n";
  const std::string tavroKey = "[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n";
  const std::string unknown = tavroKey + "\"Future\"=dword:00000007\r\n";
  const std::string base = Replaced(good, tavroKey, unknown);
  std::string hugePassword = "\"Password\"=hex:00";
  for (int i = 1; i < 600; ++i) {
    hugePassword += ",5a";
  }
  struct Case {
    const char* What;
    std::string Text;
    std::vector<std::string> Named;  // "" is the file as a whole
    std::function<void(Settings&)> Defaulted;
  };
  const auto none = [](Settings&) {};
  const std::vector<Case> cases = {
      // UTF-8 where the file holds CP932: one line no longer parses, another
      // parses but would read as other characters.
      {"UTF-8",
       WithLine(WithLine(base, "OnlineFile", "\"OnlineFile\"=\"/home/me/テンプレート.html\""),
                "OfflineFile", "\"OfflineFile\"=\"/home/me/あい.html\""),
       {"OnlineFile", "OfflineFile"}, [](Settings& s) { s.OnlineFile = s.OfflineFile = ""; }},
      {"Server as a dword", WithLine(base, "Server", "\"Server\"=dword:00000001"), {"Server"},
       [](Settings& s) { s.Server = ""; }},
      {"Sleep as a string", WithLine(base, "Sleep", "\"Sleep\"=\"600000\""), {"Sleep"},
       [](Settings& s) { s.Sleep = kSleepNever; }},
      {"oversized Password", WithLine(base, "Password", hugePassword), {"Password"},
       [](Settings& s) { s.Password = ""; }},
      {"CR line ends", Replaced(base, "\r\n", "\r"), {""}, none},
  };
  const fs::path bad = File.string() + ".bad";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove(bad);
    { std::ofstream(File, std::ios::binary | std::ios::trunc) << c.Text; }
    fs::permissions(File, fs::perms(0644));

    Settings loaded;
    std::vector<SettingsFallback> fallbacks;
    ASSERT_TRUE(LoadSettings(*Store, loaded, fallbacks));
    std::vector<std::string> named;
    for (const auto& fallback : fallbacks) {
      named.push_back(fallback.Value);
      EXPECT_TRUE(FallbackLogLine(fallback).starts_with("Err: 設定"));
    }
    EXPECT_EQ(named, c.Named);
    Settings expected = Sample();
    c.Defaulted(expected);
    EXPECT_EQ(loaded, expected);
    EXPECT_EQ(FileText(), c.Text);  // the load wrote nothing over it
    EXPECT_FALSE(fs::exists(bad));

    loaded.Server = "ftp.saved.example";
    ASSERT_TRUE(SaveSettings(*Store, loaded));
    EXPECT_EQ(test::ReadFileBytes(bad), c.Text);
    EXPECT_EQ(Mode(bad), 0600u);
    const std::string saved = FileText();
    EXPECT_NE(saved.find("\"Future\"=dword:00000007\r\n"), std::string::npos);
    EXPECT_NE(saved.find("\"Theirs\"=\"kept\"\r\n"), std::string::npos);

    // Saved clean: nothing more to report, and the kept original stays.
    loaded.Server = "ftp.again.example";
    ASSERT_TRUE(SaveSettings(*Store, loaded));
    Settings again;
    ASSERT_TRUE(LoadSettings(*Store, again, fallbacks));
    EXPECT_TRUE(fallbacks.empty());
    EXPECT_EQ(again, loaded);
    EXPECT_EQ(test::ReadFileBytes(bad), c.Text);
  }
}

TEST_F(SettingsTest, FallbackLineNamesTheValueAndWhereTheOriginalIsKept) {
  EXPECT_EQ(FallbackLogLine({"OnlineFile", "値の種類が違います"}),
            "Err: 設定 \"OnlineFile\" を読めなかったため既定値にしました（値の種類が違います。"
            "元のファイルは Tavro.reg.bad に残します）");
}

// Reading alone, as the probe does, leaves no trace: no folder, no lock, no
// description value, and a damaged file is not set aside.
TEST_F(SettingsTest, ReadingAloneWritesNothing) {
  Settings s;
  std::vector<SettingsFallback> fallbacks;
  ASSERT_TRUE(ReadSettings(*Store, s, fallbacks));
  EXPECT_EQ(s, Settings{});
  EXPECT_FALSE(fs::exists(File.parent_path()));

  fs::create_directories(File.parent_path());
  const std::string text =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n\"Server\"=dword:1\n"
      "\"Trace\"=\"mail.example.jp\"\n";
  { std::ofstream(File, std::ios::binary) << text; }
  ASSERT_TRUE(ReadSettings(*Store, s, fallbacks));
  EXPECT_EQ(s.Trace, "mail.example.jp");
  ASSERT_EQ(fallbacks.size(), 1u);
  EXPECT_EQ(fallbacks[0].Value, "Server");
  EXPECT_EQ(FileText(), text);
  EXPECT_EQ(std::distance(fs::directory_iterator(File.parent_path()), fs::directory_iterator()),
            1);
}

TEST_F(SettingsTest, SettingsFolderIsClosedToOthersAtLoad) {
  fs::create_directories(File.parent_path());
  fs::permissions(File.parent_path(), fs::perms(0755));
  fs::permissions(Dir.Path(), fs::perms(0755));
  Settings s;
  ASSERT_TRUE(LoadSettings(*Store, s));
  EXPECT_EQ(Mode(File.parent_path()), 0700u);
  EXPECT_EQ(Mode(Dir.Path()), 0755u);  // the folder above is not Tavro's
}
