#include "registry/FileRegistryKey.h"
#include "registry/FileRegistryStore.h"
#include "registry/RegistryStore.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

const char* const kKey = "Software\\Quillbet\\Tavro";
const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n";

// The description value as the settings code writes it at every load.
const std::string kDescription =
    "Tavro\x82\xf0\x82\xb2\x8e\x67\x97\x70\x82\xc9\x82\xc8\x82\xe7\x82\xea\x82\xbd\x8f\xea"
    "\x8d\x87\x82\xc9\x8d\xec\x90\xac\x82\xb3\x82\xea\x82\xdc\x82\xb7\x81\x42";
const std::string kDescriptionLines =
    "@=hex(7):54,61,76,72,6f,82,f0,82,b2,8e,67,97,70,82,c9,82,c8,82,e7,82,ea,82,bd,\\\n"
    "  8f,ea,8d,87,82,c9,8d,ec,90,ac,82,b3,82,ea,82,dc,82,b7,81,42\n";

struct stat Stat(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info;
}

std::string Sz(std::string text) {
  text += '\0';
  return text;
}

RegResult Set(IRegistryKey& key, std::string_view name, std::uint32_t type, std::string_view data) {
  return key.SetValue(name, type, reinterpret_cast<const std::uint8_t*>(data.data()),
                      static_cast<std::uint32_t>(data.size()));
}

RegResult SetSz(IRegistryKey& key, std::string_view name, const std::string& text) {
  return Set(key, name, kRegSz, Sz(text));
}

// The value's bytes where it is there with that type and fits 256 bytes.
std::optional<std::string> Get(IRegistryKey& key, std::string_view name, std::uint32_t wanted) {
  std::uint8_t buffer[256];
  std::uint32_t type = 0, size = sizeof buffer;
  if (key.QueryValue(name, type, buffer, size) != RegResult::Success || type != wanted) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(buffer), size);
}

class RegistryStoreTest : public ::testing::Test {
protected:
  FileRegistryStore Store(std::chrono::milliseconds LockWait = std::chrono::seconds(3)) {
    return FileRegistryStore(File, FileRegistryOptions{LockWait});
  }
  // The key the settings use; a store that gives none fails the test.
  std::unique_ptr<IRegistryKey> Open() {
    auto key = Store().CreateKey(kKey);
    return key ? std::move(key) : throw std::runtime_error("the store gave no key");
  }
  void Seed(std::string_view text) {
    fs::create_directories(File.parent_path());
    std::ofstream(File, std::ios::binary) << text;
  }

  TempDir Root{"tavro-store"};
  fs::path File = Root / "Quillbet" / "Tavro.reg";
};

}  // namespace

TEST_F(RegistryStoreTest, FirstRunWritesTheExactFormatPrivately) {
  File = Root / "config" / "deeper" / "Quillbet" / "Tavro.reg";
  auto key = Open();
  for (const fs::path& folder : {Root / "config", Root / "config" / "deeper", File.parent_path()}) {
    EXPECT_EQ(Stat(folder).st_mode & 07777, 0700u) << folder;
  }
  EXPECT_EQ(Get(*key, "Server", kRegSz), std::nullopt);
  std::string password;
  for (char b = 0; b < 40; ++b) {
    password += b;
  }
  Set(*key, "", kRegMultiSz, kDescription);
  SetSz(*key, "Server", "ftp.example.jp");
  Set(*key, "Password", kRegBinary, password);
  Set(*key, "Sleep", kRegDword, "\xff\xff\xff\xff");
  EXPECT_FALSE(fs::exists(File));  // written at Close
  EXPECT_TRUE(key->Close());

  EXPECT_EQ(
      ReadFileBytes(File),
      Crlf(kHead + kDescriptionLines +
           "\"Server\"=\"ftp.example.jp\"\n"
           "\"Password\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\n"
           "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
           "\"Sleep\"=dword:ffffffff\n\n"));
  EXPECT_EQ(Stat(File).st_mode & 07777, 0600u);
  // Only the file and its lock: no temporary file is left behind.
  for (const auto& entry : fs::directory_iterator(File.parent_path())) {
    EXPECT_TRUE(entry.path() == File || entry.path().filename() == "Tavro.reg.lock")
        << entry.path();
  }

  auto again = FileRegistryStore(File).CreateKey("software\\QUILLBET\\tavro");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Get(*again, "server", kRegSz), Sz("ftp.example.jp"));
  EXPECT_EQ(Get(*again, "", kRegMultiSz), kDescription);
}

TEST_F(RegistryStoreTest, KeysFollowTheRegistryContractAndRefuseWhatTheFileCannotHold) {
  {
    auto key = Open();
    SetSz(*key, "Fits", std::string(255, 'f'));
    SetSz(*key, "TooLong", std::string(256, 't'));
  }  // not closed: saved as it is destroyed
  auto key = Open();
  EXPECT_EQ(Get(*key, "Fits", kRegSz), Sz(std::string(255, 'f')));  // 256 bytes: just fits

  std::uint8_t buffer[256];
  std::memset(buffer, 0xcc, sizeof buffer);
  std::uint32_t type = 0, size = sizeof buffer;
  EXPECT_EQ(key->QueryValue("TooLong", type, buffer, size), RegResult::MoreData);
  EXPECT_EQ(size, 257u);
  EXPECT_EQ(std::count(buffer, buffer + sizeof buffer, 0xcc), 256);  // nothing written
  size = 0;
  EXPECT_EQ(key->QueryValue("TooLong", type, nullptr, size), RegResult::Success);
  EXPECT_EQ(size, 257u);  // the size alone

  size = sizeof buffer;
  type = 99;
  EXPECT_EQ(key->QueryValue("Missing", type, buffer, size), RegResult::NotFound);
  EXPECT_EQ(type, 99u);
  EXPECT_EQ(size, sizeof buffer);

  // What the file cannot hold is refused, not mangled.
  using namespace std::string_view_literals;
  for (std::string_view name : {"line\nbreak"sv, "nul\0"sv, "\x82"sv, "\x82\x22"sv}) {
    EXPECT_EQ(Set(*key, name, kRegBinary, "x"), RegResult::Failed) << name;
  }
  EXPECT_EQ(key->SetValue("null", kRegBinary, nullptr, 1), RegResult::Failed);
  EXPECT_EQ(key->SetValue("empty", kRegBinary, nullptr, 0), RegResult::Success);
  const std::string big(FileRegistryKey::kMaxValueBytes + 1, 'b');
  EXPECT_EQ(Set(*key, "big", kRegBinary, big), RegResult::Failed);
  EXPECT_EQ(Set(*key, "max", kRegBinary, std::string_view(big).substr(1)), RegResult::Success);
  EXPECT_TRUE(key->Close());
}

TEST_F(RegistryStoreTest, KeepsWhatTavroDoesNotKnowAndReplacesTheFileOnlyOnChange) {
  const auto text = [](const std::string& server, const std::string& added) {
    return Crlf(
        "REGEDIT4\n\n  ;; kept by hand\n\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\n\"Their\"=hex(2):25,00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\n\"Unknown\"=\"first\"\n"
        "; note on Server\n\"Server\"=\"" +
        server + "\"\n\"Future\"=hex(b):01,02,03,04,05,06,07,08\n" + added +
        "\n[HKEY_LOCAL_MACHINE\\Software\\Quillbet]\n\"Machine\"=dword:00000001\n\n");
  };
  Seed(text("old", ""));
  const auto inode = Stat(File).st_ino;
  {
    auto key = Open();
    SetSz(*key, "Server", "new");
    SetSz(*key, "server", "old");  // and back: nothing to write
  }
  EXPECT_EQ(Stat(File).st_ino, inode);
  auto key = Open();
  EXPECT_EQ(SetSz(*key, "SERVER", "new"), RegResult::Success);
  EXPECT_EQ(Set(*key, "IsIpGetOnly", kRegDword, std::string("\1\0\0\0", 4)), RegResult::Success);
  ASSERT_TRUE(key->Close());
  EXPECT_EQ(ReadFileBytes(File), text("new", "\"IsIpGetOnly\"=dword:00000001\n"));
  EXPECT_NE(Stat(File).st_ino, inode);  // replaced, not written over
  EXPECT_FALSE(fs::exists(File.string() + ".bad"));
}

TEST_F(RegistryStoreTest, DamagedFileIsKeptBesideBeforeTheFirstSave) {
  const std::string damaged =
      "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n\"Server\"=\"kept\"\r\n"
      "\"Password\"=hex:0,1,2\r\n\x01\x02 garbage \xff\r\n\"Sleep\"=dword:00001388\r\n";
  Seed(damaged);
  const fs::path bad = File.string() + ".bad";
  {
    auto key = Open();
    EXPECT_EQ(Get(*key, "Server", kRegSz), Sz("kept"));
    EXPECT_EQ(Get(*key, "Sleep", kRegDword), std::string("\x88\x13\0\0", 4));
    EXPECT_EQ(Get(*key, "Password", kRegBinary), std::nullopt);
    EXPECT_TRUE(key->Close());  // nothing changed: nothing written
  }
  EXPECT_EQ(ReadFileBytes(File), damaged);
  EXPECT_FALSE(fs::exists(bad));
  fs::create_directories(bad / "in the way");  // the original cannot be kept...
  {
    auto key = Open();
    SetSz(*key, "User", "lost");
    EXPECT_FALSE(key->Close());  // ...so nothing is replaced, and Close says so
  }
  EXPECT_EQ(ReadFileBytes(File), damaged);
  fs::remove_all(bad);
  for (const char* user : {"me", "you"}) {
    auto key = Open();
    SetSz(*key, "User", user);
    EXPECT_TRUE(key->Close());
    EXPECT_EQ(ReadFileBytes(bad), damaged) << user;  // a clean file is not kept over it
  }
  EXPECT_EQ(ReadFileBytes(File), Crlf(kHead + "\"Server\"=\"kept\"\n\"Sleep\"=dword:00001388\n"
                                              "\"User\"=\"you\"\n\n"));
}

TEST_F(RegistryStoreTest, HugeFileIsSetAsideUnread) {
  Seed("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n\"Server\"=\"x\"\r\n");
  fs::resize_file(File, 100u << 20);  // 100 MB, mostly a hole of NUL bytes
  auto key = Open();
  EXPECT_EQ(Get(*key, "Server", kRegSz), std::nullopt);
  SetSz(*key, "Server", "fresh");
  EXPECT_TRUE(key->Close());
  EXPECT_EQ(fs::file_size(File.string() + ".bad"), 100u << 20);
  EXPECT_EQ(ReadFileBytes(File), Crlf(kHead + "\"Server\"=\"fresh\"\n\n"));
}

TEST_F(RegistryStoreTest, NoKeyOrSaveWhereFolderOrFileCannotBeHad) {
  auto key = Open();
  SetSz(*key, "Server", "lost");
  // The folder is replaced by a file between open and close.
  fs::remove_all(File.parent_path());
  std::ofstream(File.parent_path()) << "a file, not a folder";
  EXPECT_FALSE(key->Close());

  const fs::path folder = Root / "folder";  // where the file belongs
  fs::create_directories(folder);
  for (const fs::path& file : {File.parent_path() / "Quillbet" / "Tavro.reg",
                               File.parent_path() / "Tavro.reg", folder, fs::path()}) {
    EXPECT_EQ(FileRegistryStore(file).CreateKey(kKey), nullptr) << file;
  }
  const fs::path good = Root / "Tavro.reg";
  for (const char* path : {"\\Software", "Software\\", "Software\\\\Tavro", "Soft\nware"}) {
    EXPECT_EQ(FileRegistryStore(good).CreateKey(path), nullptr) << path;
  }
  EXPECT_FALSE(fs::exists(good));
  auto user = FileRegistryStore(good).CreateKey("");  // HKEY_CURRENT_USER itself
  ASSERT_NE(user, nullptr);
  EXPECT_TRUE(user->Close());  // a new key is a change even without values
  EXPECT_EQ(ReadFileBytes(good), Crlf("REGEDIT4\n\n[HKEY_CURRENT_USER]\n\n"));
}

// Savers add one to a counter many times over: without the lock from CreateKey
// to Close, two would read the same count and one increment would be lost.
// Threads of one process are kept apart exactly as processes are.
TEST_F(RegistryStoreTest, SaversInProcessesAndThreadsDoNotInterleave) {
  constexpr int kProcesses = 3, kThreads = 2, kRounds = 10;
  std::vector<pid_t> children;
  for (int id = 0; id < kProcesses; ++id) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::atomic<int> failed{0};
      {
        std::vector<std::jthread> threads(kThreads);
        for (auto& thread : threads) {
          thread = std::jthread([&] {
            for (int round = 0; round < kRounds && failed == 0; ++round) {
              auto key = Store(std::chrono::seconds(20)).CreateKey(kKey);
              if (key == nullptr) {
                ++failed;
                break;
              }
              const int count = std::stoi(Get(*key, "Count", kRegSz).value_or("0"));
              ::usleep(2000);  // give the others every chance to get in between
              SetSz(*key, "Count", std::to_string(count + 1));
              failed += key->Close() ? 0 : 1;
            }
          });
        }
      }
      ::_exit(failed);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(ReadFileBytes(File), Crlf(kHead + "\"Count\"=\"" +
                                      std::to_string(kProcesses * kThreads * kRounds) + "\"\n\n"));
}

// A lock on an open file of its own is, to the store, another process's save:
// waited for, then gone without. Keys that one thread opens together share the
// lock rather than wait for themselves; each applies its changes to the file
// as it finds it at Close.
TEST_F(RegistryStoreTest, LockIsWaitedForThenGoneWithoutAndSharedWithinAThread) {
  fs::create_directories(File.parent_path());
  const int fd = ::open((File.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  auto start = std::chrono::steady_clock::now();
  auto first = Store(std::chrono::milliseconds(300)).CreateKey(kKey);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(30));
  ::close(fd);
  // Were the lock not shared, these would wait their full minute each.
  start = std::chrono::steady_clock::now();
  auto second = Store(std::chrono::seconds(60)).CreateKey(kKey);
  auto third = Store(std::chrono::seconds(60)).CreateKey(kKey);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  ASSERT_TRUE(first && second && third);
  SetSz(*first, "One", "1");
  SetSz(*second, "Two", "2");
  SetSz(*third, "Three", "3");
  EXPECT_TRUE(third->Close());
  EXPECT_TRUE(second->Close());
  EXPECT_TRUE(first->Close());
  EXPECT_EQ(ReadFileBytes(File), Crlf(kHead + "\"Three\"=\"3\"\n\"Two\"=\"2\"\n\"One\"=\"1\"\n\n"));
}

TEST_F(RegistryStoreTest, DefaultPathFollowsXdgConfigHome) {
  const char *xdg = std::getenv("XDG_CONFIG_HOME"), *home = std::getenv("HOME");
  const std::string savedXdg = xdg ? xdg : "", savedHome = home ? home : "";
  ::setenv("HOME", (Root / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (Root / "xdg").c_str(), 1);
  EXPECT_EQ(DefaultRegistryFilePath(), Root / "xdg" / "Quillbet" / "Tavro.reg");
  // Empty, relative or unset: under HOME.
  for (const char* other : {"", "relative/config", static_cast<const char*>(nullptr)}) {
    other ? ::setenv("XDG_CONFIG_HOME", other, 1) : ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultRegistryFilePath(), Root / "home" / ".config" / "Quillbet" / "Tavro.reg");
  }
  xdg ? ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
  home ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

// The file holds a password anyone who can read it can decode: its folder is
// closed to others even where it was made open, and every copy beside it
// (a .bad linked to a file put there by hand with 0644) is the user's alone.
TEST_F(RegistryStoreTest, FolderAndKeptCopyAreTheUsersAlone) {
  Seed("REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\njunk\r\n");
  fs::permissions(File, fs::perms(0644));
  fs::permissions(File.parent_path(), fs::perms(0755));
  fs::permissions(Root.Path(), fs::perms(0755));
  auto key = Open();
  EXPECT_EQ(Stat(File.parent_path()).st_mode & 07777, 0700u);
  EXPECT_EQ(Stat(Root.Path()).st_mode & 07777, 0755u);  // not Tavro's folder
  SetSz(*key, "Server", "x");
  ASSERT_TRUE(key->Close());
  EXPECT_EQ(Stat(File.string() + ".bad").st_mode & 07777, 0600u);
  EXPECT_EQ(Stat(File).st_mode & 07777, 0600u);
}

// A key opened for reading alone leaves the folder as it is: no folder made,
// no lock file, no key created, nothing set.
TEST_F(RegistryStoreTest, ReadingAloneWritesNothing) {
  FileRegistryStore store(File);
  {
    auto key = store.OpenKeyForReading(kKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(Get(*key, "Server", kRegSz), std::nullopt);
    EXPECT_TRUE(key->Close());
  }
  EXPECT_FALSE(fs::exists(File.parent_path()));

  const std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\r\n";
  Seed(text);
  auto key = store.OpenKeyForReading(kKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(SetSz(*key, "Server", "x"), RegResult::Failed);
  key->MarkDamaged();
  EXPECT_TRUE(key->Close());
  EXPECT_EQ(ReadFileBytes(File), text);
  EXPECT_EQ(std::distance(fs::directory_iterator(File.parent_path()), fs::directory_iterator()), 1);
}

// What the store could not read is told to the caller, and what the caller
// could not take makes the save keep the original as a damaged file would.
TEST_F(RegistryStoreTest, DamageIsToldAndCallerFoundDamageKeepsTheOriginal) {
  const std::string broken = kHead + "\"Server\"=\"cut \\q\"\n\"Sleep\"=\"5000\"\n";
  Seed(broken);
  for (const bool readOnly : {false, true}) {
    auto key = readOnly ? Store().OpenKeyForReading(kKey) : Store().CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->StoreDamaged());
    EXPECT_TRUE(key->ValueUnread("server"));
    EXPECT_FALSE(key->ValueUnread("Sleep"));
  }
  const std::string clean = kHead + "\"Sleep\"=\"5000\"\n";
  Seed(clean);
  const fs::path bad = File.string() + ".bad";
  for (const bool marked : {false, true}) {
    fs::remove(bad);
    Seed(clean);
    auto key = Open();
    EXPECT_FALSE(key->StoreDamaged());
    if (marked) {
      key->MarkDamaged();
    }
    Set(*key, "Sleep", kRegDword, std::string("\x88\x13\0\0", 4));
    ASSERT_TRUE(key->Close());
    EXPECT_EQ(fs::exists(bad), marked);
    if (marked) {
      EXPECT_EQ(ReadFileBytes(bad), clean);
    }
  }
}
