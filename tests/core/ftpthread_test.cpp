// CFtpThread against a real vsftpd in active mode.
#include "publish/CFtpThread.h"

#include "platform/CodePage932.h"
#include "servers/VsftpdServer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Every byte value, and the line ends that a text-mode transfer would rewrite.
std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 300 * 256; ++i) {
    bytes += static_cast<char>(i) + std::string(i % 256 == 0 ? "\r\n\n\r" : "");
  }
  return bytes;
}

const std::string NotConnected = "Err: まだ接続されていません";

class FtpThreadTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The test command installs vsftpd: a server that does not start is a
    // failure, not a reason to skip.
    ASSERT_TRUE(Server.Started()) << Server.Error();
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{5s});
    Ftp->Start();
  }
  void Connect(const std::string& password = VsftpdServer::Password) {
    Ftp->QueueConnect(Server.Address(), VsftpdServer::User, password);
  }
  FtpReports AwaitResults(std::size_t count, std::size_t from = 0) {
    return AwaitFtpResults(*Sink, count, from);
  }

  VsftpdServer Server;
  TempDir Local{"tavro-ftp"};
  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::unique_ptr<CFtpThread> Ftp = std::make_unique<CFtpThread>();
};

TEST_F(FtpThreadTest, PublishingSequenceWithAWrongThenTheRightPasswordThenAStop) {
  WriteFile(Server.Pub() / "index.html", "old page");
  Server.Share(Server.Pub() / "index.html");
  const std::string page = AllBytes();
  WriteFile(Local / "page", page);
  const auto publish = [&](const std::string& password, int connects) {
    for (int i = 0; i < connects; ++i) {
      Connect(password);
    }
    Ftp->QueueDelete("/pub/index.html");
    Ftp->QueueUpload((Local / "page").string(), "/pub/index.html");
    Ftp->QueueDisconnect();
  };
  publish("wrong", 1);
  // The cause is vsftpd's own reply to the password.
  const FtpReports refused = Join({FtpConnectFailed("530 Login incorrect."),
                                   {FtpText(NotConnected), FtpResult(7, false)},
                                   {FtpText(NotConnected), FtpResult(6, false)},
                                   {FtpText(NotConnected), FtpResult(2, false)}});
  EXPECT_EQ(AwaitResults(4), refused);
  EXPECT_FALSE(Ftp->IsConnected());
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "index.html"), "old page");

  // Half-open: the connect first runs the disconnect. A second connect is
  // refused and leaves the connection as it is. A stop right behind lets all
  // the queued commands run first, and nothing after it.
  publish(VsftpdServer::Password, 2);
  Ftp->RequestStop();
  const auto published =
      Join({{FtpText(NotConnected), FtpResult(2, false)},
            FtpConnected(),
            {FtpText("Err: すでに接続されています。"), FtpResult(1, false)},
            FtpStep(7, "Msg: ファイルを削除します。 : \"/pub/index.html\"",
                    "Msg: ファイルを削除しました。: \"/pub/index.html\"", true),
            FtpStep(6, "Msg: アップロードします。",
                    "Msg: アップロードに成功しました。: \"/pub/index.html\"", true),
            {FtpText("Msg: 切断しました。"), FtpResult(2, true)}});
  EXPECT_EQ(AwaitResults(10, refused.size()), published);
  EXPECT_TRUE(ReadFileBytes(Server.Pub() / "index.html") == page);
  EXPECT_FALSE(Ftp->IsConnected());
  for (int i = 0; i < 500 && !Ftp->IsIdle(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(Ftp->IsIdle());
  Connect();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Sink->Count(), refused.size() + published.size());
}

TEST_F(FtpThreadTest, RefusedChangeThenListingsOfThreeEntriesAndOfNone) {
  WriteFile(Server.Pub() / "a.txt", "12345");
  WriteFile(Server.Pub() / "b.txt", "");
  fs::create_directory(Server.Pub() / "sub");
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  // Directory is one slot, written when a change is queued: each change waits
  // until the one before has run, as the browser's changes do.
  AwaitResults(2);
  Ftp->QueueChangeDirectory("/pub/missing");
  Ftp->QueueList();
  AwaitResults(4);
  EXPECT_EQ(Ftp->GetDirectory(), "/pub");
  Ftp->QueueChangeDirectory("/pub/sub");
  EXPECT_EQ(Ftp->GetDirectory(), "/pub/sub");
  Ftp->QueueList();
  const auto expected = Join(
      {{FtpResult(3, true),
        FtpText("Err: 指定されたパスはディレクトリではありません。: \"/pub/missing\""),
        FtpCause("550 Failed to change directory."),
        FtpText("Msg: ディレクトリとして設定しました。: \"/pub\""), FtpResult(3, true)},
       FtpListing("/pub", {FtpEntryReport("a.txt", false, 5), FtpEntryReport("b.txt", false, 0),
                           FtpEntryReport("sub", true, 4096)}),
       // Empty: no entry, no closing text, and a failed search.
       {FtpResult(3, true), FtpText("Msg: ディレクトリ検索中: \"/pub/sub\""), FtpEvent(15),
        FtpResult(15, false)}});
  EXPECT_EQ(AwaitResults(6, 4), expected);
}

// Downloads never leave a partial or overwritten file; the other commands
// act on the server's files and folders or fail each on its own.
TEST_F(FtpThreadTest, DownloadsRenamesRemovalsAndNewDirectories) {
  const std::string bytes = AllBytes();
  WriteFile(Server.Pub() / "one.bin", bytes);
  WriteFile(Server.Pub() / "two.bin", "second");
  WriteFile(Server.Pub() / "a.txt", "a");
  WriteFile(Local / "existing", "keep me");
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  Ftp->QueueDownload("one.bin", (Local / "existing").string());
  Ftp->QueueDownload("one.bin", (Local / "one").string());
  Ftp->QueueDownload("two.bin", (Local / "two").string());  // its own arguments
  Ftp->QueueDownload("missing.bin", (Local / "missing").string());
  Ftp->QueueDownload("one.bin", (Local / "no-folder" / "x").string());
  Ftp->QueueDownloadReplacing("two.bin", (Local / "existing").string());
  Ftp->QueueCreateDirectory("new dir");
  Ftp->QueueRename("a.txt", "new dir/b.txt");
  Ftp->QueueRemoveDirectory("new dir");  // not empty
  Ftp->QueueDelete("new dir/b.txt");
  Ftp->QueueRemoveDirectory("new dir");
  const std::string n300(300, 'n');
  Ftp->QueueCreateDirectory(n300);  // longer than the file system allows
  Ftp->QueueRename("gone.txt", "x.txt");
  Ftp->QueueUpload((Local / "missing-source").string(), "up.txt");
  const auto failed = [](const std::string& cause) {
    return FtpFailure(5, "Msg: ダウンロードします。", "Err: ダウンロードに失敗しました。", cause);
  };
  const auto done =
      FtpStep(5, "Msg: ダウンロードします。", "Msg: ダウンロードに成功しました。", true);
  const std::string q300 = "\"" + n300 + "\"";
  const auto expected = Join(
      {failed("the local file exists"), done, done, failed("550 Failed to open file."),
       failed("No such file or directory"), done,
       FtpStep(10, "Msg: ディレクトリを作成します。 : \"new dir\"",
               "Msg: ディレクトリを作成しました。 : \"new dir\"", true),
       FtpStep(8, "Msg: ファイル名を変更します。: \"new dir/b.txt\"",
               "Msg: ファイル名を変更しました。: \"new dir/b.txt\"", true),
       FtpFailure(9, "Msg: ディレクトリを削除します。 : \"new dir\"",
                  "Err: ディレクトリを削除することができませんでした。 : \"new dir\"",
                  "550 Remove directory operation failed."),
       FtpStep(7, "Msg: ファイルを削除します。 : \"new dir/b.txt\"",
               "Msg: ファイルを削除しました。: \"new dir/b.txt\"", true),
       FtpStep(9, "Msg: ディレクトリを削除します。 : \"new dir\"",
               "Msg: ディレクトリを削除しました。 : \"new dir\"", true),
       FtpFailure(10, "Msg: ディレクトリを作成します。 : " + q300,
                  "Err: ディレクトリを作成することができませんでした。 : " + q300,
                  "550 Create directory operation failed."),
       FtpFailure(8, "Msg: ファイル名を変更します。: \"x.txt\"",
                  "Err: ファイル名を変更できませんでした。: \"x.txt\"", "550 RNFR command failed."),
       FtpFailure(6, "Msg: アップロードします。", "Err: アップロードに失敗しました。: \"up.txt\"",
                  "No such file or directory")});
  EXPECT_EQ(AwaitResults(16, 5), expected);
  EXPECT_TRUE(ReadFileBytes(Local / "one") == bytes);
  EXPECT_EQ(ReadFileBytes(Local / "two"), "second");
  EXPECT_EQ(ReadFileBytes(Local / "existing"), "second");
  // Nothing else: no partial file beside the targets.
  EXPECT_EQ(std::distance(fs::directory_iterator(Local.Path()), fs::directory_iterator()), 3);
  EXPECT_FALSE(fs::exists(Server.Pub() / "new dir"));
  EXPECT_FALSE(fs::exists(Server.Pub() / "a.txt"));
}

// The browser renames and deletes by the names a listing gave, as the worker
// decoded them: the server must see its own bytes again, also those code
// page 932 does not map one to one. Typed names go as code page 932 to a
// server without UTF8.
TEST_F(FtpThreadTest, ListedNamesGoBackUnchangedAndTypedNamesGoAsCp932) {
  const std::string cp932Name("\x83\x65\x83\x58\x83\x67.html");  // テスト.html
  const std::string oddName("\x85\x40-\xEE\xF9");  // unmapped pair, two-form character
  WriteFile(Server.Pub() / cp932Name, "1");
  WriteFile(Server.Pub() / oddName, "2");
  WriteFile(Local / "up", "3");
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  Ftp->QueueList();
  int entries = 0;
  for (const auto& report : AwaitResults(3)) {
    if (!report.HasEntry) {
      continue;
    }
    ++entries;
    const std::string& text = report.EntryText;
    if (report.EntryName == cp932Name) {
      EXPECT_EQ(text, "テスト.html");  // in the session's encoding
      Ftp->QueueRename("/pub/" + text, text + ".bak");
    } else {
      EXPECT_NE(text, report.EntryName);  // stand-ins for the bytes it cannot carry
      Ftp->QueueDelete(text);
    }
  }
  EXPECT_EQ(entries, 2);
  Ftp->QueueUpload((Local / "up").string(), "日本語.txt");
  AwaitResults(6);
  EXPECT_TRUE(fs::exists(Server.Pub() / (cp932Name + ".bak")));
  EXPECT_FALSE(fs::exists(Server.Pub() / cp932Name));
  EXPECT_FALSE(fs::exists(Server.Pub() / oddName));
  EXPECT_EQ(ReadFileBytes(Server.Pub() / *cp932::FromUtf8("日本語.txt")), "3");
}

TEST_F(FtpThreadTest, OwnerGoneWhileCommandsRemainTheyRunAndReportNothing) {
  WriteFile(Local / "late", "late page");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto reported = std::make_shared<std::atomic<int>>(0);
  Sink->OnEach = [released, reported](const WorkerReport&) {
    if (++*reported == 1) {
      released.wait();  // the owner goes away while the worker is here
    }
  };
  Connect();
  Ftp->QueueUpload((Local / "late").string(), "/pub/late.html");
  Ftp->QueueDisconnect();
  while (*reported == 0) {
    std::this_thread::sleep_for(1ms);
  }
  Ftp.reset();
  Sink.reset();
  release.set_value();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ReadFileBytes(Server.Pub() / "late.html") != "late page" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "late.html"), "late page");
  EXPECT_EQ(*reported, 1);
}

TEST_F(FtpThreadTest, DiscardPendingAndWaitLetsOnlyTheRunningCommandFinish) {
  WriteFile(Local / "offline", std::string(1 << 20, 'o'));
  Sink->OnEach = [this](const WorkerReport& report) {
    if (report.Text() && *report.Text() == "Msg: アップロードします。") {
      // From inside a report, with no time to wait: it cannot finish here.
      EXPECT_FALSE(Ftp->DiscardPendingAndWait(0ms));
    }
  };
  Connect();
  Ftp->QueueUpload((Local / "offline").string(), "/pub/offline.html");
  Ftp->QueueCreateDirectory("/pub/never");
  Ftp->QueueDisconnect();
  ASSERT_TRUE(Sink->WaitFor([](const auto& r) {
    return !r.empty() && r.back().Text && *r.back().Text == "Msg: アップロードします。";
  }));
  EXPECT_TRUE(Ftp->DiscardPendingAndWait(20s));
  EXPECT_EQ(fs::file_size(Server.Pub() / "offline.html"), 1u << 20);
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(Server.Pub() / "never"));
}

}  // namespace
