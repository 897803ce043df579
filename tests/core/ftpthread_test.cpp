// CFtpThread against a real vsftpd in active mode.
#include "publish/CFtpThread.h"

#include "platform/CodePage932.h"
#include "servers/VsftpdServer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string AllBytes() {
  std::string bytes;
  for (int round = 0; round < 300; ++round) {
    for (int b = 0; b < 256; ++b) {
      bytes += static_cast<char>(b);
    }
    bytes += "\r\n\n\r";
  }
  return bytes;
}

std::string Quote(const std::string& text) {
  return "\"" + text + "\"";
}

const std::string Connecting = "Msg: 接続中";
const std::string Connected = "Msg: 接続しました";
const std::string ConnectFailed = "Err: 接続できませんでした";
const std::string NotConnected = "Err: まだ接続されていません";
const std::string Disconnected = "Msg: 切断しました。";

class FtpThreadTest : public ::testing::Test {
public:
  void SetUp() override { StartServer({}); }

  void StartServer(VsftpdServer::Options options) {
    Server = std::make_unique<VsftpdServer>(options);
    // The test command installs vsftpd, so a server that does not start is a
    // failure, not a reason to skip.
    ASSERT_TRUE(Server->Started()) << Server->Error();
    Local = fs::path(::testing::TempDir()) /
            ("tavro-ftp-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Local);
    fs::create_directories(Local);
    Sink = std::make_shared<RecordingSink>();
    Ftp = std::make_unique<CFtpThread>();
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{5s});
    Ftp->Start();
  }

  void TearDown() override {
    Ftp.reset();
    Sink.reset();
    Server.reset();
    if (!Local.empty()) {
      fs::remove_all(Local);
    }
  }

  void Connect() {
    Ftp->QueueConnect(Server->Address(), VsftpdServer::User, VsftpdServer::Password);
  }

protected:
  // Waits for `count` command results in all and returns the reports from
  // `from` on.
  std::vector<RecordedReport> AwaitResults(std::size_t count, std::size_t from = 0) {
    EXPECT_TRUE(Sink->WaitFor([&](const auto& r) { return FtpResultCount(r) >= count; }));
    auto reports = Sink->Reports();
    return {reports.begin() + static_cast<std::ptrdiff_t>(std::min(from, reports.size())),
            reports.end()};
  }

  std::vector<RecordedReport> ConnectedPrefix() {
    return {FtpText(Connecting), FtpEvent(1), FtpText(Connected), FtpResult(1, true)};
  }

  std::unique_ptr<VsftpdServer> Server;
  fs::path Local;
  std::shared_ptr<RecordingSink> Sink;
  std::unique_ptr<CFtpThread> Ftp;
};

TEST_F(FtpThreadTest, PublishingSequenceReplacesTheRemoteFileByteForByte) {
  WriteFile(Server->Pub() / "index.html", "old page");
  Server->Share(Server->Pub() / "index.html");
  const std::string page = AllBytes();
  WriteFile(Local / "index.html.tmp", page);

  Connect();
  Ftp->QueueDelete("/pub/index.html");
  Ftp->QueueUpload((Local / "index.html.tmp").string(), "/pub/index.html");
  Ftp->QueueDisconnect();
  auto expected = ConnectedPrefix();
  expected.insert(expected.end(),
                  {FtpText("Msg: ファイルを削除します。 : \"/pub/index.html\""), FtpEvent(7),
                   FtpText("Msg: ファイルを削除しました。: \"/pub/index.html\""),
                   FtpResult(7, true), FtpText("Msg: アップロードします。"), FtpEvent(6),
                   FtpText("Msg: アップロードに成功しました。: \"/pub/index.html\""),
                   FtpResult(6, true), FtpText(Disconnected), FtpResult(2, true)});
  EXPECT_EQ(AwaitResults(4), expected);
  EXPECT_TRUE(ReadFile(Server->Pub() / "index.html") == page);
  EXPECT_FALSE(Ftp->IsConnected());
}

TEST_F(FtpThreadTest, WrongPasswordLeavesHalfOpenAndTheNextConnectDisconnectsFirst) {
  WriteFile(Local / "page", "x");
  Ftp->QueueConnect(Server->Address(), VsftpdServer::User, "wrong");
  Ftp->QueueDelete("index.html");
  Ftp->QueueUpload((Local / "page").string(), "index.html");
  Ftp->QueueDisconnect();
  const std::vector<RecordedReport> failed{
      FtpText(Connecting),   FtpEvent(1),         FtpText(ConnectFailed), FtpResult(1, false),
      FtpText(NotConnected), FtpResult(7, false), FtpText(NotConnected),  FtpResult(6, false),
      FtpText(NotConnected), FtpResult(2, false)};
  EXPECT_EQ(AwaitResults(4), failed);
  EXPECT_FALSE(Ftp->IsConnected());
  EXPECT_FALSE(fs::exists(Server->Pub() / "index.html"));

  Connect();
  std::vector<RecordedReport> retry{FtpText(NotConnected), FtpResult(2, false)};
  const auto connected = ConnectedPrefix();
  retry.insert(retry.end(), connected.begin(), connected.end());
  EXPECT_EQ(AwaitResults(6, failed.size()), retry);
  EXPECT_TRUE(Ftp->IsConnected());
}

TEST_F(FtpThreadTest, ConnectWhileConnectedIsRefusedAndTheConnectionStays) {
  WriteFile(Server->Pub() / "a.txt", "a");
  Connect();
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  Ftp->QueueList("");
  auto reports = AwaitResults(4);
  ASSERT_GE(reports.size(), 6u);
  EXPECT_EQ(reports[4], FtpText("Err: すでに接続されています。"));
  EXPECT_EQ(reports[5], FtpResult(1, false));
  EXPECT_EQ(reports.back(), FtpResult(15, true));
  EXPECT_TRUE(Ftp->IsConnected());
}

TEST_F(FtpThreadTest, RefusedChangeTakesTheServersDirectoryAndTheListingSearchesIt) {
  WriteFile(Server->Pub() / "a.txt", "12345");
  WriteFile(Server->Pub() / "b.txt", "");
  fs::create_directory(Server->Pub() / "sub");
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  // Directory is one slot, read when a command runs: the second change waits
  // until the first has run, as the browser's changes do.
  AwaitResults(2);
  Ftp->QueueChangeDirectory("/pub/missing");
  Ftp->QueueList("/elsewhere");
  std::vector<RecordedReport> expected{
      FtpResult(3, true),
      FtpText("Err: 指定されたパスはディレクトリではありません。: \"/pub/missing\""),
      FtpText("Msg: ディレクトリとして設定しました。: \"/pub\""),
      FtpResult(3, true),
      FtpText("Msg: ディレクトリ検索中: \"/pub\""),
      FtpEvent(15),
      FtpEntryReport("a.txt", false, 5),
      FtpEntryReport("b.txt", false, 0),
      FtpEntryReport("sub", true, 4096),
      FtpText("Msg: ディレクトリ検索終了"),
      FtpResult(15, true)};
  const auto reports = AwaitResults(4, 4);
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(Ftp->GetDirectory(), "/pub");
}

TEST_F(FtpThreadTest, EmptyDirectoryListsAsAFailedSearchWithoutClosingText) {
  fs::create_directory(Server->Pub() / "empty");
  Connect();
  Ftp->QueueChangeDirectory("/pub/empty");
  EXPECT_EQ(Ftp->GetDirectory(), "/pub/empty");  // written when queued
  Ftp->QueueList("/not-this-one");
  const std::vector<RecordedReport> expected{FtpResult(3, true),
                                             FtpText("Msg: ディレクトリ検索中: \"/pub/empty\""),
                                             FtpEvent(15), FtpResult(15, false)};
  EXPECT_EQ(AwaitResults(3, 4), expected);
}

TEST_F(FtpThreadTest, DownloadsNeverLeaveAPartialOrOverwrittenFile) {
  const std::string bytes = AllBytes();
  WriteFile(Server->Pub() / "one.bin", bytes);
  WriteFile(Server->Pub() / "two.bin", "second");
  WriteFile(Local / "existing", "keep me");
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  Ftp->QueueDownload("one.bin", (Local / "existing").string());
  Ftp->QueueDownload("one.bin", (Local / "one").string());
  Ftp->QueueDownload("two.bin", (Local / "two").string());  // its own arguments
  Ftp->QueueDownload("missing.bin", (Local / "missing").string());
  Ftp->QueueDownload("one.bin", (Local / "no-folder" / "x").string());
  Ftp->QueueDownload("one.bin", (Local / "existing" / "x").string());  // a file as the folder
  Ftp->QueueDownloadReplacing("two.bin", (Local / "existing").string());
  const auto reports = AwaitResults(9);
  const std::vector<RecordedReport> failed{FtpText("Msg: ダウンロードします。"), FtpEvent(5),
                                           FtpText("Err: ダウンロードに失敗しました。"),
                                           FtpResult(5, false)};
  const std::vector<RecordedReport> done{FtpText("Msg: ダウンロードします。"), FtpEvent(5),
                                         FtpText("Msg: ダウンロードに成功しました。"),
                                         FtpResult(5, true)};
  std::vector<RecordedReport> expected;
  for (const auto* step : {&failed, &done, &done, &failed, &failed, &failed, &done}) {
    expected.insert(expected.end(), step->begin(), step->end());
  }
  EXPECT_EQ(std::vector<RecordedReport>(reports.begin() + 5, reports.end()), expected);
  EXPECT_TRUE(ReadFile(Local / "one") == bytes);
  EXPECT_EQ(ReadFile(Local / "two"), "second");
  EXPECT_EQ(ReadFile(Local / "existing"), "second");
  EXPECT_FALSE(fs::exists(Local / "missing"));
  // Nothing else: no partial files beside the targets.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Local)) {
    ++files;
  }
  EXPECT_EQ(files, 3u);
}

TEST_F(FtpThreadTest, RenamesRemovesAndCreatesDirectories) {
  WriteFile(Server->Pub() / "a.txt", "a");
  Server->Share(Server->Pub() / "a.txt");
  Connect();
  Ftp->QueueChangeDirectory("/pub");
  Ftp->QueueCreateDirectory("new dir");
  Ftp->QueueRename("a.txt", "new dir/b.txt");
  Ftp->QueueRemoveDirectory("new dir");  // not empty
  Ftp->QueueDelete("new dir/b.txt");
  Ftp->QueueRemoveDirectory("new dir");
  Ftp->QueueCreateDirectory(std::string(300, 'n'));  // longer than the file system allows
  Ftp->QueueRename("gone.txt", "x.txt");
  WriteFile(Local / "missing-source", "");
  fs::remove(Local / "missing-source");
  Ftp->QueueUpload((Local / "missing-source").string(), "up.txt");
  const std::string n300 = Quote(std::string(300, 'n'));
  const std::vector<RecordedReport> expected{
      FtpResult(3, true),
      FtpText("Msg: ディレクトリを作成します。 : \"new dir\""),
      FtpEvent(10),
      FtpText("Msg: ディレクトリを作成しました。 : \"new dir\""),
      FtpResult(10, true),
      FtpText("Msg: ファイル名を変更します。: \"new dir/b.txt\""),
      FtpEvent(8),
      FtpText("Msg: ファイル名を変更しました。: \"new dir/b.txt\""),
      FtpResult(8, true),
      FtpText("Msg: ディレクトリを削除します。 : \"new dir\""),
      FtpEvent(9),
      FtpText("Err: ディレクトリを削除することができませんでした。 : \"new dir\""),
      FtpResult(9, false),
      FtpText("Msg: ファイルを削除します。 : \"new dir/b.txt\""),
      FtpEvent(7),
      FtpText("Msg: ファイルを削除しました。: \"new dir/b.txt\""),
      FtpResult(7, true),
      FtpText("Msg: ディレクトリを削除します。 : \"new dir\""),
      FtpEvent(9),
      FtpText("Msg: ディレクトリを削除しました。 : \"new dir\""),
      FtpResult(9, true),
      FtpText("Msg: ディレクトリを作成します。 : " + n300),
      FtpEvent(10),
      FtpText("Err: ディレクトリを作成することができませんでした。 : " + n300),
      FtpResult(10, false),
      FtpText("Msg: ファイル名を変更します。: \"x.txt\""),
      FtpEvent(8),
      FtpText("Err: ファイル名を変更できませんでした。: \"x.txt\""),
      FtpResult(8, false),
      FtpText("Msg: アップロードします。"),
      FtpEvent(6),
      FtpText("Err: アップロードに失敗しました。: \"up.txt\""),
      FtpResult(6, false)};
  EXPECT_EQ(AwaitResults(10, 4), expected);
  EXPECT_FALSE(fs::exists(Server->Pub() / "new dir"));
  EXPECT_FALSE(fs::exists(Server->Pub() / "a.txt"));
  EXPECT_FALSE(fs::exists(Server->Pub() / "up.txt"));
}

// Lists the root, and renames and deletes by the names the listing gave, as
// the browser does: the server must see its own bytes again.
void RoundTripNames(FtpThreadTest& test, CFtpThread& ftp, RecordingSink& sink, const fs::path& root,
                    const std::string& uploadedName, const std::string& uploadedBytes,
                    const fs::path& local) {
  const std::string cp932Name("\x83\x65\x83\x58\x83\x67.html");  // テスト.html
  const std::string oddName("\x85\x40-\xEE\xF9");  // unmapped pair, two-form character
  WriteFile(root / cp932Name, "1");
  WriteFile(root / oddName, "2");
  test.Connect();
  ftp.QueueChangeDirectory("/pub");
  ftp.QueueList("");
  ASSERT_TRUE(sink.WaitFor([](const auto& r) { return FtpResultCount(r) >= 3; }));
  std::vector<std::string> names;
  for (const auto& report : sink.Reports()) {
    if (report.hasEntry) {
      names.push_back(report.entryName);
    }
  }
  ASSERT_EQ(names.size(), 2u);
  for (const auto& name : names) {
    const std::string text = ftp.NameToText(name);
    EXPECT_TRUE(cp932::IsValidUtf8(text));
    if (name == cp932Name) {
      ftp.QueueRename("/pub/" + text, text + ".bak");
    } else {
      ftp.QueueDelete(text);
    }
  }
  WriteFile(local / "up", "3");
  ftp.QueueUpload((local / "up").string(), "日本語.txt");
  ASSERT_TRUE(sink.WaitFor([](const auto& r) { return FtpResultCount(r) >= 6; }));
  for (const auto& report : sink.Reports()) {
    if (report.message == WM_FTPTHREAD_MESSAGE &&
        (report.code == 6 || report.code == 7 || report.code == 8)) {
      EXPECT_EQ(report.value, 1) << report.code;
    }
  }
  EXPECT_TRUE(fs::exists(root / (cp932Name + ".bak")));
  EXPECT_FALSE(fs::exists(root / cp932Name));
  EXPECT_FALSE(fs::exists(root / oddName));
  EXPECT_EQ(ReadFile(root / uploadedBytes), "3") << uploadedName;
}

TEST_F(FtpThreadTest, Cp932NamesRoundTripAndTypedNamesGoAsCp932) {
  RoundTripNames(*this, *Ftp, *Sink, Server->Pub(), "日本語.txt", *cp932::FromUtf8("日本語.txt"),
                 Local);
}

class FtpThreadUtf8Test : public FtpThreadTest {
protected:
  void SetUp() override { StartServer({.Utf8 = true}); }
};

TEST_F(FtpThreadUtf8Test, ServerWithUtf8GetsUtf8AndItsCp932NamesStillRoundTrip) {
  RoundTripNames(*this, *Ftp, *Sink, Server->Pub(), "日本語.txt", "日本語.txt", Local);
}

TEST_F(FtpThreadTest, QueuedCommandsRunToTheLastBeforeAStop) {
  WriteFile(Server->Pub() / "a.txt", "a");
  Connect();
  Ftp->QueueList("");
  Ftp->QueueDisconnect();
  Ftp->RequestStop();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!Ftp->IsIdle() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(Ftp->IsIdle());
  const auto reports = Sink->Reports();
  EXPECT_EQ(FtpResultCount(reports), 3u);
  EXPECT_EQ(reports.back(), FtpResult(2, true));
  // Idle for good: a later request is never carried out.
  Connect();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Sink->Count(), reports.size());
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
  while (ReadFile(Server->Pub() / "late.html") != "late page" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(ReadFile(Server->Pub() / "late.html"), "late page");
  EXPECT_EQ(*reported, 1);
}

TEST_F(FtpThreadTest, DiscardPendingAndWaitLetsOnlyTheRunningCommandFinish) {
  WriteFile(Local / "offline", std::string(1 << 20, 'o'));
  Sink->OnEach = [this](const WorkerReport& report) {
    if (report.text && *report.text == "Msg: アップロードします。") {
      // From the worker itself, with no time to wait: it cannot finish here.
      EXPECT_FALSE(Ftp->DiscardPendingAndWait(0ms));
    }
  };
  Connect();
  Ftp->QueueUpload((Local / "offline").string(), "/pub/offline.html");
  Ftp->QueueCreateDirectory("/pub/never");
  Ftp->QueueDisconnect();
  ASSERT_TRUE(Sink->WaitFor([](const auto& r) {
    return !r.empty() && r.back().text && *r.back().text == "Msg: アップロードします。";
  }));
  EXPECT_TRUE(Ftp->DiscardPendingAndWait(20s));
  EXPECT_EQ(fs::file_size(Server->Pub() / "offline.html"), 1u << 20);
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(Server->Pub() / "never"));
}

}  // namespace
