// The page goes up under a temporary name and is renamed over the target:
// against a real vsftpd (also with the uploading process killed part-way),
// and against scripted servers that rename differently.
#include "ftp/FtpReplace.h"

#include "ftp/FtpSession.h"
#include "publish/CFtpThread.h"
#include "servers/ScriptedFtpPeer.h"
#include "servers/VsftpdServer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;
using Session = ScriptedFtpPeer::Session;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Every byte value and line ends, so that no text-mode rewriting goes unseen.
std::string PageBytes(std::size_t size, char seed) {
  std::string bytes;
  bytes.reserve(size);
  for (std::size_t i = 0; bytes.size() < size; ++i) {
    bytes += static_cast<char>(i * 31 + static_cast<std::size_t>(seed));
    if (i % 1000 == 0) {
      bytes += "\r\n";
    }
  }
  bytes.resize(size);
  return bytes;
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(ReplacementNameTest, KeepsStemAndExtensionAndIsKnownAgain) {
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(ReplacementName("index.html", 7), "index.tavro-" + pid + "-7.html");
  EXPECT_EQ(ReplacementName(".htaccess", 0), ".htaccess.tavro-" + pid + "-0");
  EXPECT_EQ(ReplacementName("page", 3), "page.tavro-" + pid + "-3");
  for (const std::string name : {"index.html", ".htaccess", "page", "a.tar.gz"}) {
    EXPECT_TRUE(IsReplacementOf(ReplacementName(name, 12), name)) << name;
  }
  for (const std::string other :
       {"index.html", "index.tavro-1-2.htm", "other.tavro-1-2.html", "index.tavro-x-2.html",
        "index.tavro-12.html", "index.tavro--2.html", "index.tavro-1-.html",
        "index.tavro-1-2.html~", "xindex.tavro-1-2.html"}) {
    EXPECT_FALSE(IsReplacementOf(other, "index.html")) << other;
  }
}

// ---- A real server ----------------------------------------------------------

class VsftpdReplaceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Server.Started()) << Server.Error();
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{5s});
    Ftp->Start();
  }
  void Connect() {
    Ftp->QueueConnect(Server.Address(), VsftpdServer::User, VsftpdServer::Password);
  }

  VsftpdServer Server;
  TempDir Local{"tavro-replace"};
  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::unique_ptr<CFtpThread> Ftp = std::make_unique<CFtpThread>();
};

TEST_F(VsftpdReplaceTest, TheNewPageArrivesWholeAndNoTemporaryFileIsLeft) {
  WriteFile(Server.Pub() / "index.html", "old page");
  // A killed attempt's left-over, and names that only look alike.
  const std::set<std::string> unrelated{"index.tavro-1-2.htm", "other.tavro-1-2.html",
                                        "index.tavro-x-1.html"};
  for (const auto& name : unrelated) {
    WriteFile(Server.Pub() / name, "keep");
  }
  WriteFile(Server.Pub() / "index.tavro-99999999-3.html", "half a pa");
  Server.Share(Server.Pub());
  const std::string page = PageBytes(3 << 20, 'a');
  WriteFile(Local / "page.part", page);
  WriteFile(Local / "second", "second page");
  WriteFile(Local / "never", "never sent");

  Ftp->QueueReplace((Local / "never").string(), "/pub/index.html", CFtpThread::LocalFile::Remove);
  Connect();
  Ftp->QueueReplace((Local / "page.part").string(), "/pub/index.html",
                    CFtpThread::LocalFile::Remove);
  Ftp->QueueChangeDirectory("/pub");
  Ftp->QueueReplace((Local / "second").string(), "index.html");  // relative, kept locally
  Ftp->QueueReplace((Local / "second").string(), "/pub/missing/index.html");
  Ftp->QueueDisconnect();
  const std::string uploading = "Msg: アップロードします。";
  const auto expected = Join(
      {{FtpText("Err: まだ接続されていません"), FtpResult(6, false)},
       FtpConnected(),
       FtpStep(6, uploading, "Msg: アップロードに成功しました。: \"/pub/index.html\"", true),
       {FtpResult(3, true)},
       FtpStep(6, uploading, "Msg: アップロードに成功しました。: \"index.html\"", true),
       FtpFailure(6, uploading, "Err: アップロードに失敗しました。: \"/pub/missing/index.html\"",
                  "553 Could not create file."),
       {FtpText("Msg: 切断しました。"), FtpResult(2, true)}});
  EXPECT_EQ(AwaitFtpResults(*Sink, FtpResultCount(expected)), expected);
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "index.html"), "second page");
  auto left = unrelated;
  left.insert("index.html");
  EXPECT_EQ(Names(Server.Pub()), left);
  // The generated pages are gone, whatever became of their uploads.
  EXPECT_EQ(Names(Local.Path()), std::set<std::string>{"second"});
}

// Left for the offline page on the way out, a queued page never goes up, and
// its file goes all the same.
TEST_F(VsftpdReplaceTest, APageDroppedUnrunIsRemovedToo) {
  WriteFile(Local / "offline", "offline page");
  WriteFile(Local / "page.part", "online page");
  Sink->OnEach = [this](const WorkerReport& report) {
    if (report.Text() && *report.Text() == "Msg: アップロードします。") {
      // The worker waits here: the replace behind is surely not started.
      EXPECT_FALSE(Ftp->DiscardPendingAndWait(0ms));
    }
  };
  Connect();
  Ftp->QueueUpload((Local / "offline").string(), "/pub/offline.html");
  Ftp->QueueReplace((Local / "page.part").string(), "/pub/index.html",
                    CFtpThread::LocalFile::Remove);
  ASSERT_TRUE(Sink->WaitFor([](const auto& r) {
    return !r.empty() && r.back().Text && *r.back().Text == "Msg: アップロードします。";
  }));
  EXPECT_TRUE(Ftp->DiscardPendingAndWait(20s));
  EXPECT_FALSE(fs::exists(Local / "page.part"));
  EXPECT_EQ(Names(Server.Pub()), std::set<std::string>{"offline.html"});
}

TEST_F(VsftpdReplaceTest, TheFirstReplaceHoldsTheWholePage) {
  WriteFile(Server.Pub() / "index.html", "old page");
  Server.Share(Server.Pub() / "index.html");
  const std::string page = PageBytes(3 << 20, 'b');
  WriteFile(Local / "page", page);
  FtpSession session(FtpTimeouts{5s});
  ASSERT_TRUE(session.Open(Server.Address(), VsftpdServer::User, VsftpdServer::Password));
  std::string cause;
  ASSERT_TRUE(ReplaceRemoteFile(session, (Local / "page").string(), "/pub/index.html", {}, cause))
      << cause;
  EXPECT_TRUE(ReadFileBytes(Server.Pub() / "index.html") == page);
  EXPECT_EQ(Names(Server.Pub()), std::set<std::string>{"index.html"});
}

// The uploading process dies in the middle of the transfer: the target is
// still the old page, whole, and the next replace clears the left-over.
TEST(KilledUploadTest, TheTargetIsTheOldPageOrTheNewOneWhole) {
  // Slow enough that the upload is surely caught part-way.
  VsftpdOptions options;
  options.MaxRate = 1 << 20;
  VsftpdServer server(options);
  ASSERT_TRUE(server.Started()) << server.Error();
  TempDir local{"tavro-killed"};
  const std::string oldPage = PageBytes(1 << 20, 'o');
  const std::string newPage = PageBytes(6 << 20, 'n');
  WriteFile(server.Pub() / "index.html", oldPage);
  server.Share(server.Pub() / "index.html");
  WriteFile(local / "page", newPage);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FtpSession session(FtpTimeouts{20s});
    std::string cause;
    const bool done =
        session.Open(server.Address(), VsftpdServer::User, VsftpdServer::Password) &&
        ReplaceRemoteFile(session, (local / "page").string(), "/pub/index.html", {}, cause);
    ::_exit(done ? 0 : 1);
  }
  // Killed once part of the page has arrived under its temporary name.
  std::optional<fs::path> temporary;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!temporary && std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : fs::directory_iterator(server.Pub())) {
      if (IsReplacementOf(entry.path().filename().string(), "index.html") &&
          fs::file_size(entry.path()) > 0) {
        temporary = entry.path();
      }
    }
    std::this_thread::sleep_for(5ms);
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(temporary) << "the upload never began";
  ASSERT_TRUE(WIFSIGNALED(status)) << "the upload ended before the kill";

  const std::string target = ReadFileBytes(server.Pub() / "index.html");
  EXPECT_TRUE(target == oldPage || target == newPage) << target.size() << " bytes";
  EXPECT_LT(fs::file_size(*temporary), newPage.size());

  // A later attempt of another process leaves one page and nothing else.
  FtpSession session(FtpTimeouts{20s});
  ASSERT_TRUE(session.Open(server.Address(), VsftpdServer::User, VsftpdServer::Password));
  std::string cause;
  WriteFile(local / "small", "new page");
  ASSERT_TRUE(ReplaceRemoteFile(session, (local / "small").string(), "/pub/index.html", {}, cause))
      << cause;
  EXPECT_EQ(ReadFileBytes(server.Pub() / "index.html"), "new page");
  EXPECT_EQ(Names(server.Pub()), std::set<std::string>{"index.html"});
}

// ---- Servers that rename differently ----------------------------------------

// A server's folder in memory: STOR, RNFR/RNTO, DELE, SIZE and LIST on it.
class FilePeer {
public:
  enum class Renames {
    OverExisting,  // RNTO replaces an existing file
    NotOverExisting,
    Never,  // RNFR is not known
  };

  FilePeer(Renames renames, bool size) {
    Peer.On("STOR", [this](Session& s, const std::string& name) {
      s.Reply("150 Ok to send data.");
      std::string bytes;
      if (auto data = s.OpenData()) {
        char buffer[65536];
        for (int n; (n = data->receiveBytes(buffer, sizeof buffer)) > 0;) {
          bytes.append(buffer, static_cast<std::size_t>(n));
        }
      }
      std::lock_guard lock(Mutex);
      Files[name] = bytes;
      s.Reply("226 Transfer complete.");
    });
    Peer.On("DELE", [this](Session& s, const std::string& name) {
      std::lock_guard lock(Mutex);
      s.Reply(Files.erase(name) ? "250 Delete operation successful." : "550 No such file.");
    });
    Peer.On("LIST", [this](Session& s, const std::string&) {
      std::string listing;
      {
        std::lock_guard lock(Mutex);
        for (const auto& [name, bytes] : Files) {
          listing += "-rw-r--r--    1 0        0      " + std::to_string(bytes.size()) +
                     " Dec 06 08:00 " + name + "\r\n";
        }
      }
      s.Reply("150 Here comes the directory listing.");
      s.SendData(listing);
      s.Reply("226 Directory send OK.");
    });
    if (size) {
      Peer.On("SIZE", [this](Session& s, const std::string& name) {
        std::lock_guard lock(Mutex);
        const auto found = Files.find(name);
        s.Reply(found == Files.end() ? "550 Could not get file size."
                                     : "213 " + std::to_string(found->second.size()));
      });
    }
    if (renames == Renames::Never) {
      return;  // RNFR and RNTO answer 502
    }
    Peer.On("RNFR", [this](Session& s, const std::string& name) {
      std::lock_guard lock(Mutex);
      From = name;
      s.Reply(Files.count(name) ? "350 Ready for RNTO." : "550 RNFR command failed.");
    });
    Peer.On("RNTO", [this, renames](Session& s, const std::string& name) {
      std::lock_guard lock(Mutex);
      if (renames == Renames::NotOverExisting && Files.count(name)) {
        s.Reply("550 Cannot create a file when that file already exists.");
        return;
      }
      Files[name] = Files[From];
      Files.erase(From);
      s.Reply("250 Rename successful.");
    });
  }

  std::map<std::string, std::string> Snapshot() const {
    std::lock_guard lock(Mutex);
    return Files;
  }
  void Put(const std::string& name, const std::string& bytes) {
    std::lock_guard lock(Mutex);
    Files[name] = bytes;
  }
  // The commands that change or ask about files, with the temporary name as
  // "<tmp>".
  std::vector<std::string> FileCommands() const {
    const std::string temporary = ReplacementName("index.html", 0);
    const std::string mark = temporary.substr(0, temporary.rfind('-') + 1);  // "index.tavro-<pid>-"
    std::vector<std::string> commands;
    for (std::string line : Peer.Received()) {
      const std::string verb = line.substr(0, line.find(' '));
      if (verb == "STOR" || verb == "RNFR" || verb == "RNTO" || verb == "DELE" || verb == "SIZE" ||
          verb == "LIST") {
        const auto at = line.find(mark);
        if (at != std::string::npos) {
          line = line.substr(0, at) + "<tmp>";
        }
        commands.push_back(line);
      }
    }
    return commands;
  }

  ScriptedFtpPeer Peer;

private:
  mutable std::mutex Mutex;
  std::map<std::string, std::string> Files;
  std::string From;
};

struct Server {
  std::string Name;
  FilePeer::Renames Renames;
  bool Size;
  bool TargetThere;
  ReplaceOptions Options;
  bool Replaced;  // the target holds the new page afterwards
  std::vector<std::string> Commands;
  std::string Cause = {};
};

void PrintTo(const Server& server, std::ostream* out) {
  *out << server.Name;
}

class FilePeerTest : public ::testing::TestWithParam<Server> {};

TEST_P(FilePeerTest, ReplacesTheTargetAsTheServerAllows) {
  const Server& server = GetParam();
  FilePeer peer(server.Renames, server.Size);
  if (server.TargetThere) {
    peer.Put("index.html", "old page");
  }
  peer.Put("index.tavro-4242-0.html", "left over");
  TempDir local{"tavro-filepeer"};
  WriteFile(local / "page", "new page");
  FtpSession session(FtpTimeouts{5s});
  ASSERT_TRUE(session.Open(peer.Peer.Address(), "user", "pw"));
  std::string cause;
  EXPECT_EQ(
      ReplaceRemoteFile(session, (local / "page").string(), "index.html", server.Options, cause),
      server.Replaced)
      << cause;
  EXPECT_EQ(cause, server.Cause);
  std::map<std::string, std::string> files;
  if (server.Replaced) {
    files["index.html"] = "new page";
  } else if (server.TargetThere) {
    files["index.html"] = "old page";
  }
  if (!server.Replaced || !server.Options.SweepLeftovers) {
    files["index.tavro-4242-0.html"] = "left over";
  }
  EXPECT_EQ(peer.Snapshot(), files);
  EXPECT_EQ(peer.FileCommands(), server.Commands);
}

const ReplaceOptions Publish;
const ReplaceOptions Unpublish = [] {
  ReplaceOptions options;
  options.TargetMustExist = true;
  options.SweepLeftovers = false;
  return options;
}();

INSTANTIATE_TEST_SUITE_P(
    Servers, FilePeerTest,
    ::testing::Values(Server{"RenamesOverTheTarget",
                             FilePeer::Renames::OverExisting,
                             true,
                             true,
                             Publish,
                             true,
                             {"STOR <tmp>", "RNFR <tmp>", "RNTO index.html", "LIST",
                              "DELE index.tavro-4242-0.html"}},
                      Server{"RenamesOnlyOntoAFreeName",
                             FilePeer::Renames::NotOverExisting,
                             true,
                             true,
                             Publish,
                             true,
                             {"STOR <tmp>", "RNFR <tmp>", "RNTO index.html", "DELE index.html",
                              "RNFR <tmp>", "RNTO index.html", "LIST",
                              "DELE index.tavro-4242-0.html"}},
                      Server{"NeverRenames",
                             FilePeer::Renames::Never,
                             true,
                             true,
                             Publish,
                             true,
                             {"STOR <tmp>", "RNFR <tmp>", "DELE <tmp>", "DELE index.html",
                              "STOR index.html", "LIST", "DELE index.tavro-4242-0.html"}},
                      // The first publish: there is no page yet.
                      Server{"NeverRenamesAndNoTargetYet",
                             FilePeer::Renames::Never,
                             true,
                             false,
                             Publish,
                             true,
                             {"STOR <tmp>", "RNFR <tmp>", "DELE <tmp>", "DELE index.html",
                              "STOR index.html", "LIST", "DELE index.tavro-4242-0.html"}},
                      Server{"UnpublishRenamesOverTheTarget",
                             FilePeer::Renames::OverExisting,
                             true,
                             true,
                             Unpublish,
                             true,
                             {"SIZE index.html", "STOR <tmp>", "RNFR <tmp>", "RNTO index.html"}},
                      // A wrong file name must not plant the offline page somewhere new.
                      Server{"UnpublishWithoutTarget",
                             FilePeer::Renames::OverExisting,
                             true,
                             false,
                             Unpublish,
                             false,
                             {"SIZE index.html"},
                             "550 Could not get file size."},
                      Server{"UnpublishWithoutSizeOrTarget",
                             FilePeer::Renames::OverExisting,
                             false,
                             false,
                             Unpublish,
                             false,
                             {"SIZE index.html", "DELE index.html"},
                             "550 No such file."},
                      Server{"UnpublishWithoutSize",
                             FilePeer::Renames::OverExisting,
                             false,
                             true,
                             Unpublish,
                             true,
                             {"SIZE index.html", "DELE index.html", "STOR index.html"}}),
    [](const auto& info) { return info.param.Name; });

// A temporary file that could not go up whole is deleted; the target stays.
TEST(FilePeerFailureTest, ATemporaryFileThatFailedIsDeletedAndTheTargetStays) {
  FilePeer peer(FilePeer::Renames::OverExisting, true);
  peer.Peer.On("STOR", [](Session& s, const std::string&) {
    s.Reply("150 Ok to send data.");
    if (auto data = s.OpenData()) {
      char buffer[1024];
      data->receiveBytes(buffer, sizeof buffer);
    }
    s.Reply("552 Exceeded storage allocation.");
  });
  peer.Put("index.html", "old page");
  TempDir local{"tavro-filepeer"};
  WriteFile(local / "page", std::string(1 << 20, 'n'));
  FtpSession session(FtpTimeouts{5s});
  ASSERT_TRUE(session.Open(peer.Peer.Address(), "user", "pw"));
  std::string cause;
  EXPECT_FALSE(ReplaceRemoteFile(session, (local / "page").string(), "index.html", {}, cause));
  EXPECT_EQ(cause, "552 Exceeded storage allocation.");
  EXPECT_EQ(peer.FileCommands(), (std::vector<std::string>{"STOR <tmp>", "DELE <tmp>"}));
  EXPECT_EQ(peer.Snapshot(), (std::map<std::string, std::string>{{"index.html", "old page"}}));
  // Nothing to upload: nothing on the server is touched.
  EXPECT_FALSE(ReplaceRemoteFile(session, (local / "missing").string(), "index.html", {}, cause));
  EXPECT_EQ(cause, "No such file or directory");
  EXPECT_EQ(peer.FileCommands().size(), 2u);
}

}  // namespace
