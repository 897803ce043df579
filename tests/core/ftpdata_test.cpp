// The data connections of CFtpThread's transfers against scripted peers: only
// the server may connect to the listener, and a data connection that never
// comes or goes silent fails the transfer within one time-out.
#include "publish/CFtpThread.h"

#include "servers/ScriptedFtpPeer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;
using Session = ScriptedFtpPeer::Session;

namespace {

constexpr auto Timeout = 3s;
const std::string TimedOut = "timed out after 3 s";
const std::string Stranger = "127.0.0.2";
const std::string Refused = "Msg: サーバー以外からのデータ接続を拒否しました。: \"127.0.0.2\"";

std::string Line(const std::string& name) {
  return "-rw-r--r--    1 0        0               7 Dec 06 08:00 " + name + "\r\n";
}

// Everything the connection brings until it ends; what a stranger got.
std::string Drain(Poco::Net::StreamSocket& socket) {
  std::string bytes;
  char buffer[65536];
  try {
    for (;;) {
      const int n = socket.receiveBytes(buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
  } catch (const Poco::Exception&) {
  }
  return bytes;
}

class FtpDataTest : public ::testing::Test {
protected:
  void SetUp() override {
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{Timeout});
    Ftp->Start();
  }
  // Connects and returns once the connect has been reported.
  void Connect(const ScriptedFtpPeer& peer) {
    Ftp->QueueConnect(peer.Address(), "user", "pw");
    ASSERT_EQ(AwaitFtpResults(*Sink, 1), FtpConnected());
  }

  TempDir Local{"tavro-ftpdata"};
  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::unique_ptr<CFtpThread> Ftp = std::make_unique<CFtpThread>();
};

// ---- Strangers ------------------------------------------------------------

struct Race {
  std::string Name;
  bool Port;  // the server knows no EPRT, so the listener goes out by PORT
};

class StrangerTest : public FtpDataTest, public ::testing::WithParamInterface<Race> {
protected:
  void SetUp() override {
    FtpDataTest::SetUp();
    if (GetParam().Port) {
      Peer.On("EPRT", [](Session& s, const std::string&) { s.Reply("500 Unknown command."); });
      Peer.On("PORT", [](Session& s, const std::string& argument) {
        unsigned h[4] = {}, p[2] = {};
        if (std::sscanf(argument.c_str(), "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0],
                        &p[1]) != 6) {
          s.Reply("501 Bad PORT");
          return;
        }
        s.DataHost = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." +
                     std::to_string(h[2]) + "." + std::to_string(h[3]);
        s.DataPort = p[0] * 256 + p[1];
        s.Reply("200 PORT command successful.");
      });
    }
  }
  // Two strangers connect to the listener before the server does.
  std::vector<Poco::Net::StreamSocket> Strangers(Session& s) {
    std::vector<Poco::Net::StreamSocket> strangers;
    for (int i = 0; i < 2; ++i) {
      if (auto socket = s.OpenData(Stranger)) {
        strangers.push_back(*socket);
      }
    }
    return strangers;
  }

  ScriptedFtpPeer Peer;
  std::mutex Mutex;
  std::vector<std::string> StrangersGot;  // what each stranger received
};

TEST_P(StrangerTest, AnUploadGoesOnlyToTheServer) {
  const std::string page(100000, 'p');  // fits the socket buffers of a stranger
  std::ofstream(Local / "page", std::ios::binary) << page;
  std::string stored;
  Peer.On("STOR", [&](Session& s, const std::string&) {
    s.Reply("150 Ok to send data.");
    auto strangers = Strangers(s);
    auto data = s.OpenData();
    stored = data ? Drain(*data) : std::string();
    for (auto& stranger : strangers) {
      const std::string got = Drain(stranger);
      std::lock_guard lock(Mutex);
      StrangersGot.push_back(got);
    }
    s.Reply("226 Transfer complete.");
  });
  Connect(Peer);
  Ftp->QueueUpload((Local / "page").string(), "index.html");
  const FtpReports expected{FtpText("Msg: アップロードします。"), FtpEvent(6), FtpText(Refused),
                            FtpText("Msg: アップロードに成功しました。: \"index.html\""),
                            FtpResult(6, true)};
  EXPECT_EQ(AwaitFtpResults(*Sink, 2, 4), expected);
  EXPECT_TRUE(stored == page);
  std::lock_guard lock(Mutex);
  EXPECT_EQ(StrangersGot, std::vector<std::string>(2));
}

TEST_P(StrangerTest, AStrangersListingIsNoEntry) {
  Peer.On("LIST", [&](Session& s, const std::string&) {
    s.Reply("150 Here comes the directory listing.");
    for (auto& stranger : Strangers(s)) {
      LoopbackServer::SendAll(stranger, Line("evil.html"));
      stranger.close();
    }
    s.SendData(Line("index.html"));
    s.Reply("226 Directory send OK.");
  });
  Connect(Peer);
  Ftp->QueueList();
  const FtpReports expected{FtpText("Msg: ディレクトリ検索中: \"\""),
                            FtpEvent(15),
                            FtpText(Refused),
                            FtpEntryReport("index.html", false, 7),
                            FtpText("Msg: ディレクトリ検索終了"),
                            FtpResult(15, true)};
  EXPECT_EQ(AwaitFtpResults(*Sink, 2, 4), expected);
}

INSTANTIATE_TEST_SUITE_P(Listeners, StrangerTest,
                         ::testing::Values(Race{"Eprt", false}, Race{"Port", true}),
                         [](const auto& info) { return info.param.Name; });

// ---- Data connections that never come or go silent -------------------------

enum class Transfer { List, Retr, Stor };

struct Stall {
  std::string Name;
  Transfer Kind;
  bool Connects;  // the server connects, then neither sends nor reads
};

void PrintTo(const Stall& stall, std::ostream* out) {
  *out << stall.Name;
}

class StallTest : public FtpDataTest, public ::testing::WithParamInterface<Stall> {};

TEST_P(StallTest, FailsOnceWithinItsTimeOut) {
  const Stall& stall = GetParam();
  ScriptedFtpPeer peer;
  const ScriptedFtpPeer::Handler handler = [connects = stall.Connects](Session& s,
                                                                       const std::string&) {
    s.Reply("150 Here it comes.");
    if (!connects) {
      return;
    }
    auto data = s.OpenData();
    while (s.Live()) {  // held open and silent until the peer stops
      std::this_thread::sleep_for(10ms);
    }
  };
  peer.On(stall.Kind == Transfer::List   ? "LIST"
          : stall.Kind == Transfer::Retr ? "RETR"
                                         : "STOR",
          handler);
  Connect(peer);
  FtpReports expected;
  const std::string notConnected = "Err: まだ接続されていません";
  const auto brokenNext = FtpFailure(7, "Msg: ファイルを削除します。 : \"next.txt\"",
                                     "Err: ファイルを削除できませんでした。: \"next.txt\"",
                                     "the connection had closed: " + TimedOut);
  const auto started = std::chrono::steady_clock::now();
  switch (stall.Kind) {
    case Transfer::List:
      Ftp->QueueList();
      expected = Join({{FtpText("Msg: ディレクトリ検索中: \"\""), FtpEvent(15),
                        FtpText("Err: ディレクトリ検索が途中で切れました"), FtpCause(TimedOut),
                        FtpResult(15, false)},
                       {FtpText(notConnected), FtpResult(7, false)}});
      break;
    case Transfer::Retr:
      Ftp->QueueDownload("page.html", (Local / "page.html").string());
      expected = Join({FtpFailure(5, "Msg: ダウンロードします。",
                                  "Err: ダウンロードに失敗しました。", TimedOut),
                       brokenNext});
      break;
    case Transfer::Stor:
      // More than the socket buffers hold, so that the sender has to wait.
      std::ofstream(Local / "page", std::ios::binary) << std::string(32 << 20, 's');
      Ftp->QueueUpload((Local / "page").string(), "page.html");
      expected = Join({FtpFailure(6, "Msg: アップロードします。",
                                  "Err: アップロードに失敗しました。: \"page.html\"", TimedOut),
                       brokenNext});
      break;
  }
  AwaitFtpResults(*Sink, 2);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  Ftp->QueueDelete("next.txt");
  EXPECT_EQ(AwaitFtpResults(*Sink, 3, 4), expected);
  // One time-out and a margin, not one for the data and one more for a final
  // reply that a stalled server does not send.
  EXPECT_LT(elapsed, std::chrono::milliseconds(Timeout) * 3 / 2);
  EXPECT_FALSE(fs::exists(Local / "page.html"));
}

INSTANTIATE_TEST_SUITE_P(Peers, StallTest,
                         ::testing::Values(Stall{"ListNeverConnects", Transfer::List, false},
                                           Stall{"ListNeverSends", Transfer::List, true},
                                           Stall{"RetrNeverConnects", Transfer::Retr, false},
                                           Stall{"RetrNeverSends", Transfer::Retr, true},
                                           Stall{"StorNeverConnects", Transfer::Stor, false},
                                           Stall{"StorNeverReads", Transfer::Stor, true}),
                         [](const auto& info) { return info.param.Name; });

}  // namespace
