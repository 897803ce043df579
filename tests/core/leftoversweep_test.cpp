// The start-up sweep of what killed saves and page writes leave: exactly the
// names they make, this user's regular files, and only old ones.
#include "platform/LeftoverSweep.h"

#include "publish/PageGenerator.h"
#include "registry/RegistryStore.h"
#include "settings/Settings.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

class LeftoverSweepTest : public ::testing::Test {
protected:
  // A file last changed `age` ago.
  fs::path Make(const std::string& name, std::chrono::seconds age = 2min) {
    const fs::path path = Dir / name;
    std::ofstream(path, std::ios::binary) << "partial";
    SetAge(path, age);
    return path;
  }
  static void SetAge(const fs::path& path, std::chrono::seconds age, int flags = 0) {
    timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= age.count();
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, flags), 0) << path;
  }

  TempDir Dir;
  const fs::path Settings = Dir / "Tavro.reg";
  const fs::path Page = Dir / "page.html";
};

}  // namespace

TEST_F(LeftoverSweepTest, RemovesOldLeftoversOfBothKinds) {
  const fs::path save1 = Make("Tavro.reg.a8Kq2Z");
  const fs::path save2 = Make("Tavro.reg.0b1c2D");
  const fs::path page1 = Make("page.html.tmp.4711-0.part");
  const fs::path page2 = Make("page.html.tmp.12-3.part");
  std::ofstream(Settings) << "REGEDIT4\r\n";
  std::ofstream(Page) << "<p>#####</p>\n";

  EXPECT_EQ(SweepLeftovers(Settings, LeftoverKind::SettingsSave, std::chrono::system_clock::now()),
            2u);
  EXPECT_FALSE(fs::exists(save1));
  EXPECT_FALSE(fs::exists(save2));
  EXPECT_TRUE(fs::exists(page1));  // not a settings leftover
  EXPECT_EQ(SweepLeftovers(Page, LeftoverKind::PartialPage, std::chrono::system_clock::now()), 2u);
  EXPECT_FALSE(fs::exists(page1));
  EXPECT_FALSE(fs::exists(page2));
  // The files they stood in for stay as they were.
  EXPECT_EQ(ReadFileBytes(Settings), "REGEDIT4\r\n");
  EXPECT_EQ(ReadFileBytes(Page), "<p>#####</p>\n");
}

// A file changed within the last minute may belong to a save or a page that
// is being written right now.
TEST_F(LeftoverSweepTest, KeepsYoungFiles) {
  const fs::path fresh = Make("Tavro.reg.a8Kq2Z", 0s);
  const fs::path almost = Make("page.html.tmp.4711-0.part", 50s);
  const auto now = std::chrono::system_clock::now();
  EXPECT_EQ(SweepLeftovers(Settings, LeftoverKind::SettingsSave, now), 0u);
  EXPECT_EQ(SweepLeftovers(Page, LeftoverKind::PartialPage, now), 0u);
  EXPECT_TRUE(fs::exists(fresh));
  EXPECT_TRUE(fs::exists(almost));
  // The same files seen from a later moment are old enough.
  EXPECT_EQ(SweepLeftovers(Settings, LeftoverKind::SettingsSave, now + 61s), 1u);
  EXPECT_EQ(SweepLeftovers(Page, LeftoverKind::PartialPage, now + 11s), 1u);
}

TEST_F(LeftoverSweepTest, KeepsNamesThatOnlyLookAlike) {
  const char* const kept[] = {
      "Tavro.reg",
      "Tavro.reg.bad",
      "Tavro.reg.lock",
      "Tavro.reg.a8Kq2",    // five
      "Tavro.reg.a8Kq2Zx",  // seven
      "Tavro.reg.a8K-2Z",   // not a letter or digit
      "Tavro.reg.backup",   // one sort only: a name someone chose
      "Tavro.reg.BACKUP",
      "Tavro.reg.240115",
      "Tavro.reg_a8Kq2Z",
      "xTavro.reg.a8Kq2Z",
      "other.reg.a8Kq2Z",
      "page.html.tmp",
      "page.html.tmp.12-3.partx",
      "page.html.tmp.12-3.part.a8Kq2Z",
      "page.html.tmp.12.part",
      "page.html.tmp.-3.part",
      "page.html.tmp.12-.part",
      "page.html.tmp.012-3.part",  // to_string writes no leading zero
      "page.html.tmp.12-+3.part",
      "page.html.tmp.12345678901-3.part",  // more digits than any pid
      "page.html.12-3.part",
      "other.part",
      "other.html.tmp.12-3.part",
  };
  for (const char* name : kept) {
    Make(name);
  }
  const auto now = std::chrono::system_clock::now();
  EXPECT_EQ(SweepLeftovers(Settings, LeftoverKind::SettingsSave, now), 0u);
  EXPECT_EQ(SweepLeftovers(Page, LeftoverKind::PartialPage, now), 0u);
  for (const char* name : kept) {
    EXPECT_TRUE(fs::exists(Dir / name)) << name;
  }
}

// Only the entry itself counts: a link named like a leftover stays, and so
// does what it points to; so does a folder of that name.
TEST_F(LeftoverSweepTest, KeepsLinksAndFolders) {
  const fs::path target = Make("elsewhere");
  const fs::path link = Dir / "Tavro.reg.a8Kq2Z";
  fs::create_symlink(target, link);
  SetAge(link, 2min, AT_SYMLINK_NOFOLLOW);
  const fs::path dangling = Dir / "page.html.tmp.1-1.part";
  fs::create_symlink(Dir / "nowhere", dangling);
  SetAge(dangling, 2min, AT_SYMLINK_NOFOLLOW);
  const fs::path folder = Dir / "page.html.tmp.1-2.part";
  fs::create_directory(folder);
  SetAge(folder, 2min);

  const auto now = std::chrono::system_clock::now();
  EXPECT_EQ(SweepLeftovers(Settings, LeftoverKind::SettingsSave, now), 0u);
  EXPECT_EQ(SweepLeftovers(Page, LeftoverKind::PartialPage, now), 0u);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(target), "partial");
  EXPECT_TRUE(fs::is_symlink(dangling));
  EXPECT_TRUE(fs::is_directory(folder));
}

TEST_F(LeftoverSweepTest, KeepsAnotherUsersFiles) {
  if (::getuid() != 0) {
    GTEST_SKIP() << "only root can give a file to another user";
  }
  const fs::path theirs = Make("Tavro.reg.a8Kq2Z");
  ASSERT_EQ(::chown(theirs.c_str(), 4242, 4242), 0);
  const fs::path ours = Make("Tavro.reg.Zq2K8a");
  EXPECT_EQ(SweepLeftovers(Settings, LeftoverKind::SettingsSave, std::chrono::system_clock::now()),
            1u);
  EXPECT_TRUE(fs::exists(theirs));
  EXPECT_FALSE(fs::exists(ours));
}

// At start-up: the settings folder and each template's folder, which may be
// three different ones; a relative template is looked for from the working
// folder, as the page generator writes it.
TEST_F(LeftoverSweepTest, StartUpSweepsEachFolder) {
  fs::create_directories(Dir / "config");
  fs::create_directories(Dir / "on");
  fs::create_directories(Dir / "off");
  const fs::path save = Make("config/Tavro.reg.a8Kq2Z");
  const fs::path online = Make("on/page.html.tmp.99-0.part");
  const fs::path offline = Make("off/bye.html.tmp.99-1.part");
  const fs::path relative = Make("here.html.tmp.99-2.part");
  const fs::path notThere = Make("config/page.html.tmp.99-3.part");  // no template there
  const fs::path previous = fs::current_path();
  fs::current_path(Dir.Path());
  SweepStartupLeftovers(
      Dir / "config" / "Tavro.reg",
      {(Dir / "on" / "page.html").string(), (Dir / "off" / "bye.html").string(), "here.html", ""},
      std::chrono::system_clock::now());
  fs::current_path(previous);
  EXPECT_FALSE(fs::exists(save));
  EXPECT_FALSE(fs::exists(online));
  EXPECT_FALSE(fs::exists(offline));
  EXPECT_FALSE(fs::exists(relative));
  EXPECT_TRUE(fs::exists(notThere));
}

// The real writers, killed in the middle of their write (by a file size
// limit of nothing, so the kill comes at their first byte): what they leave
// is what the sweep takes.
namespace {

template <typename Write>
void KilledWhileWriting(Write write) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_FSIZE, &none);
    write();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST_F(LeftoverSweepTest, TakesWhatKilledWritersLeave) {
  std::ofstream(Page) << "<p>#####</p>\n";
  KilledWhileWriting([this] { GeneratePage(Page.string(), "192.0.2.1"); });
  ASSERT_EQ(Names(Dir.Path()).size(), 2u);  // the template and the child's partial page
  const auto later = std::chrono::system_clock::now() + 2min;
  EXPECT_EQ(SweepLeftovers(Page, LeftoverKind::PartialPage, later), 1u);
  EXPECT_EQ(Names(Dir.Path()), std::vector<std::string>{"page.html"});

  // mkstemp's draw is of one sort only about once in a hundred, and is then
  // left; another kill gives another draw.
  bool swept = false;
  for (int attempt = 0; attempt < 5 && !swept; ++attempt) {
    const auto before = Names(Dir.Path()).size();
    KilledWhileWriting([this] { SaveSettings(*MakeFileRegistryStore(Settings), {}); });
    ASSERT_EQ(Names(Dir.Path()).size(), before + 1 + (attempt == 0));  // and the save's lock
    swept = SweepLeftovers(Settings, LeftoverKind::SettingsSave, later) == 1;
  }
  EXPECT_TRUE(swept);
  EXPECT_FALSE(fs::exists(Settings));  // the save never got as far as its rename
}
