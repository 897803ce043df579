// CFtpThread against a scripted peer that misbehaves in the ways real servers
// and networks do. Each fault must end as the command's normal failure (or
// success) within the time-outs, and must not spoil the next command.
#include "publish/CFtpThread.h"

#include "platform/CodePage932.h"
#include "servers/ScriptedFtpPeer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;
using Session = ScriptedFtpPeer::Session;

namespace {

std::string Line(const std::string& name) {
  return "-rw-r--r--    1 0        0               7 Dec 06 08:00 " + name + "\r\n";
}

fs::path Local() {
  return fs::path(::testing::TempDir()) / ("tavro-fault-" + std::to_string(::getpid()));
}

class FtpFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(Local());
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{700ms});
    Ftp->Start();
  }
  void TearDown() override {
    Ftp.reset();
    fs::remove_all(Local());
  }

  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::unique_ptr<CFtpThread> Ftp = std::make_unique<CFtpThread>();
};

// Replies 150, sends the bytes on a data connection, then ends with `last`,
// or drops the session where `last` is empty.
ScriptedFtpPeer::Handler Transfer(std::string bytes, std::string last) {
  return [bytes, last](Session& s, const std::string&) {
    s.Reply("150 Here it comes.");
    s.SendData(bytes);
    last.empty() ? s.Drop() : s.Reply(last);
  };
}

struct Fault {
  std::string Name;
  std::map<std::string, ScriptedFtpPeer::Handler> Script;
  std::function<void(CFtpThread&)> Queue;
  FtpReports Reports;  // between the connect and the next command
  bool SessionLives;   // or the next command fails until a new connect
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.Name;
}

std::vector<Fault> Faults() {
  const auto list = [](CFtpThread& ftp) { ftp.QueueList(""); };
  const std::string cut = "426 Failure in the data connection.";
  const std::string longName(300, 'L');
  return {
      {"UploadDroppedPartWay",
       {{"STOR",
         [cut](Session& s, const std::string&) {
           s.Reply("150 Ok to send data.");
           if (auto data = s.OpenData()) {
             char buffer[65536];
             data->receiveBytes(buffer, sizeof buffer);
             data->close();
           }
           s.Reply(cut);
         }}},
       [](CFtpThread& ftp) {
         std::ofstream(Local() / "up.bin", std::ios::binary) << std::string(8 << 20, 'u');
         ftp.QueueUpload((Local() / "up.bin").string(), "big.bin");
       },
       FtpStep(6, "Msg: アップロードします。", "Err: アップロードに失敗しました。: \"big.bin\"",
               false),
       true},
      {"DownloadDroppedPartWay",
       {{"RETR", Transfer(std::string(100000, 'd'), cut)}},
       [](CFtpThread& ftp) { ftp.QueueDownload("big.bin", (Local() / "big.bin").string()); },
       FtpStep(5, "Msg: ダウンロードします。", "Err: ダウンロードに失敗しました。", false),
       true},
      {"ListingCutOffPartWay",
       {{"LIST", Transfer("drwxr-xr-x    4 0        0            4096 Dec 06 08:00 .\r\n"
                          "drwxr-xr-x    4 0        0            4096 Dec 05 12:00 ..\r\n" +
                              Line("a.txt") + "-rw-r--r--    1 0        0      ",
                          cut)}},
       list,
       FtpListing("", {FtpEntryReport(".", true, 4096), FtpEntryReport("..", true, 4096),
                       FtpEntryReport("a.txt", false, 7)}),
       true},
      {"PeerGoneMidListing",
       {{"LIST", Transfer(Line("a.txt"), "")}},
       list,
       FtpListing("", {FtpEntryReport("a.txt", false, 7)}),
       false},
      {"NoDataConnection",
       {{"LIST", [](Session& s, const std::string&) { s.Reply("150 Never connects."); }}},
       list,
       {FtpText("Msg: ディレクトリ検索中: \"\""), FtpEvent(15), FtpResult(15, false)},
       false},
      {"MegabyteListingLine",
       {{"LIST", Transfer(Line("first") + "-rw-r--r-- 1 0 0 7 Dec 06 08:00 " +
                              std::string(1 << 20, 'x') + "\r\n" + Line(longName) + Line("last"),
                          "226 Directory send OK.")}},
       list,
       FtpListing("", {FtpEntryReport("first", false, 7), FtpEntryReport(longName, false, 7),
                       FtpEntryReport("last", false, 7)}),
       true},
      {"GarbageAnswerToPwdAfterARefusedChange",
       {{"CWD", [](Session& s, const std::string&) { s.Reply("550 Failed to change directory."); }},
        {"PWD", [](Session& s, const std::string&) { s.Reply("garbage"); }},
        {"LIST", Transfer(Line("a.txt"), "226 Directory send OK.")}},
       [](CFtpThread& ftp) {
         ftp.QueueChangeDirectory("/nope");
         ftp.QueueList("");
       },
       Join({{FtpText("Err: 指定されたパスはディレクトリではありません。: \"/nope\""),
              FtpText("Msg: ディレクトリとして設定しました。: \"/nope\""), FtpResult(3, true)},
             FtpListing("/nope", {FtpEntryReport("a.txt", false, 7)})}),
       true},
  };
}

class FtpPeerFaultTest : public FtpFaultTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(FtpPeerFaultTest, EndsAsTheCommandsFailureAndTheNextCommandWorks) {
  const Fault& fault = GetParam();
  ScriptedFtpPeer peer;
  for (const auto& [verb, handler] : fault.Script) {
    peer.On(verb, handler);
  }
  Ftp->QueueConnect(peer.Address(), "user", "pw");
  fault.Queue(*Ftp);
  Ftp->QueueDelete("next.txt");
  Ftp->QueueDisconnect();
  Ftp->QueueConnect(peer.Address(), "user", "pw");
  const auto expected =
      Join({FtpConnected(),
            fault.Reports,
            FtpStep(7, "Msg: ファイルを削除します。 : \"next.txt\"",
                    fault.SessionLives ? "Msg: ファイルを削除しました。: \"next.txt\""
                                       : "Err: ファイルを削除できませんでした。: \"next.txt\"",
                    fault.SessionLives),
            {FtpText("Msg: 切断しました。"), FtpResult(2, true)},
            FtpConnected()});
  EXPECT_EQ(AwaitFtpResults(*Sink, FtpResultCount(expected)), expected);
  // A failed download leaves nothing behind.
  for (const auto& entry : fs::directory_iterator(Local())) {
    EXPECT_EQ(entry.path().filename(), "up.bin");
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, FtpPeerFaultTest, ::testing::ValuesIn(Faults()),
                         [](const auto& info) { return info.param.Name; });

TEST_F(FtpFaultTest, FailedConnectsEndWithinTheTimeOutAndLeaveHalfOpen) {
  ScriptedFtpPeer silent;  // never answers after the greeting
  silent.On("FEAT", [](Session&, const std::string&) {});
  ScriptedFtpPeer cut;  // gone in the middle of a multi-line reply
  cut.On("FEAT", [](Session& s, const std::string&) {
    s.Reply("211-Features:");
    s.Drop();
  });
  ScriptedFtpPeer good;
  const auto start = std::chrono::steady_clock::now();
  for (const auto& server : {std::string(), silent.Address(), cut.Address(), good.Address()}) {
    Ftp->QueueConnect(server, "user", "pw");
  }
  const auto failed = FtpStep(1, "Msg: 接続中", "Err: 接続できませんでした", false);
  const FtpReports halfOpen{FtpText("Err: まだ接続されていません"), FtpResult(2, false)};
  EXPECT_EQ(AwaitFtpResults(*Sink, 7),
            Join({failed, halfOpen, failed, halfOpen, failed, halfOpen, FtpConnected()}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(FtpFaultTest, TextsGoInTheEncodingTheServerOffers) {
  ScriptedFtpPeer plain;
  Ftp->QueueConnect(plain.Address(), "user", "パスワード");
  Ftp->QueueDelete("名前\r\nDELE other");  // a line break would smuggle a command
  EXPECT_EQ(AwaitFtpResults(*Sink, 2).back(), FtpResult(7, false));
  const std::vector<std::string> wire{"FEAT", "USER user", "PASS " + *cp932::FromUtf8("パスワード"),
                                      "TYPE I"};
  EXPECT_EQ(plain.Received(), wire);

  ScriptedFtpPeer utf8;
  utf8.On("FEAT", [](Session& s, const std::string&) {
    s.Reply("211-Features:");
    s.Reply(" UTF8");
    s.Reply("211 End");
  });
  Ftp->QueueDisconnect();
  Ftp->QueueConnect(utf8.Address(), "ユーザー", "パスワード");
  Ftp->QueueCreateDirectory("日本語");
  AwaitFtpResults(*Sink, 5);
  const std::vector<std::string> expected{
      "FEAT", "OPTS UTF8 ON", "USER ユーザー", "PASS パスワード", "TYPE I", "MKD 日本語"};
  EXPECT_EQ(utf8.Received(), expected);
}

}  // namespace
