// CFtpThread and the unpublish on the way out over SFTP, against a real
// OpenSSH sshd: the same texts, notices and results as over FTP, the host key
// refusals in the log, and the browser's commands.
#include "publish/CFtpThread.h"

#include "publish/ImmediateUnpublish.h"
#include "servers/SshdServer.h"
#include "support/FtpReports.h"
#include "support/RecordingSink.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string PageBytes(std::size_t size) {
  std::string bytes;
  for (std::size_t i = 0; bytes.size() < size; ++i) {
    bytes += static_cast<char>(i * 7 + i / 251);
  }
  return bytes;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SftpThreadTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Server.Started()) {
      GTEST_SKIP() << Server.Error();
    }
    WriteFile(KnownHosts, Server.KnownHostsLine());
    Ftp->SetOwner(Sink);
    Ftp->SetTimeouts(FtpTimeouts{5s});
    Ftp->SetKnownHostsFile(KnownHosts.string());
    Ftp->Start();
  }
  void Connect(const std::string& password) {
    Ftp->QueueConnect(Server.Address(), Server.User(), password);
  }
  FtpReports AwaitResults(std::size_t count, std::size_t from = 0) {
    return AwaitFtpResults(*Sink, count, from);
  }

  SshdServer Server;
  TempDir Local{"tavro-sftp"};
  fs::path KnownHosts = Local / "known_hosts";
  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::unique_ptr<CFtpThread> Ftp = std::make_unique<CFtpThread>();
};

TEST_F(SftpThreadTest, PublishThenWithdrawReplaceThePageWithTheFtpTexts) {
  WriteFile(Server.Pub() / "index.html", "old page");
  Server.Share(Server.Pub() / "index.html");
  const std::string page = PageBytes(500'000);
  WriteFile(Local / "page", page);
  WriteFile(Local / "offline", "offline page");

  Connect("wrong");
  Connect(Server.Password());
  Ftp->QueueReplace((Local / "page").string(), "/pub/index.html", CFtpThread::LocalFile::Remove);
  const auto published = Join({
      FtpConnectFailed("the server refused the user name or password"),
      // Half-open after the failure: the next connect first disconnects.
      {FtpText("Err: まだ接続されていません"), FtpResult(2, false)},
      FtpConnected(),
      FtpStep(6, "Msg: アップロードします。",
              "Msg: アップロードに成功しました。: \"/pub/index.html\"", true),
  });
  EXPECT_EQ(AwaitResults(4), published);
  EXPECT_TRUE(ReadFileBytes(Server.Pub() / "index.html") == page);
  EXPECT_FALSE(fs::exists(Local / "page"));
  EXPECT_EQ(Names(Server.Pub()), std::vector<std::string>{"index.html"});

  // Withdrawing: the offline page over the same session, then the disconnect.
  Ftp->QueueReplace((Local / "offline").string(), "/pub/index.html");
  Ftp->QueueReplace((Local / "offline").string(), "/pub/nofolder/index.html");
  Ftp->QueueDisconnect();
  const auto withdrawn = AwaitResults(7, published.size());
  ASSERT_EQ(withdrawn.size(), 11u);
  EXPECT_EQ(FtpReports(withdrawn.begin(), withdrawn.begin() + 4),
            FtpStep(6, "Msg: アップロードします。",
                    "Msg: アップロードに成功しました。: \"/pub/index.html\"", true));
  EXPECT_EQ(FtpReports(withdrawn.begin() + 4, withdrawn.begin() + 9),
            FtpFailure(6, "Msg: アップロードします。",
                       "Err: アップロードに失敗しました。: \"/pub/nofolder/index.html\"",
                       "No such file"));
  EXPECT_EQ(FtpReports(withdrawn.begin() + 9, withdrawn.end()),
            (FtpReports{FtpText("Msg: 切断しました。"), FtpResult(2, true)}));
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "index.html"), "offline page");
  EXPECT_FALSE(Ftp->IsConnected());
}

TEST_F(SftpThreadTest, HostKeysThatDoNotVerifyAreRefusedInTheLog) {
  const std::string shown = "ssh-ed25519 " + Server.Fingerprint();
  fs::remove(KnownHosts);
  Connect(Server.Password());
  Ftp->QueueUpload((Local / "none").string(), "/pub/index.html");
  // The host key line comes after the cause, before the connect's result.
  const FtpReports unknown{
      FtpText("Msg: 接続中"),
      FtpEvent(1),
      FtpText("Err: 接続できませんでした"),
      FtpCause("the server's host key is not known yet: " + shown),
      FtpText("Err: サーバーのホスト鍵が未登録のため、パスワードを送らずに切断しました: " + shown +
              " 設定ダイアログのOKかFTPブラウザの接続で指紋を確かめて登録してください。"),
      FtpResult(1, false),
      FtpText("Err: まだ接続されていません"),
      FtpResult(6, false)};
  EXPECT_EQ(AwaitResults(2), unknown);

  WriteFile(KnownHosts, Server.ForeignKnownHostsLine());
  Connect(Server.Password());
  const auto changed = AwaitResults(4, unknown.size());
  ASSERT_EQ(changed.size(), 8u);
  EXPECT_EQ(changed[5].Text.value_or(""),
            "Err: 原因: the server's host key differs from the one kept for it: " + shown);
  EXPECT_EQ(
      changed[6].Text.value_or(""),
      "Err: 警告: サーバーのホスト鍵が登録済みの鍵と違います: " + shown +
          " 別のサーバーがなりすましている恐れがあるため、パスワードを送らずに切断しました。");
  EXPECT_EQ(changed[7], FtpResult(1, false));
  EXPECT_EQ(Server.Log().find("userauth-request"), std::string::npos) << Server.Log();
}

TEST_F(SftpThreadTest, TheBrowsersCommandsWorkOnTheServersFiles) {
  WriteFile(Server.Pub() / "a.txt", "12345");
  Server.Share(Server.Pub() / "a.txt");
  Connect(Server.Password());
  Ftp->QueueChangeDirectory("/pub");
  const std::size_t from = AwaitResults(2).size();
  Ftp->QueueList();
  Ftp->QueueCreateDirectory("sub");
  Ftp->QueueRename("a.txt", "sub/b.txt");
  Ftp->QueueDownload("sub/b.txt", (Local / "b.txt").string());
  Ftp->QueueDelete("sub/b.txt");
  Ftp->QueueRemoveDirectory("sub");
  Ftp->QueueRemoveDirectory("sub");
  const auto expected =
      Join({FtpListing("/pub", {FtpEntryReport("a.txt", false, 5)}),
            FtpStep(10, "Msg: ディレクトリを作成します。 : \"sub\"",
                    "Msg: ディレクトリを作成しました。 : \"sub\"", true),
            FtpStep(8, "Msg: ファイル名を変更します。: \"sub/b.txt\"",
                    "Msg: ファイル名を変更しました。: \"sub/b.txt\"", true),
            FtpStep(5, "Msg: ダウンロードします。", "Msg: ダウンロードに成功しました。", true),
            FtpStep(7, "Msg: ファイルを削除します。 : \"sub/b.txt\"",
                    "Msg: ファイルを削除しました。: \"sub/b.txt\"", true),
            FtpStep(9, "Msg: ディレクトリを削除します。 : \"sub\"",
                    "Msg: ディレクトリを削除しました。 : \"sub\"", true),
            FtpFailure(9, "Msg: ディレクトリを削除します。 : \"sub\"",
                       "Err: ディレクトリを削除することができませんでした。 : \"sub\"",
                       "No such file")});
  EXPECT_EQ(AwaitResults(9, from), expected);
  EXPECT_EQ(ReadFileBytes(Local / "b.txt"), "12345");
  EXPECT_TRUE(Names(Server.Pub()).empty());
}

TEST_F(SftpThreadTest, TheUnpublishOnTheWayOutReplacesOnlyAPageThatIsThere) {
  WriteFile(Server.Pub() / "index.html", "online");
  Server.Share(Server.Pub() / "index.html");
  WriteFile(Local / "offline", "offline page");
  std::string cause;
  ASSERT_TRUE(UnpublishNow(Server.Address(), Server.User(), Server.Password(),
                           (Local / "offline").string(), "/pub/index.html", FtpTimeouts{5s}, &cause,
                           KnownHosts.string()))
      << cause;
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "index.html"), "offline page");
  EXPECT_EQ(Names(Server.Pub()), std::vector<std::string>{"index.html"});
  EXPECT_FALSE(UnpublishNow(Server.Address(), Server.User(), Server.Password(),
                            (Local / "offline").string(), "/pub/other.html", FtpTimeouts{5s},
                            &cause, KnownHosts.string()));
  EXPECT_EQ(cause, "No such file");
  EXPECT_FALSE(fs::exists(Server.Pub() / "other.html"));
  fs::remove(KnownHosts);
  EXPECT_FALSE(UnpublishNow(Server.Address(), Server.User(), Server.Password(),
                            (Local / "offline").string(), "/pub/index.html", FtpTimeouts{5s},
                            &cause, KnownHosts.string()));
  EXPECT_NE(cause.find("not known"), std::string::npos) << cause;
}

}  // namespace
