#include "platform/FileRegistryKey.h"
#include "platform/FileRegistryStore.h"
#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

const char* const kKey = "Software\\Quillbet\\Tavro";

std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

mode_t Mode(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

ino_t Inode(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_ino;
}

RegResult SetSz(IRegistryKey& key, std::string_view name, const std::string& text) {
  return key.SetValue(name, REG_SZ, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                      static_cast<std::uint32_t>(text.size() + 1));
}

RegResult SetDword(IRegistryKey& key, std::string_view name, std::uint32_t value) {
  std::uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return key.SetValue(name, REG_DWORD, bytes, 4);
}

// As the settings code reads a number: 4 bytes of REG_DWORD or nothing.
std::optional<std::uint32_t> GetDword(IRegistryKey& key, std::string_view name) {
  std::uint8_t bytes[4] = {};
  std::uint32_t type = 0, size = 4;
  if (key.QueryValue(name, type, bytes, size) != RegResult::Success || type != REG_DWORD ||
      size != 4) {
    return std::nullopt;
  }
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::optional<std::string> GetSz(IRegistryKey& key, std::string_view name) {
  std::uint8_t buffer[256];
  std::uint32_t type = 0, size = sizeof buffer;
  if (key.QueryValue(name, type, buffer, size) != RegResult::Success || type != REG_SZ) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(buffer), size);
}

class RegistryStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavro-store-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    file_ = root_ / "Quillbet" / "Tavro.reg";
  }
  void TearDown() override { fs::remove_all(root_); }

  FileRegistryStore Store(std::chrono::milliseconds lockWait = std::chrono::seconds(3)) {
    return FileRegistryStore(file_, FileRegistryOptions{lockWait});
  }

  void WriteFile(std::string_view text) {
    fs::create_directories(file_.parent_path());
    WriteAll(file_, text);
  }

  fs::path root_;
  fs::path file_;
};

// The description value as the settings code writes it at every load.
const std::string kDescription =
    "Tavro\x82\xf0\x82\xb2\x8e\x67\x97\x70\x82\xc9\x82\xc8\x82\xe7\x82\xea\x82\xbd\x8f\xea"
    "\x8d\x87\x82\xc9\x8d\xec\x90\xac\x82\xb3\x82\xea\x82\xdc\x82\xb7\x81\x42";

void WriteDescription(IRegistryKey& key) {
  key.SetValue("", REG_MULTI_SZ, reinterpret_cast<const std::uint8_t*>(kDescription.data()),
               static_cast<std::uint32_t>(kDescription.size()));
}

const std::string kDescriptionLines =
    "@=hex(7):54,61,76,72,6f,82,f0,82,b2,8e,67,97,70,82,c9,82,c8,82,e7,82,ea,82,bd,\\\n"
    "  8f,ea,8d,87,82,c9,8d,ec,90,ac,82,b3,82,ea,82,dc,82,b7,81,42\n";

}  // namespace

TEST_F(RegistryStoreTest, FirstRunMakesPrivateFolderAndFile) {
  file_ = root_ / "config" / "deeper" / "Quillbet" / "Tavro.reg";
  auto store = Store();
  auto key = store.CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  for (const fs::path& folder :
       {root_ / "config", root_ / "config" / "deeper", root_ / "config" / "deeper" / "Quillbet"}) {
    EXPECT_EQ(Mode(folder), 0700u) << folder;
  }
  std::uint32_t type = 0, size = 256;
  std::uint8_t buffer[256];
  EXPECT_EQ(key->QueryValue("Server", type, buffer, size), RegResult::NotFound);
  WriteDescription(*key);
  EXPECT_EQ(SetSz(*key, "Server", "ftp.example.jp"), RegResult::Success);
  std::uint8_t password[40];
  for (std::uint8_t i = 0; i < 40; ++i) {
    password[i] = i;
  }
  EXPECT_EQ(key->SetValue("Password", REG_BINARY, password, 40), RegResult::Success);
  EXPECT_EQ(SetDword(*key, "Sleep", 0xffffffff), RegResult::Success);
  EXPECT_EQ(SetSz(*key, "IPMode", "WAN"), RegResult::Success);
  EXPECT_FALSE(fs::exists(file_));  // written at Close
  EXPECT_TRUE(key->Close());

  EXPECT_EQ(ReadAll(file_), Crlf("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n" +
                                 kDescriptionLines +
                                 "\"Server\"=\"ftp.example.jp\"\n"
                                 "\"Password\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,"
                                 "10,11,12,13,14,\\\n"
                                 "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
                                 "\"Sleep\"=dword:ffffffff\n"
                                 "\"IPMode\"=\"WAN\"\n\n"));
  EXPECT_EQ(Mode(file_), 0600u);
  // No temporary file is left behind: only the file and its lock.
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(file_.parent_path())) {
    EXPECT_TRUE(entry.path() == file_ || entry.path().filename() == "Tavro.reg.lock")
        << entry.path();
    ++entries;
  }
  EXPECT_EQ(entries, 2u);

  auto again = Store().CreateKey("software\\QUILLBET\\tavro");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetSz(*again, "server"), std::string("ftp.example.jp\0", 15));
  EXPECT_EQ(GetDword(*again, "SLEEP"), 0xffffffffu);
}

TEST_F(RegistryStoreTest, QueryValueFollowsTheRegistryContract) {
  {
    auto key = Store().CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    WriteDescription(*key);
    SetSz(*key, "Fits", std::string(255, 'f'));
    SetSz(*key, "TooLong", std::string(256, 't'));
    ASSERT_TRUE(key->Close());
  }
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  std::uint8_t buffer[256];
  std::uint32_t type = 0, size = sizeof buffer;

  ASSERT_EQ(key->QueryValue("Fits", type, buffer, size), RegResult::Success);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 256u);
  EXPECT_EQ(buffer[255], 0);

  std::memset(buffer, 0xcc, sizeof buffer);
  size = sizeof buffer;
  type = 0;
  EXPECT_EQ(key->QueryValue("TooLong", type, buffer, size), RegResult::MoreData);
  EXPECT_EQ(size, 257u);
  EXPECT_EQ(type, REG_SZ);
  for (std::uint8_t b : buffer) {
    ASSERT_EQ(b, 0xcc);  // nothing written
  }

  size = 0;
  EXPECT_EQ(key->QueryValue("TooLong", type, nullptr, size), RegResult::Success);
  EXPECT_EQ(size, 257u);  // the size alone

  size = sizeof buffer;
  type = 99;
  EXPECT_EQ(key->QueryValue("Missing", type, buffer, size), RegResult::NotFound);
  EXPECT_EQ(type, 99u);
  EXPECT_EQ(size, sizeof buffer);

  size = sizeof buffer;
  ASSERT_EQ(key->QueryValue("", type, buffer, size), RegResult::Success);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), kDescription);

  // A number stored as text does not pass as a DWORD.
  SetSz(*key, "Sleep", "5000");
  EXPECT_EQ(GetDword(*key, "Sleep"), std::nullopt);
  SetDword(*key, "Sleep", 5000);
  EXPECT_EQ(GetDword(*key, "sleep"), 5000u);
  EXPECT_TRUE(key->Close());
}

TEST_F(RegistryStoreTest, KeepsWhatTavroDoesNotKnow) {
  const std::string before = Crlf(
      "REGEDIT4\n\n"
      "; kept by hand\n\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\n"
      "\"Their\"=hex(2):25,00\n\n"
      "[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n"
      "\"Unknown\"=\"first\"\n"
      "; note on Server\n"
      "\"Server\"=\"old\"\n"
      "\"Future\"=hex(b):01,02,03,04,05,06,07,08\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quillbet]\n"
      "\"Machine\"=dword:00000001\n\n");
  WriteFile(before);
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(SetSz(*key, "SERVER", "new"), RegResult::Success);
  EXPECT_EQ(SetDword(*key, "IsIpGetOnly", 1), RegResult::Success);
  ASSERT_TRUE(key->Close());
  EXPECT_EQ(ReadAll(file_), Crlf("REGEDIT4\n\n"
                                 "; kept by hand\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                 "\"Their\"=hex(2):25,00\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n"
                                 "\"Unknown\"=\"first\"\n"
                                 "; note on Server\n"
                                 "\"Server\"=\"new\"\n"
                                 "\"Future\"=hex(b):01,02,03,04,05,06,07,08\n"
                                 "\"IsIpGetOnly\"=dword:00000001\n\n"
                                 "[HKEY_LOCAL_MACHINE\\Software\\Quillbet]\n"
                                 "\"Machine\"=dword:00000001\n\n"));
  EXPECT_FALSE(fs::exists(root_ / "Quillbet" / "Tavro.reg.bad"));
}

TEST_F(RegistryStoreTest, WritesNothingWhereNothingChanged) {
  // LF line ends: any write would turn them into CR LF.
  const std::string before = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n" +
                             kDescriptionLines + "\"Server\"=\"a\"\n";
  WriteFile(before);
  const auto inode = Inode(file_);
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  WriteDescription(*key);  // the same bytes as stored
  EXPECT_EQ(SetSz(*key, "Server", "b"), RegResult::Success);
  EXPECT_EQ(SetSz(*key, "Server", "a"), RegResult::Success);  // and back
  EXPECT_EQ(GetSz(*key, "Server"), std::string("a\0", 2));
  EXPECT_TRUE(key->Close());
  EXPECT_EQ(ReadAll(file_), before);
  EXPECT_EQ(Inode(file_), inode);

  // A new key is a change even without values.
  auto created = Store().CreateKey("Software\\Quillbet\\Empty");
  ASSERT_NE(created, nullptr);
  EXPECT_TRUE(created->Close());
  EXPECT_EQ(ReadAll(file_), Crlf(before + "\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Empty]\n\n"));
  EXPECT_NE(Inode(file_), inode);
}

TEST_F(RegistryStoreTest, DamagedFileIsKeptBesideBeforeTheFirstSave) {
  const std::string damaged =
      "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n"
      "\"Server\"=\"kept\"\r\n"
      "\"Password\"=hex:0,1,2\r\n"
      "\x01\x02 garbage \xff\r\n"
      "\"Sleep\"=dword:00001388\r\n";
  WriteFile(damaged);
  const fs::path bad = root_ / "Quillbet" / "Tavro.reg.bad";
  {
    auto key = Store().CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(GetSz(*key, "Server"), std::string("kept\0", 5));
    EXPECT_EQ(GetDword(*key, "Sleep"), 5000u);
    std::uint32_t type = 0, size = 512;
    std::uint8_t buffer[512];
    EXPECT_EQ(key->QueryValue("Password", type, buffer, size), RegResult::NotFound);
    EXPECT_TRUE(key->Close());  // nothing changed: nothing written
  }
  EXPECT_EQ(ReadAll(file_), damaged);
  EXPECT_FALSE(fs::exists(bad));
  {
    auto key = Store().CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    SetSz(*key, "User", "me");
    EXPECT_TRUE(key->Close());
  }
  EXPECT_EQ(ReadAll(bad), damaged);
  EXPECT_EQ(ReadAll(file_), Crlf("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n"
                                 "\"Server\"=\"kept\"\n"
                                 "\"Sleep\"=dword:00001388\n"
                                 "\"User\"=\"me\"\n\n"));
  {
    auto key = Store().CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    SetSz(*key, "User", "you");
    EXPECT_TRUE(key->Close());
  }
  EXPECT_EQ(ReadAll(bad), damaged);  // the clean file is not kept over it
}

TEST_F(RegistryStoreTest, HugeFileIsSetAsideUnread) {
  fs::create_directories(file_.parent_path());
  {
    std::ofstream out(file_, std::ios::binary);
    out << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n\"Server\"=\"x\"\r\n";
  }
  fs::resize_file(file_, 100u << 20);  // 100 MB, mostly a hole of NUL bytes
  const auto start = std::chrono::steady_clock::now();
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(GetSz(*key, "Server"), std::nullopt);
  SetSz(*key, "Server", "fresh");
  EXPECT_TRUE(key->Close());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(fs::file_size(root_ / "Quillbet" / "Tavro.reg.bad"), 100u << 20);
  EXPECT_EQ(ReadAll(file_), Crlf("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n"
                                 "\"Server\"=\"fresh\"\n\n"));
}

TEST_F(RegistryStoreTest, NoKeyWhereFolderOrFileCannotBeHad) {
  WriteAll(root_ / "plain", "a file, not a folder");
  EXPECT_EQ(FileRegistryStore(root_ / "plain" / "Quillbet" / "Tavro.reg").CreateKey(kKey), nullptr);
  EXPECT_EQ(FileRegistryStore(root_ / "plain" / "Tavro.reg").CreateKey(kKey), nullptr);
  fs::create_directories(file_);  // a folder where the file belongs
  EXPECT_EQ(Store().CreateKey(kKey), nullptr);
  EXPECT_EQ(FileRegistryStore("").CreateKey(kKey), nullptr);
  fs::remove(file_);
  for (const char* path : {"\\Software", "Software\\", "Software\\\\Tavro", "Soft\nware"}) {
    EXPECT_EQ(Store().CreateKey(path), nullptr) << path;
  }
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_NE(Store().CreateKey(""), nullptr);  // HKEY_CURRENT_USER itself
}

TEST_F(RegistryStoreTest, RefusesWhatTheFileCannotHold) {
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  const std::uint8_t byte = 1;
  EXPECT_EQ(key->SetValue("line\nbreak", REG_BINARY, &byte, 1), RegResult::Failed);
  EXPECT_EQ(key->SetValue(std::string_view("nul\0", 4), REG_BINARY, &byte, 1), RegResult::Failed);
  EXPECT_EQ(key->SetValue("\x82", REG_BINARY, &byte, 1), RegResult::Failed);
  EXPECT_EQ(key->SetValue("null", REG_BINARY, nullptr, 1), RegResult::Failed);
  EXPECT_EQ(key->SetValue("empty", REG_BINARY, nullptr, 0), RegResult::Success);
  std::vector<std::uint8_t> big(FileRegistryKey::kMaxValueBytes + 1);
  EXPECT_EQ(key->SetValue("big", REG_BINARY, big.data(), static_cast<std::uint32_t>(big.size())),
            RegResult::Failed);
  EXPECT_EQ(key->SetValue("max", REG_BINARY, big.data(), FileRegistryKey::kMaxValueBytes),
            RegResult::Success);
  EXPECT_TRUE(key->Close());
  EXPECT_FALSE(key->Close());
  std::uint32_t type = 0, size = 0;
  EXPECT_EQ(key->QueryValue("empty", type, nullptr, size), RegResult::Failed);
  EXPECT_EQ(key->SetValue("late", REG_BINARY, &byte, 1), RegResult::Failed);

  auto reopened = Store().CreateKey(kKey);
  ASSERT_NE(reopened, nullptr);
  size = 0;
  EXPECT_EQ(reopened->QueryValue("max", type, nullptr, size), RegResult::Success);
  EXPECT_EQ(size, FileRegistryKey::kMaxValueBytes);
  size = 0;
  EXPECT_EQ(reopened->QueryValue("empty", type, nullptr, size), RegResult::Success);
  EXPECT_EQ(size, 0u);
}

TEST_F(RegistryStoreTest, CloseReportsAFailedWrite) {
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  SetSz(*key, "Server", "lost");
  // The folder is replaced by a file between open and close.
  fs::remove_all(file_.parent_path());
  WriteAll(file_.parent_path(), "in the way");
  EXPECT_FALSE(key->Close());
}

TEST_F(RegistryStoreTest, UnclosedKeySavesWhenDestroyed) {
  {
    auto key = Store().CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    SetSz(*key, "Server", "kept");
  }
  auto key = Store().CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(GetSz(*key, "Server"), std::string("kept\0", 5));
}

// Adds one to a counter many times over: without the lock from CreateKey to
// Close, two savers would read the same count and one increment would be lost.
bool CountUp(const fs::path& file, int id, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    auto key =
        FileRegistryStore(file, FileRegistryOptions{std::chrono::seconds(20)}).CreateKey(kKey);
    if (!key) {
      return false;
    }
    const auto count = GetDword(*key, "Count").value_or(0);
    ::usleep(2000);  // give the others every chance to get in between
    SetDword(*key, "Count", count + 1);
    SetDword(*key, "Saver" + std::to_string(id), static_cast<std::uint32_t>(round + 1));
    if (!key->Close()) {
      return false;
    }
  }
  return true;
}

void ExpectCounted(const fs::path& file, int savers, int rounds) {
  auto key = FileRegistryStore(file).CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(GetDword(*key, "Count"), static_cast<std::uint32_t>(savers * rounds));
  for (int id = 0; id < savers; ++id) {
    EXPECT_EQ(GetDword(*key, "Saver" + std::to_string(id)), static_cast<std::uint32_t>(rounds));
  }
}

TEST_F(RegistryStoreTest, ProcessesSavingAtOnceDoNotInterleave) {
  constexpr int kProcesses = 4;
  constexpr int kRounds = 15;
  std::vector<pid_t> children;
  for (int id = 0; id < kProcesses; ++id) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::_exit(CountUp(file_, id, kRounds) ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ExpectCounted(file_, kProcesses, kRounds);
}

TEST_F(RegistryStoreTest, ThreadsSavingAtOnceDoNotInterleave) {
  constexpr int kThreads = 3;
  constexpr int kRounds = 10;
  bool ok[kThreads] = {};
  {
    std::vector<std::jthread> threads;
    for (int id = 0; id < kThreads; ++id) {
      threads.emplace_back([&, id] { ok[id] = CountUp(file_, id, kRounds); });
    }
  }
  for (bool threadOk : ok) {
    EXPECT_TRUE(threadOk);
  }
  ExpectCounted(file_, kThreads, kRounds);
}

TEST_F(RegistryStoreTest, LockHeldTooLongIsWaitedForThenGoneWithout) {
  fs::create_directories(file_.parent_path());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const fs::path lockFile = root_ / "Quillbet" / "Tavro.reg.lock";
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
      ::_exit(1);
    }
    (void)!::write(ready[1], "x", 1);
    ::sleep(30);  // until the test stops it
    ::_exit(0);
  }
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);

  const auto start = std::chrono::steady_clock::now();
  auto key = Store(std::chrono::milliseconds(300)).CreateKey(kKey);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_NE(key, nullptr);
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(3));
  SetSz(*key, "Server", "anyway");
  EXPECT_TRUE(key->Close());

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  auto again = Store().CreateKey(kKey);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetSz(*again, "Server"), std::string("anyway\0", 7));
}

TEST_F(RegistryStoreTest, KeysOpenTogetherInOneProcessShareTheLock) {
  auto store = Store(std::chrono::seconds(3));
  auto first = store.CreateKey(kKey);
  ASSERT_NE(first, nullptr);
  const auto start = std::chrono::steady_clock::now();
  auto second = store.CreateKey(kKey);
  ASSERT_NE(second, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  SetSz(*first, "One", "1");
  SetSz(*second, "Two", "2");
  EXPECT_TRUE(second->Close());
  EXPECT_TRUE(first->Close());  // applied to the file as the second left it

  auto key = store.CreateKey(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(GetSz(*key, "One"), std::string("1\0", 2));
  EXPECT_EQ(GetSz(*key, "Two"), std::string("2\0", 2));
}

TEST_F(RegistryStoreTest, DefaultPathFollowsXdgConfigHome) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> savedXdg =
      oldXdg ? std::optional<std::string>(oldXdg) : std::nullopt;
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";

  ::setenv("HOME", (root_ / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root_ / "xdg").c_str(), 1);
  EXPECT_EQ(DefaultRegistryFilePath(), root_ / "xdg" / "Quillbet" / "Tavro.reg");
  {
    auto key = MakeRegistryStore()->CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    SetSz(*key, "Server", "xdg");
    EXPECT_TRUE(key->Close());
  }
  EXPECT_TRUE(fs::exists(root_ / "xdg" / "Quillbet" / "Tavro.reg"));

  ::setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(DefaultRegistryFilePath(), root_ / "home" / ".config" / "Quillbet" / "Tavro.reg");
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(DefaultRegistryFilePath(), root_ / "home" / ".config" / "Quillbet" / "Tavro.reg");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(DefaultRegistryFilePath(), root_ / "home" / ".config" / "Quillbet" / "Tavro.reg");

  if (savedXdg) {
    ::setenv("XDG_CONFIG_HOME", savedXdg->c_str(), 1);
  }
  ::setenv("HOME", savedHome.c_str(), 1);
}
