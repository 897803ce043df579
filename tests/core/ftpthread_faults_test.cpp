// CFtpThread against a scripted peer that misbehaves in the ways real servers
// and networks do. Each fault must end as the command's normal failure (or
// success) within the time-outs, and must not spoil the next command.
#include "publish/CFtpThread.h"

#include "ftp/FtpSession.h"
#include "platform/CodePage932.h"
#include "servers/ScriptedFtpPeer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <thread>

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
    // Generous for the peers that answer, so load cannot turn an answer into a
    // time-out; only the rows that expect one wait it out.
    Ftp->SetTimeouts(FtpTimeouts{3s});
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

// Replies 150, takes all the data or closes the data connection after a part,
// then ends with `last`.
ScriptedFtpPeer::Handler Store(bool whole, std::string last) {
  return [whole, last](Session& s, const std::string&) {
    s.Reply("150 Ok to send data.");
    if (auto data = s.OpenData()) {
      char buffer[65536];
      while (data->receiveBytes(buffer, sizeof buffer) > 0 && whole) {
      }
      data->close();
    }
    s.Reply(last);
  };
}

// A reply that never ends: `first`, then `again` every `pace` until the client
// goes. Trickled, only a deadline for the whole reply ends it; flooded, only
// the bound on its size does.
ScriptedFtpPeer::Handler Endless(std::string first, std::string again,
                                 std::chrono::milliseconds pace) {
  return [=](Session& s, const std::string&) {
    s.Write(first);
    while (s.Live()) {
      s.Write(again);
      std::this_thread::sleep_for(pace);
    }
  };
}

// The three ways a reply with this code can fail to end.
std::vector<std::pair<std::string, ScriptedFtpPeer::Handler>> EndlessReplies(
    const std::string& code, const std::string& preliminary) {
  return {{"ContinuedForEver", Endless(code + "-Hello\r\n", code + "-and more\r\n", 5ms)},
          {"PreliminaryForEver", Endless("", preliminary + " Wait.\r\n", 5ms)},
          {"LineWithoutEnd", Endless(code + " ", std::string(4096, 'x'), 1ms)}};
}

// What the fault leaves for the next command.
enum class After {
  Lives,      // the session: the next command works
  Broken,     // a closed session: the next command fails until a new connect
  LoggedOff,  // no session: the next command is not connected
};

struct Fault {
  std::string Name;
  std::map<std::string, ScriptedFtpPeer::Handler> Script;
  std::function<void(CFtpThread&)> Queue;
  FtpReports Reports;  // between the connect and the next command
  After Next;
  std::string BrokenBy = {};  // Broken: the cause that closed the session
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.Name;
}

std::vector<Fault> Faults() {
  const auto list = [](CFtpThread& ftp) { ftp.QueueList(); };
  const std::string cut = "426 Failure in the data connection.";
  const std::string longName(300, 'L');
  const auto upload = [](const std::string& bytes) {
    return [bytes](CFtpThread& ftp) {
      std::ofstream(Local() / "up.bin", std::ios::binary) << bytes;
      ftp.QueueUpload((Local() / "up.bin").string(), "big.bin");
    };
  };
  const auto download = [](CFtpThread& ftp) {
    ftp.QueueDownload("big.bin", (Local() / "big.bin").string());
  };
  const auto uploadFailed = [](const std::string& cause) {
    return FtpFailure(6, "Msg: アップロードします。",
                      "Err: アップロードに失敗しました。: \"big.bin\"", cause);
  };
  const auto downloadFailed = [](const std::string& cause) {
    return FtpFailure(5, "Msg: ダウンロードします。", "Err: ダウンロードに失敗しました。", cause);
  };
  // A listing cut off: what arrived, then the failure and the session gone.
  const auto cutOff = [](const FtpReports& entries, const std::string& cause) {
    return Join({{FtpText("Msg: ディレクトリ検索中: \"\""), FtpEvent(15)},
                 entries,
                 {FtpText("Err: ディレクトリ検索が途中で切れました"), FtpCause(cause),
                  FtpResult(15, false)}});
  };
  std::vector<Fault> faults{
      {"UploadDroppedPartWay",
       {{"STOR", Store(false, cut)}},
       upload(std::string(8 << 20, 'u')),
       uploadFailed(cut),
       After::Lives},
      // Every byte was sent, and the server still did not keep the file.
      {"UploadRefusedAtTheEnd",
       {{"STOR", Store(true, "552 Exceeded storage allocation.")}},
       upload("page"),
       uploadFailed("552 Exceeded storage allocation."),
       After::Lives},
      {"DownloadDroppedPartWay",
       {{"RETR", Transfer(std::string(100000, 'd'), cut)}},
       download,
       downloadFailed(cut),
       After::Lives},
      // A final reply where a preliminary one is due: no data connection comes.
      {"TransferAnsweredAtOnce",
       {{"RETR", [](Session& s, const std::string&) { s.Reply("226 Transfer complete."); }}},
       download,
       downloadFailed("226 Transfer complete."),
       After::Lives},
      {"ListingCutOffPartWay",
       {{"LIST", Transfer("drwxr-xr-x    4 0        0            4096 Dec 06 08:00 .\r\n"
                          "drwxr-xr-x    4 0        0            4096 Dec 05 12:00 ..\r\n" +
                              Line("a.txt") + "-rw-r--r--    1 0        0      ",
                          cut)}},
       list,
       cutOff({FtpEntryReport(".", true, 4096), FtpEntryReport("..", true, 4096),
               FtpEntryReport("a.txt", false, 7)},
              cut),
       After::LoggedOff},
      {"PeerGoneMidListing",
       {{"LIST", Transfer(Line("a.txt"), "")}},
       list,
       cutOff({FtpEntryReport("a.txt", false, 7)}, "the server closed the control connection"),
       After::LoggedOff},
      {"NoDataConnection",
       {{"LIST", [](Session& s, const std::string&) { s.Reply("150 Never connects."); }}},
       list,
       cutOff({}, "timed out after 3 s"),
       After::LoggedOff},
      {"MegabyteListingLine",
       {{"LIST", Transfer(Line("first") + "-rw-r--r-- 1 0 0 7 Dec 06 08:00 " +
                              std::string(1 << 20, 'x') + "\r\n" + Line(longName) + Line("last"),
                          "226 Directory send OK.")}},
       list,
       FtpListing("", {FtpEntryReport("first", false, 7), FtpEntryReport(longName, false, 7),
                       FtpEntryReport("last", false, 7)}),
       After::Lives},
      {"GarbageAnswerToPwdAfterARefusedChange",
       {{"CWD", [](Session& s, const std::string&) { s.Reply("550 Failed to change directory."); }},
        {"PWD", [](Session& s, const std::string&) { s.Reply("garbage"); }},
        {"LIST", Transfer(Line("a.txt"), "226 Directory send OK.")}},
       [](CFtpThread& ftp) {
         ftp.QueueChangeDirectory("/nope");
         ftp.QueueList();
       },
       Join({{FtpText("Err: 指定されたパスはディレクトリではありません。: \"/nope\""),
              FtpCause("550 Failed to change directory."),
              FtpText("Msg: ディレクトリとして設定しました。: \"/nope\""), FtpResult(3, true)},
             FtpListing("/nope", {FtpEntryReport("a.txt", false, 7)})}),
       After::Lives},
  };
  // A command whose reply never ends fails, and the session closes itself.
  for (auto& [name, handler] : EndlessReplies("257", "150")) {
    const std::string cause = name == "LineWithoutEnd" ? "the server's reply is longer than 64 KiB"
                                                       : "timed out after 3 s";
    faults.push_back(
        {"MkdReply" + name,
         {{"MKD", handler}},
         [](CFtpThread& ftp) { ftp.QueueCreateDirectory("new"); },
         FtpFailure(10, "Msg: ディレクトリを作成します。 : \"new\"",
                    "Err: ディレクトリを作成することができませんでした。 : \"new\"", cause),
         After::Broken,
         cause});
  }
  return faults;
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
  const std::string notConnected = "Err: まだ接続されていません";
  FtpReports next;
  switch (fault.Next) {
    case After::Lives:
      next = Join({FtpStep(7, "Msg: ファイルを削除します。 : \"next.txt\"",
                           "Msg: ファイルを削除しました。: \"next.txt\"", true),
                   {FtpText("Msg: 切断しました。"), FtpResult(2, true)}});
      break;
    case After::Broken:
      next = Join({FtpFailure(7, "Msg: ファイルを削除します。 : \"next.txt\"",
                              "Err: ファイルを削除できませんでした。: \"next.txt\"",
                              "the connection had closed: " + fault.BrokenBy),
                   {FtpText("Msg: 切断しました。"), FtpResult(2, true)}});
      break;
    case After::LoggedOff:
      next = {FtpText(notConnected), FtpResult(7, false), FtpText(notConnected),
              FtpResult(2, false)};
      break;
  }
  const auto expected = Join({FtpConnected(), fault.Reports, next, FtpConnected()});
  EXPECT_EQ(AwaitFtpResults(*Sink, FtpResultCount(expected)), expected);
  // A failed download leaves nothing behind.
  for (const auto& entry : fs::directory_iterator(Local())) {
    EXPECT_EQ(entry.path().filename(), "up.bin");
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, FtpPeerFaultTest, ::testing::ValuesIn(Faults()),
                         [](const auto& info) { return info.param.Name; });

// Each failed connect says why, ends within the time-out and leaves the
// worker half-open.
TEST_F(FtpFaultTest, FailedConnectsSayWhyEndWithinTheTimeOutAndLeaveHalfOpen) {
  ScriptedFtpPeer silent;  // never answers after the greeting
  silent.On("FEAT", [](Session&, const std::string&) {});
  ScriptedFtpPeer cut;  // gone in the middle of a multi-line reply
  cut.On("FEAT", [](Session& s, const std::string&) {
    s.Reply("211-Features:");
    s.Drop();
  });
  ScriptedFtpPeer refusing;  // a log-on refused with an untrusted text
  refusing.On("PASS", [](Session& s, const std::string&) {
    s.Reply("530 Login incorrect.\x1b[31m <b>" + std::string(500, 'x'));
  });
  // A loopback port that nothing listens on.
  std::string closedPort;
  {
    Poco::Net::ServerSocket gone(Poco::Net::SocketAddress("127.0.0.1", 0));
    closedPort = "127.0.0.1:" + std::to_string(gone.address().port());
  }
  std::vector<std::pair<std::string, std::string>> servers{
      {std::string(), "no host name and port in the server text"},
      {closedPort, "Connection refused"},
      {silent.Address(), "timed out after 3 s"},
      {cut.Address(), "the server closed the control connection"},
      {refusing.Address(), "530 Login incorrect. [31m <b>" + std::string(200 - 29, 'x')}};
  std::list<ScriptedFtpPeer> endless;  // greetings that never end
  for (auto& [name, handler] : EndlessReplies("220", "120")) {
    endless.emplace_back().On("GREETING", handler);
    servers.emplace_back(endless.back().Address(), name == "LineWithoutEnd"
                                                       ? "the server's reply is longer than 64 KiB"
                                                       : "timed out after 3 s");
  }
  FtpReports expected;
  for (const auto& [server, cause] : servers) {
    Ftp->QueueConnect(server, "user", "pw");
    expected = Join({expected,
                     FtpConnectFailed(cause),
                     {FtpText("Err: まだ接続されていません"), FtpResult(2, false)}});
  }
  ScriptedFtpPeer good;
  Ftp->QueueConnect(good.Address(), "user", "pw");
  expected = Join({expected, FtpConnected()});
  EXPECT_EQ(AwaitFtpResults(*Sink, FtpResultCount(expected)), expected);
}

// Some servers split a LIST argument at blanks; the folder is listed from
// inside, and the session goes back to where it was.
TEST(FtpSessionTest, AFolderWhoseNameHoldsABlankListsItsEntries) {
  ScriptedFtpPeer peer;
  peer.AddFolder("/home", "");
  peer.AddFolder("/my site", Line("index.html"));
  FtpSession session(FtpTimeouts{5s});
  ASSERT_TRUE(session.Open(peer.Address(), "user", "pw"));
  std::vector<std::string> names;
  const auto list = [&](const std::string& path) {
    names.clear();
    return session.List(path, [&](const FtpEntry& entry) { names.push_back(entry.Name); });
  };
  ASSERT_TRUE(session.ChangeDirectory("/home"));
  EXPECT_EQ(list("/my site"), 1u);
  EXPECT_EQ(names, std::vector<std::string>{"index.html"});
  EXPECT_EQ(session.CurrentDirectory(), "/home");
  EXPECT_EQ(list("/missing"), 0u);  // refused: nothing listed, the session lives
  ASSERT_TRUE(session.ChangeDirectory("/my site"));
  EXPECT_EQ(list("/my site"), 1u);
  EXPECT_EQ(session.CurrentDirectory(), "/my site");
}

// Records every report but the entries, which it only counts: a million of
// them kept would cost the test more than the listing.
class CountingSink : public RecordingSink {
public:
  void OnReport(const WorkerReport& report) override {
    if (report.Entry() != nullptr) {
      ++Entries;
      return;
    }
    RecordingSink::OnReport(report);
  }
  std::atomic<std::size_t> Entries{0};
};

// A listing without end: runs of `run` lines, `pace` apart, until the client
// goes.
ScriptedFtpPeer::Handler EndlessListing(int run, std::chrono::milliseconds pace) {
  return [=](Session& s, const std::string&) {
    s.Reply("150 Here comes the directory listing.");
    auto data = s.OpenData();
    std::string lines;
    for (int i = 0; i < run; ++i) {
      lines += Line("file-" + std::to_string(i));
    }
    while (data && s.Live() && LoopbackServer::SendAll(*data, lines)) {
      std::this_thread::sleep_for(pace);
    }
  };
}

// A server that lists for ever is cut off at the first bound it reaches: the
// number of entries when it floods, the time for the whole listing when it
// trickles (short time-outs: 20 replies of 400 ms). Either way the listing
// fails with its cause and the worker is logged off.
TEST(FtpListingBoundsTest, AnEndlessListingEndsAtItsBoundAndSaysWhy) {
  struct Case {
    std::string Name;
    ScriptedFtpPeer::Handler List;
    FtpTimeouts Timeouts;
    std::string Cause;
  };
  const Case cases[] = {
      {"flooded", EndlessListing(1000, 0ms), FtpTimeouts{3s}, "more than 1000000 entries"},
      {"trickled", EndlessListing(10, 20ms), FtpTimeouts{400ms}, "timed out after 8 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedFtpPeer peer;
    peer.On("LIST", c.List);
    auto sink = std::make_shared<CountingSink>();
    CFtpThread ftp;
    ftp.SetOwner(sink);
    ftp.SetTimeouts(c.Timeouts);
    ftp.Start();
    ftp.QueueConnect(peer.Address(), "user", "pw");
    ftp.QueueList();
    ftp.QueueDelete("next.txt");
    const FtpReports expected =
        Join({FtpConnected(),
              {FtpText("Msg: ディレクトリ検索中: \"\""), FtpEvent(15),
               FtpText("Err: ディレクトリ検索が途中で切れました"), FtpCause(c.Cause),
               FtpResult(15, false), FtpText("Err: まだ接続されていません"), FtpResult(7, false)}});
    EXPECT_EQ(AwaitFtpResults(*sink, FtpResultCount(expected)), expected);
    if (c.Name == "flooded") {
      EXPECT_EQ(sink->Entries, FtpSession::MaxListEntries);
    } else {
      EXPECT_GT(sink->Entries, 0u);
      EXPECT_LT(sink->Entries, FtpSession::MaxListEntries);
    }
    EXPECT_FALSE(ftp.IsConnected());
  }
}

// A folder of exactly as many entries as a listing may hold is listed whole,
// and the session goes on.
TEST(FtpListingBoundsTest, AFolderOfTheMostEntriesListsWhole) {
  ScriptedFtpPeer peer;
  peer.On("LIST", [](Session& s, const std::string&) {
    s.Reply("150 Here comes the directory listing.");
    if (auto data = s.OpenData()) {
      std::string lines;
      for (std::size_t i = 1; i <= FtpSession::MaxListEntries; ++i) {
        lines += Line("file-" + std::to_string(i));
        if (lines.size() > (256u << 10) || i == FtpSession::MaxListEntries) {
          LoopbackServer::SendAll(*data, lines);
          lines.clear();
        }
      }
      data->close();
    }
    s.Reply("226 Directory send OK.");
  });
  FtpSession session(FtpTimeouts{5s});
  ASSERT_TRUE(session.Open(peer.Address(), "user", "pw"));
  std::string last;
  EXPECT_EQ(session.List("", [&](const FtpEntry& entry) { last = entry.Name; }),
            FtpSession::MaxListEntries);
  EXPECT_EQ(last, "file-" + std::to_string(FtpSession::MaxListEntries));
  EXPECT_EQ(session.CurrentDirectory(), "/");
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
  utf8.On("FEAT",
          [](Session& s, const std::string&) { s.Reply("211-Features:\r\n UTF8\r\n211 End"); });
  Ftp->QueueDisconnect();
  Ftp->QueueConnect(utf8.Address(), "ユーザー", "パスワード");
  Ftp->QueueCreateDirectory("日本語");
  AwaitFtpResults(*Sink, 5);
  const std::vector<std::string> expected{
      "FEAT", "OPTS UTF8 ON", "USER ユーザー", "PASS パスワード", "TYPE I", "MKD 日本語"};
  EXPECT_EQ(utf8.Received(), expected);
}

}  // namespace
