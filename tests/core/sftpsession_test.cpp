// The SFTP session against a real OpenSSH sshd on loopback: host keys (unknown,
// accepted, changed; the password never sent before the key verifies), the
// log-on by password and by keyboard-interactive prompts, the file and folder
// operations with FtpSession's results, the page replacement, and servers
// that stall after the key exchange or in the middle of a session.
#include "sftp/SftpSession.h"

#include "ftp/FtpReplace.h"
#include "servers/SshdServer.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 131 + i / 7);
  }
  return bytes;
}

// How many log-on requests sshd saw: none where the client left before
// saying who it is.
int LogonRequests(const std::string& log) {
  int count = 0;
  for (auto at = log.find("userauth-request"); at != std::string::npos;
       at = log.find("userauth-request", at + 1)) {
    ++count;
  }
  return count;
}

class SftpSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Server.Started()) {
      GTEST_SKIP() << Server.Error();
    }
  }
  void TrustServer() { WriteFile(KnownHosts, Server.KnownHostsLine()); }
  std::unique_ptr<SftpSession> OpenSession() {
    auto session = std::make_unique<SftpSession>(Timeouts, KnownHosts.string());
    EXPECT_TRUE(session->Open(Server.Address(), Server.User(), Server.Password()))
        << session->LastCause();
    return session;
  }

  SshdServer Server;
  TempDir Local{"tavro-sftp"};
  fs::path KnownHosts = Local / "settings" / "known_hosts";
  FtpTimeouts Timeouts{5s};
};

TEST(SftpServerTextTest, OnlyTheSchemeSelectsSftp) {
  EXPECT_EQ(SftpServerAddress("sftp://example.org"), "example.org");
  EXPECT_EQ(SftpServerAddress("SFTP://example.org:2222/"), "example.org:2222");
  EXPECT_EQ(SftpServerAddress("sftp://[::1]:22"), "[::1]:22");
  for (const char* other : {"example.org", "example.org:22", "ftpes://example.org", "sftp://",
                            "sftp:///", "sftp://host/path", "sftp:/host"}) {
    EXPECT_FALSE(SftpServerAddress(other)) << other;
  }
}

TEST_F(SftpSessionTest, AnUnknownKeyIsRefusedBeforeTheLogOnUntilAccepted) {
  fs::create_directory(Local / "settings");
  SftpSession session(Timeouts, KnownHosts.string());
  EXPECT_FALSE(session.Open(Server.Address(), Server.User(), Server.Password()));
  EXPECT_FALSE(session.IsOpen());
  ASSERT_TRUE(session.RefusedHostKey());
  const HostKeyCheck key = *session.RefusedHostKey();
  EXPECT_EQ(key.Status, HostKeyCheck::Verdict::Unknown);
  EXPECT_EQ(key.Type, "ssh-ed25519");
  EXPECT_EQ(key.Fingerprint, Server.Fingerprint());
  EXPECT_NE(session.LastCause().find("not known"), std::string::npos) << session.LastCause();
  EXPECT_NE(session.LastCause().find(key.Fingerprint), std::string::npos);
  EXPECT_EQ(LogonRequests(Server.Log()), 0) << Server.Log();

  // The probe the dialogs use shows the same key; accepted, it is kept in a
  // file only the owner reads, and the session logs on.
  std::string cause;
  const auto probed = ProbeHostKey(Server.Address(), Timeouts, KnownHosts.string(), cause);
  ASSERT_TRUE(probed) << cause;
  EXPECT_EQ(probed->Fingerprint, key.Fingerprint);
  EXPECT_EQ(probed->Status, HostKeyCheck::Verdict::Unknown);
  ASSERT_TRUE(AcceptHostKey(KnownHosts.string(), *probed, cause)) << cause;
  struct stat info {};
  ASSERT_EQ(::stat(KnownHosts.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(ReadFileBytes(KnownHosts).find("[127.0.0.1]:" + std::to_string(Server.Port())),
            std::string::npos);
  EXPECT_EQ(LogonRequests(Server.Log()), 0);

  ASSERT_TRUE(session.Open(Server.Address(), Server.User(), Server.Password()))
      << session.LastCause();
  EXPECT_FALSE(session.RefusedHostKey());
  EXPECT_GT(LogonRequests(Server.Log()), 0);
  const auto again = ProbeHostKey(Server.Address(), Timeouts, KnownHosts.string(), cause);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Status, HostKeyCheck::Verdict::Known);
}

TEST_F(SftpSessionTest, AChangedKeyIsRefusedAndNoPasswordGoesOut) {
  fs::create_directory(Local / "settings");
  WriteFile(KnownHosts, Server.ForeignKnownHostsLine());
  SftpSession session(Timeouts, KnownHosts.string());
  EXPECT_FALSE(session.Open(Server.Address(), Server.User(), Server.Password()));
  ASSERT_TRUE(session.RefusedHostKey());
  EXPECT_EQ(session.RefusedHostKey()->Status, HostKeyCheck::Verdict::Changed);
  EXPECT_NE(session.LastCause().find("differs"), std::string::npos) << session.LastCause();
  EXPECT_EQ(LogonRequests(Server.Log()), 0) << Server.Log();
  EXPECT_EQ(Server.Log().find("Failed password"), std::string::npos);
}

TEST_F(SftpSessionTest, AWrongPasswordIsRefused) {
  fs::create_directories(Local / "settings");
  TrustServer();
  SftpSession session(Timeouts, KnownHosts.string());
  EXPECT_FALSE(session.Open(Server.Address(), Server.User(), "not the password"));
  EXPECT_FALSE(session.IsOpen());
  EXPECT_FALSE(session.RefusedHostKey());
  EXPECT_EQ(session.LastCause(), "the server refused the user name or password");
  EXPECT_NE(Server.Log().find("Failed password for " + Server.User()), std::string::npos);
  // Nobody listens: the system's own words.
  SftpSession nowhere(Timeouts, KnownHosts.string());
  const auto port =
      Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
  EXPECT_FALSE(nowhere.Open("sftp://127.0.0.1:" + std::to_string(port), "u", "p"));
  EXPECT_FALSE(nowhere.LastCause().empty());
}

TEST_F(SftpSessionTest, FilesAndFoldersBehaveAsOverFtp) {
  fs::create_directories(Local / "settings");
  TrustServer();
  auto session = OpenSession();
  ASSERT_TRUE(session->IsOpen());
  EXPECT_EQ(session->CurrentDirectory(), "/pub");

  const std::string page = Bytes(300'000);
  WriteFile(Local / "page.html", page);
  ASSERT_TRUE(session->CreateDirectory("site"));
  EXPECT_FALSE(session->CreateDirectory("site"));
  EXPECT_TRUE(session->IsOpen());  // a refusal keeps the session
  ASSERT_TRUE(session->Upload((Local / "page.html").string(), "site/index.html"));
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "site" / "index.html"), page);
  EXPECT_EQ(session->FileExists("/pub/site/index.html"), true);
  EXPECT_EQ(session->FileExists("/pub/site/none.html"), false);
  EXPECT_EQ(session->LastCause(), "No such file");
  EXPECT_EQ(session->FileExists("/pub/site"), false);

  std::map<std::string, FtpEntry> entries;
  const auto count = session->List("/pub/site", [&](const FtpEntry& e) { entries[e.Name] = e; });
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, entries.size());
  ASSERT_EQ(entries.count("index.html"), 1u);
  EXPECT_EQ(entries["index.html"].Size, page.size());
  EXPECT_FALSE(entries["index.html"].IsDirectory());
  EXPECT_GT(entries["index.html"].LastWriteTime, 1'600'000'000);
  EXPECT_EQ(entries.count("."), 0u);
  ASSERT_TRUE(session->CreateDirectory("/pub/site/empty"));
  EXPECT_EQ(session->List("/pub/site/empty", [](const FtpEntry&) {}), 0u);
  ASSERT_TRUE(session->RemoveDirectory("/pub/site/empty"));
  EXPECT_EQ(session->List("/pub/nothing-here", [](const FtpEntry&) {}), 0u);
  EXPECT_TRUE(session->IsOpen());

  // Changing folders: relative names count from there, a file is no folder.
  ASSERT_TRUE(session->ChangeDirectory("site"));
  EXPECT_EQ(session->CurrentDirectory(), "/pub/site");
  EXPECT_FALSE(session->ChangeDirectory("index.html"));
  EXPECT_FALSE(session->ChangeDirectory("/pub/missing"));
  EXPECT_EQ(session->CurrentDirectory(), "/pub/site");

  const fs::path fetched = Local / "fetched.html";
  ASSERT_TRUE(session->Download("index.html", fetched.string(), false)) << session->LastCause();
  EXPECT_EQ(ReadFileBytes(fetched), page);
  WriteFile(fetched, "old");
  EXPECT_FALSE(session->Download("index.html", fetched.string(), false));
  EXPECT_EQ(ReadFileBytes(fetched), "old");
  EXPECT_FALSE(session->Download("missing.html", fetched.string(), true));
  EXPECT_EQ(ReadFileBytes(fetched), "old");
  ASSERT_TRUE(session->Download("index.html", fetched.string(), true));
  EXPECT_EQ(ReadFileBytes(fetched), page);
  EXPECT_EQ(Local.Path().empty(), false);

  // OpenSSH will not rename over a file: told apart from a missing source.
  ASSERT_TRUE(session->Upload((Local / "page.html").string(), "other.html"));
  EXPECT_EQ(session->TryRename("other.html", "index.html"),
            RemoteSession::RenameResult::TargetRefused);
  EXPECT_EQ(session->TryRename("missing.html", "x.html"),
            RemoteSession::RenameResult::SourceRefused);
  ASSERT_TRUE(session->Rename("other.html", "renamed.html"));
  EXPECT_TRUE(fs::exists(Server.Pub() / "site" / "renamed.html"));
  EXPECT_FALSE(session->RemoveDirectory("/pub/site"));  // not empty
  ASSERT_TRUE(session->Delete("renamed.html"));
  ASSERT_TRUE(session->Delete("/pub/site/index.html"));
  EXPECT_FALSE(session->Delete("index.html"));
  ASSERT_TRUE(session->ChangeDirectory(".."));
  ASSERT_TRUE(session->RemoveDirectory("site"));
  EXPECT_FALSE(fs::exists(Server.Pub() / "site"));
  EXPECT_FALSE(session->Upload((Local / "missing").string(), "x.html"));
  EXPECT_TRUE(session->IsOpen());
  session->Close();
  EXPECT_FALSE(session->Delete("x.html"));
  EXPECT_EQ(session->LastCause(), "not connected");
}

TEST_F(SftpSessionTest, ThePageIsReplacedWholeAndNoTemporaryFileStays) {
  fs::create_directories(Local / "settings");
  TrustServer();
  auto session = OpenSession();
  WriteFile(Server.Pub() / "index.html", "old page");
  Server.Share(Server.Pub() / "index.html");
  // A left-over of a killed attempt is swept by the next publish.
  WriteFile(Server.Pub() / "index.tavro-1-1.html", "left over");
  Server.Share(Server.Pub() / "index.tavro-1-1.html");
  const std::string page = Bytes(200'000);
  WriteFile(Local / "page.html", page);
  std::string cause;
  ASSERT_TRUE(
      ReplaceRemoteFile(*session, (Local / "page.html").string(), "/pub/index.html", {}, cause))
      << cause;
  EXPECT_EQ(ReadFileBytes(Server.Pub() / "index.html"), page);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Server.Pub())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"index.html"});

  // The unpublish on the way out plants nothing where there was no page.
  ReplaceOptions mustExist;
  mustExist.TargetMustExist = true;
  EXPECT_FALSE(ReplaceRemoteFile(*session, (Local / "page.html").string(), "/pub/none.html",
                                 mustExist, cause));
  EXPECT_EQ(cause, "No such file");
  EXPECT_FALSE(fs::exists(Server.Pub() / "none.html"));
}

TEST(SftpKeyboardInteractiveTest, ThePasswordAnswersThePrompts) {
  SshdOptions options;
  options.KeyboardInteractive = true;
  SshdServer server(options);
  if (!server.Started()) {
    GTEST_SKIP() << server.Error();
  }
  TempDir local{"tavro-sftp"};
  WriteFile(local / "known_hosts", server.KnownHostsLine());
  SftpSession session(FtpTimeouts{5s}, (local / "known_hosts").string());
  EXPECT_FALSE(session.Open(server.Address(), server.User(), "wrong"));
  EXPECT_EQ(session.LastCause(), "the server refused the user name or password");
  ASSERT_TRUE(session.Open(server.Address(), server.User(), server.Password()))
      << session.LastCause() << server.Log();
  EXPECT_EQ(session.CurrentDirectory(), "/pub");
}

// Passes the SSH connection on until the server's NEWKEYS, then passes
// nothing more from the server: a server that stalls right after the key
// exchange.
class StallAfterKeyExchange {
public:
  explicit StallAfterKeyExchange(std::uint16_t serverPort) : ServerPort(serverPort) {
    Relay = std::thread([this] { Run(); });
  }
  ~StallAfterKeyExchange() {
    Stop = true;
    Listener.close();
    Relay.join();
  }
  std::string Address() const {
    return "sftp://127.0.0.1:" + std::to_string(Listener.address().port());
  }
  bool Stalled() const { return Cut; }

private:
  void Run() {
    Poco::Net::StreamSocket client;
    Poco::Net::StreamSocket server;
    try {
      client = Listener.acceptConnection();
      server.connect(Poco::Net::SocketAddress("127.0.0.1", ServerPort));
    } catch (const Poco::Exception&) {
      return;
    }
    std::thread upstream([&] {
      char buffer[4096];
      try {
        while (!Stop) {
          if (!client.poll(100'000, Poco::Net::Socket::SELECT_READ)) {
            continue;
          }
          const int got = client.receiveBytes(buffer, sizeof buffer);
          if (got <= 0) {
            break;
          }
          server.sendBytes(buffer, got);
        }
      } catch (const Poco::Exception&) {
      }
    });
    std::string pending;
    bool banner = false;
    try {
      char buffer[4096];
      while (!Stop) {
        if (!server.poll(100'000, Poco::Net::Socket::SELECT_READ)) {
          continue;
        }
        const int got = server.receiveBytes(buffer, sizeof buffer);
        if (got <= 0) {
          break;
        }
        if (Cut) {
          continue;  // swallowed
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        // Pass whole packets on, until the one that ends the key exchange.
        for (;;) {
          if (!banner) {
            const auto end = pending.find('\n');
            if (end == std::string::npos) {
              break;
            }
            client.sendBytes(pending.data(), static_cast<int>(end + 1));
            pending.erase(0, end + 1);
            banner = true;
            continue;
          }
          if (pending.size() < 6) {
            break;
          }
          const std::size_t length = (static_cast<unsigned char>(pending[0]) << 24) |
                                     (static_cast<unsigned char>(pending[1]) << 16) |
                                     (static_cast<unsigned char>(pending[2]) << 8) |
                                     static_cast<unsigned char>(pending[3]);
          if (pending.size() < length + 4) {
            break;
          }
          const int type = static_cast<unsigned char>(pending[5]);
          client.sendBytes(pending.data(), static_cast<int>(length + 4));
          pending.erase(0, length + 4);
          if (type == 21) {  // SSH_MSG_NEWKEYS
            Cut = true;
            break;
          }
        }
      }
    } catch (const Poco::Exception&) {
    }
    upstream.join();
  }

  std::uint16_t ServerPort;
  Poco::Net::ServerSocket Listener{Poco::Net::SocketAddress("127.0.0.1", 0)};
  std::atomic<bool> Stop{false};
  std::atomic<bool> Cut{false};
  std::thread Relay;
};

TEST_F(SftpSessionTest, AServerThatStallsHoldsNoStepLongerThanItsTimeout) {
  fs::create_directories(Local / "settings");
  TrustServer();
  Timeouts = FtpTimeouts{1s};
  {
    StallAfterKeyExchange relay(Server.Port());
    // The relay's own address: the key must be known for it too.
    WriteFile(KnownHosts, Server.KnownHostsLine() + "[127.0.0.1]:" +
                              relay.Address().substr(relay.Address().rfind(':') + 1) +
                              Server.KnownHostsLine().substr(Server.KnownHostsLine().find(' ')));
    SftpSession session(Timeouts, KnownHosts.string());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.Open(relay.Address(), Server.User(), Server.Password()));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(relay.Stalled());
    EXPECT_EQ(session.LastCause(), "timed out after 1 s");
    EXPECT_LT(took, 3 * Timeouts.Reply + 1s);
  }

  // In the middle of a session: every request is bounded, and the session
  // closes itself rather than read a late answer for the next request.
  auto session = OpenSession();
  ASSERT_TRUE(session->IsOpen());
  WriteFile(Local / "page.html", Bytes(4 << 20));
  Server.Pause();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(session->Upload((Local / "page.html").string(), "big.html"));
  EXPECT_EQ(session->LastCause(), "timed out after 1 s");
  EXPECT_FALSE(session->IsOpen());
  EXPECT_FALSE(session->List("/pub", [](const FtpEntry&) {}));
  EXPECT_EQ(session->LastCause(), "the connection had closed: timed out after 1 s");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3 * Timeouts.Reply + 1s);
  Server.Resume();
}

}  // namespace
