// FTP over TLS against a real vsftpd that requires TLS for the log-on and the
// data, and that takes a data connection only when it resumes the control
// connection's TLS session.
#include "ftp/FtpSession.h"

#include "ftp/FtpReplace.h"

#include "servers/TestCertificates.h"
#include "servers/VsftpdServer.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

const TestCertificates& Certificates() {
  static const TestCertificates certificates;
  return certificates;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(generator());
  }
  return bytes;
}

// Where the client's command begins in the server's log (replies name
// commands too: "530 Please login with USER and PASS.").
std::size_t Sent(const std::string& log, const std::string& command) {
  return log.find("FTP command: Client \"127.0.0.1\", \"" + command);
}

std::string TlsAddress(const VsftpdServer& server) {
  // The certificate's name, not the address, so that the name is checked.
  return "ftpes://localhost:" + server.Address().substr(server.Address().rfind(':') + 1);
}

class FtpsTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Certificates().Made()) << Certificates().Error();
    Certificates().TrustTestCa();
  }

  TempDir Local{"tavro-ftps"};
};

}  // namespace

TEST_F(FtpsTest, LogOnListUploadAndDownloadGoThroughTls) {
  VsftpdServer server({Certificates().Localhost(), Certificates().Key(), true});
  ASSERT_TRUE(server.Started()) << server.Error();
  FtpSession session(FtpTimeouts{10s});
  ASSERT_TRUE(session.Open(TlsAddress(server), VsftpdServer::User, VsftpdServer::Password))
      << server.Log();

  // Several data connections in one session, each resuming the control
  // connection's TLS session; the uploads end with close_notify, or the
  // server would call them broken, and the larger ones would arrive cut.
  for (const std::size_t size :
       {std::size_t{1} << 20, (std::size_t{3} << 20) + 7, std::size_t{0}}) {
    SCOPED_TRACE(size);
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
    const std::string name = "file-" + std::to_string(size);
    std::ofstream(Local / name, std::ios::binary) << bytes;
    ASSERT_TRUE(session.Upload((Local / name).string(), "/pub/" + name)) << server.Log();
    EXPECT_TRUE(ReadFileBytes(server.Pub() / name) == bytes);
    ASSERT_TRUE(session.Download("/pub/" + name, (Local / (name + ".back")).string(), false))
        << server.Log();
    EXPECT_TRUE(ReadFileBytes(Local / (name + ".back")) == bytes);
  }
  // A replace: its upload, rename and listing for left-overs, all protected.
  std::string cause;
  ASSERT_TRUE(
      ReplaceRemoteFile(session, (Local / "file-1048576").string(), "/pub/file-0", {}, cause))
      << cause << server.Log();
  EXPECT_TRUE(ReadFileBytes(server.Pub() / "file-0") == ReadFileBytes(Local / "file-1048576"));
  std::vector<std::string> names;
  EXPECT_EQ(session.List("/pub", [&](const FtpEntry& e) { names.push_back(e.Name); }), 3u);
  EXPECT_NE(std::find(names.begin(), names.end(), "file-1048576"), names.end());
  session.Close();

  // TLS before the account: AUTH TLS is the first command, PASS comes after PROT P.
  const std::string log = server.Log();
  const auto at = [&](const char* command) { return Sent(log, command); };
  ASSERT_NE(at("AUTH TLS"), std::string::npos) << log;
  EXPECT_LT(at("AUTH TLS"), at("PBSZ 0"));
  EXPECT_LT(at("PBSZ 0"), at("PROT P"));
  EXPECT_LT(at("PROT P"), at("USER"));
  EXPECT_LT(at("USER"), at("PASS"));
}

TEST_F(FtpsTest, NoPasswordLeavesWithoutVerifiedTls) {
  struct Case {
    const char* Why;
    fs::path Certificate;  // none: a server without TLS, which refuses AUTH TLS
    std::string Cause;
  };
  const std::vector<Case> cases{
      {"AUTH TLS refused", {}, "530 Please login with USER and PASS."},
      {"certificate for another name", Certificates().OtherName(),
       "certificate is for another name"},
      {"expired certificate", Certificates().Expired(), "certificate has expired"},
      {"self-signed certificate", Certificates().SelfSigned(), "self-signed certificate"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Why);
    VsftpdServer server({c.Certificate, Certificates().Key(), true});
    ASSERT_TRUE(server.Started()) << server.Error();
    FtpSession session(FtpTimeouts{10s});
    EXPECT_FALSE(session.Open(TlsAddress(server), VsftpdServer::User, VsftpdServer::Password));
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(session.LastCause(), c.Cause);
    const std::string log = server.Log();
    EXPECT_NE(Sent(log, "AUTH TLS"), std::string::npos) << log;
    EXPECT_EQ(Sent(log, "USER"), std::string::npos) << log;
    EXPECT_EQ(Sent(log, "PASS"), std::string::npos) << log;
  }
}
