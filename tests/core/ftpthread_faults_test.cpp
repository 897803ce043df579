// CFtpThread against a scripted peer that misbehaves in the ways real servers
// and networks do. Each fault must end as the command's normal failure (or
// success) within the time-outs, and must not spoil the next command.
#include "publish/CFtpThread.h"

#include "platform/CodePage932.h"
#include "servers/ScriptedFtpPeer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"

#include <gtest/gtest.h>

#include <Poco/Exception.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

const std::string Connecting = "Msg: 接続中";
const std::string Connected = "Msg: 接続しました";
const std::string ConnectFailed = "Err: 接続できませんでした";
const std::string ListDone = "Msg: ディレクトリ検索終了";

std::string Line(const std::string& name) {
  return "-rw-r--r--    1 0        0               7 Dec 06 08:00 " + name + "\r\n";
}

class FtpFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    Sink = std::make_shared<RecordingSink>();
    Ftp = std::make_unique<CFtpThread>();
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{700ms});
    Ftp->Start();
  }
  void TearDown() override { Ftp.reset(); }

  std::vector<RecordedReport> AwaitResults(std::size_t count, std::size_t from = 0) {
    EXPECT_TRUE(Sink->WaitFor([&](const auto& r) { return FtpResultCount(r) >= count; }, 20s));
    const auto reports = Sink->Reports();
    return {reports.begin() + static_cast<std::ptrdiff_t>(std::min(from, reports.size())),
            reports.end()};
  }

  // Connects and waits for the connection's four reports.
  void ConnectTo(const ScriptedFtpPeer& peer, const std::string& password = "pw") {
    Ftp->QueueConnect(peer.Address(), "user", password);
    const std::vector<RecordedReport> connected{FtpText(Connecting), FtpEvent(1),
                                                FtpText(Connected), FtpResult(1, true)};
    ASSERT_EQ(AwaitResults(1), connected);
  }

  // A delete that the peer accepts: the session still answers in step.
  void ExpectNextCommandWorks(std::size_t resultsSoFar) {
    const std::size_t before = Sink->Count();
    Ftp->QueueDelete("next.txt");
    const std::vector<RecordedReport> deleted{
        FtpText("Msg: ファイルを削除します。 : \"next.txt\""), FtpEvent(7),
        FtpText("Msg: ファイルを削除しました。: \"next.txt\""), FtpResult(7, true)};
    EXPECT_EQ(AwaitResults(resultsSoFar + 1, before), deleted);
  }

  std::shared_ptr<RecordingSink> Sink;
  std::unique_ptr<CFtpThread> Ftp;
};

TEST_F(FtpFaultTest, UploadDroppedPartWayFailsAndTheSessionGoesOn) {
  ScriptedFtpPeer peer;
  peer.On("STOR", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("150 Ok to send data.");
    if (auto data = s.OpenData()) {
      char buffer[65536];
      data->receiveBytes(buffer, sizeof buffer);
      data->close();
    }
    s.Reply("426 Failure reading network stream.");
  });
  const fs::path local = fs::path(::testing::TempDir()) / "tavro-fault-upload.bin";
  std::ofstream(local, std::ios::binary) << std::string(8 << 20, 'u');
  ConnectTo(peer);
  Ftp->QueueUpload(local.string(), "big.bin");
  const std::vector<RecordedReport> failed{
      FtpText("Msg: アップロードします。"), FtpEvent(6),
      FtpText("Err: アップロードに失敗しました。: \"big.bin\""), FtpResult(6, false)};
  EXPECT_EQ(AwaitResults(2, 4), failed);
  ExpectNextCommandWorks(2);
  fs::remove(local);
}

TEST_F(FtpFaultTest, ListingCutOffKeepsTheEntriesReceived) {
  ScriptedFtpPeer peer;
  peer.On("LIST", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("150 Here comes the directory listing.");
    if (auto data = s.OpenData()) {
      const std::string part =
          "drwxr-xr-x    4 0        0            4096 Dec 06 08:00 .\r\n" +
          std::string("drwxr-xr-x    4 0        0            4096 Dec 05 12:00 ..\r\n") +
          Line("a.txt") + "-rw-r--r--    1 0        0      ";
      data->sendBytes(part.data(), static_cast<int>(part.size()));
      data->close();
    }
    s.Reply("426 Failure writing network stream.");
  });
  ConnectTo(peer);
  Ftp->QueueList("");
  const std::vector<RecordedReport> listed{FtpText("Msg: ディレクトリ検索中: \"\""),
                                           FtpEvent(15),
                                           FtpEntryReport(".", true, 4096),
                                           FtpEntryReport("..", true, 4096),
                                           FtpEntryReport("a.txt", false, 7),
                                           FtpText(ListDone),
                                           FtpResult(15, true)};
  EXPECT_EQ(AwaitResults(2, 4), listed);
  ExpectNextCommandWorks(2);
}

TEST_F(FtpFaultTest, PeerGoneMidListingFailsTheRestUntilReconnected) {
  ScriptedFtpPeer peer;
  peer.On("LIST", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("150 Here comes the directory listing.");
    if (auto data = s.OpenData()) {
      const std::string part = Line("a.txt");
      data->sendBytes(part.data(), static_cast<int>(part.size()));
      data->close();
    }
    s.Drop();
  });
  ConnectTo(peer);
  Ftp->QueueList("");
  Ftp->QueueCreateDirectory("d");
  Ftp->QueueDisconnect();
  Ftp->QueueConnect(peer.Address(), "user", "pw");
  const std::vector<RecordedReport> expected{
      FtpText("Msg: ディレクトリ検索中: \"\""),
      FtpEvent(15),
      FtpEntryReport("a.txt", false, 7),
      FtpText(ListDone),
      FtpResult(15, true),
      FtpText("Msg: ディレクトリを作成します。 : \"d\""),
      FtpEvent(10),
      FtpText("Err: ディレクトリを作成することができませんでした。 : \"d\""),
      FtpResult(10, false),
      FtpText("Msg: 切断しました。"),
      FtpResult(2, true),
      FtpText(Connecting),
      FtpEvent(1),
      FtpText(Connected),
      FtpResult(1, true)};
  EXPECT_EQ(AwaitResults(5, 4), expected);
}

TEST_F(FtpFaultTest, PeerSilentAfterTheGreetingFailsTheConnectWithinTheTimeOut) {
  ScriptedFtpPeer silent;
  silent.On("FEAT", [](ScriptedFtpPeer::Session&, const std::string&) {});
  ScriptedFtpPeer good;
  const auto start = std::chrono::steady_clock::now();
  Ftp->QueueConnect(silent.Address(), "user", "pw");
  const std::vector<RecordedReport> failed{FtpText(Connecting), FtpEvent(1), FtpText(ConnectFailed),
                                           FtpResult(1, false)};
  EXPECT_EQ(AwaitResults(1), failed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  Ftp->QueueConnect(good.Address(), "user", "pw");
  const std::vector<RecordedReport> retried{FtpText("Err: まだ接続されていません"),
                                            FtpResult(2, false),
                                            FtpText(Connecting),
                                            FtpEvent(1),
                                            FtpText(Connected),
                                            FtpResult(1, true)};
  EXPECT_EQ(AwaitResults(3, 4), retried);
}

TEST_F(FtpFaultTest, PeerGoneInTheMiddleOfAMultiLineReplyFailsTheConnect) {
  ScriptedFtpPeer peer;
  peer.On("FEAT", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("211-Features:");
    s.Drop();
  });
  Ftp->QueueConnect(peer.Address(), "user", "pw");
  const std::vector<RecordedReport> failed{FtpText(Connecting), FtpEvent(1), FtpText(ConnectFailed),
                                           FtpResult(1, false)};
  EXPECT_EQ(AwaitResults(1), failed);
}

TEST_F(FtpFaultTest, GarbageAnswerToPwdAfterARefusedChangeStillEndsTheChange) {
  ScriptedFtpPeer peer;
  peer.On("CWD", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("550 Failed to change directory.");
  });
  peer.On("PWD", [](ScriptedFtpPeer::Session& s, const std::string&) { s.Reply("garbage"); });
  peer.SetListing(Line("a.txt"));
  ConnectTo(peer);
  Ftp->QueueChangeDirectory("/nope");
  Ftp->QueueList("");
  const std::vector<RecordedReport> expected{
      FtpText("Err: 指定されたパスはディレクトリではありません。: \"/nope\""),
      FtpText("Msg: ディレクトリとして設定しました。: \"/nope\""),
      FtpResult(3, true),
      FtpText("Msg: ディレクトリ検索中: \"/nope\""),
      FtpEvent(15),
      FtpEntryReport("a.txt", false, 7),
      FtpText(ListDone),
      FtpResult(15, true)};
  EXPECT_EQ(AwaitResults(3, 4), expected);
  EXPECT_EQ(Ftp->GetDirectory(), "/nope");
}

TEST_F(FtpFaultTest, MegabyteListingLineIsSkipped) {
  ScriptedFtpPeer peer;
  const std::string longName(300, 'L');
  peer.SetListing(Line("first") + "-rw-r--r-- 1 0 0 7 Dec 06 08:00 " + std::string(1 << 20, 'x') +
                  "\r\n" + Line(longName) + Line("last"));
  ConnectTo(peer);
  Ftp->QueueList("");
  const std::vector<RecordedReport> expected{FtpText("Msg: ディレクトリ検索中: \"\""),
                                             FtpEvent(15),
                                             FtpEntryReport("first", false, 7),
                                             FtpEntryReport(longName, false, 7),
                                             FtpEntryReport("last", false, 7),
                                             FtpText(ListDone),
                                             FtpResult(15, true)};
  EXPECT_EQ(AwaitResults(2, 4), expected);
  ExpectNextCommandWorks(2);
}

TEST_F(FtpFaultTest, NoDataConnectionEndsTheListingAndTheSession) {
  ScriptedFtpPeer peer;
  peer.On("LIST", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("150 Here comes the directory listing.");  // and never connects
  });
  ConnectTo(peer);
  Ftp->QueueList("");
  Ftp->QueueDelete("x");
  const std::vector<RecordedReport> expected{
      FtpText("Msg: ディレクトリ検索中: \"\""),
      FtpEvent(15),
      FtpResult(15, false),
      FtpText("Msg: ファイルを削除します。 : \"x\""),
      FtpEvent(7),
      FtpText("Err: ファイルを削除できませんでした。: \"x\""),
      FtpResult(7, false)};
  EXPECT_EQ(AwaitResults(3, 4), expected);
}

TEST_F(FtpFaultTest, TextsGoInTheEncodingTheServerOffers) {
  ScriptedFtpPeer plain;
  ConnectTo(plain, "パスワード");
  Ftp->QueueDelete("名前\r\nDELE other");  // a line break would smuggle a command
  AwaitResults(2);
  const auto plainLines = plain.Received();
  EXPECT_NE(
      std::find(plainLines.begin(), plainLines.end(), "PASS " + *cp932::FromUtf8("パスワード")),
      plainLines.end());
  for (const auto& line : plainLines) {
    EXPECT_NE(line.rfind("OPTS", 0), 0u);
    EXPECT_NE(line, "DELE other");
  }
  EXPECT_EQ(Sink->Reports().back(), FtpResult(7, false));

  ScriptedFtpPeer utf8;
  utf8.On("FEAT", [](ScriptedFtpPeer::Session& s, const std::string&) {
    s.Reply("211-Features:");
    s.Reply(" UTF8");
    s.Reply("211 End");
  });
  Ftp->QueueDisconnect();
  Ftp->QueueConnect(utf8.Address(), "ユーザー", "パスワード");
  Ftp->QueueCreateDirectory("日本語");
  AwaitResults(5);
  const auto utf8Lines = utf8.Received();
  const std::vector<std::string> expected{
      "FEAT", "OPTS UTF8 ON", "USER ユーザー", "PASS パスワード", "TYPE I", "MKD 日本語"};
  EXPECT_EQ(utf8Lines, expected);
}

TEST_F(FtpFaultTest, EmptyServerNameFailsTheConnect) {
  Ftp->QueueConnect("", "user", "pw");
  const std::vector<RecordedReport> failed{FtpText(Connecting), FtpEvent(1), FtpText(ConnectFailed),
                                           FtpResult(1, false)};
  EXPECT_EQ(AwaitResults(1), failed);
}

TEST(FtpThreadExit, ProcessMayEndWhileTheWorkerBlocks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ScriptedFtpPeer silent;
        silent.SetGreeting("");
        auto ftp = std::make_unique<CFtpThread>();
        ftp->SetTimeouts(FtpTimeouts{30s});
        ftp->Start();
        ftp->QueueConnect(silent.Address(), "user", "pw");
        std::this_thread::sleep_for(200ms);
        ftp.reset();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
