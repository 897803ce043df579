#include "servers/VsftpdServer.h"

#include "servers/ChildProcess.h"
#include "support/TextFiles.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace tavro::test {
namespace {

constexpr const char* VsftpdBinary = "/usr/sbin/vsftpd";

// A port nobody listens on now; the server binds it a moment later.
std::uint16_t FreePort() {
  return Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
}

bool Accepts(std::uint16_t port) {
  try {
    Poco::Net::StreamSocket(Poco::Net::SocketAddress("127.0.0.1", port)).close();
    return true;
  } catch (const Poco::Exception&) {
    return false;
  }
}

}  // namespace

VsftpdServer::VsftpdServer(VsftpdOptions options) : Options(std::move(options)) {
  if (::access(VsftpdBinary, X_OK) != 0) {
    Failure = "vsftpd is not installed (Debian package vsftpd)";
    return;
  }
  if (::geteuid() != 0) {
    Failure = "vsftpd needs to start as root";
    return;
  }
  const passwd* account = ::getpwnam("ftp");
  if (account == nullptr || ::access(account->pw_dir, X_OK) != 0) {
    Failure = "the ftp account of the vsftpd package, with its home folder, is missing";
    return;
  }
  const auto readOnly = std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec;
  RootDir = BaseDir / "root";
  PubDir = RootDir / "pub";
  std::filesystem::create_directory(RootDir);
  std::filesystem::permissions(RootDir, readOnly);
  std::filesystem::create_directory(PubDir);
  // The sessions run as the ftp user and write here.
  std::filesystem::permissions(PubDir, std::filesystem::perms::all);
  std::filesystem::create_directory(BaseDir / "empty");
  std::filesystem::permissions(BaseDir / "empty", readOnly);
  std::ofstream(BaseDir / "passwords") << Password << "\n";
  for (int attempt = 0; attempt < 3 && Pid <= 0; ++attempt) {
    if (!Launch()) {
      Stop();
    }
  }
  if (Pid <= 0 && Failure.empty()) {
    Failure = "vsftpd did not start; see its log";
  }
}

VsftpdServer::~VsftpdServer() {
  Stop();
}

std::string VsftpdServer::Log() const {
  return ReadFileBytes(BaseDir / "vsftpd.log");
}

std::uint16_t VsftpdServer::UnusedPort() {
  return FreePort();
}

std::string VsftpdServer::Address() const {
  return "127.0.0.1:" + std::to_string(ListenPort);
}

void VsftpdServer::Share(const std::filesystem::path& path) const {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::all, ignored);
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::all, ignored);
    }
  }
}

bool VsftpdServer::Launch() {
  ListenPort = Options.Port != 0 ? Options.Port : FreePort();
  const std::filesystem::path config = BaseDir / "vsftpd.conf";
  {
    std::ofstream out(config, std::ios::trunc);
    // Only what differs from vsftpd's built-in defaults, which are also what
    // the tests rely on: active and passive mode, anonymous sessions as the
    // package's ftp account, UTC listing times.
    out << "listen=YES\n"
        << "listen_address=127.0.0.1\n"
        << "listen_port=" << ListenPort << "\n"
        << "seccomp_sandbox=NO\n"
        << "anonymous_enable=YES\n"
        << "secure_email_list_enable=YES\n"
        << "email_password_file=" << (BaseDir / "passwords").string() << "\n"
        << "anon_root=" << RootDir.string() << "\n"
        << "write_enable=YES\n"
        << "anon_upload_enable=YES\n"
        << "anon_mkdir_write_enable=YES\n"
        << "anon_other_write_enable=YES\n"
        << "anon_world_readable_only=NO\n"
        << "anon_umask=022\n"
        << "secure_chroot_dir=" << (BaseDir / "empty").string() << "\n"
        << "delay_failed_login=0\n"
        << "max_login_fails=100\n"
        << "vsftpd_log_file=" << (BaseDir / "vsftpd.log").string() << "\n"
        << "utf8_filesystem=NO\n"
        << "ftpd_banner=Tavro test server\n"
        << "idle_session_timeout=120\n";
    if (Options.MaxRate != 0) {
      out << "anon_max_rate=" << Options.MaxRate << "\n";
    }
    if (Options.LogCommands) {
      out << "xferlog_enable=YES\n"
          << "log_ftp_protocol=YES\n";
    }
    if (!Options.Certificate.empty()) {
      out << "ssl_enable=YES\n"
          << "rsa_cert_file=" << Options.Certificate.string() << "\n"
          << "rsa_private_key_file=" << Options.Key.string() << "\n"
          << "allow_anon_ssl=YES\n"
          << "force_anon_logins_ssl=YES\n"
          << "force_anon_data_ssl=YES\n"
          << "ssl_request_cert=NO\n"
          // The built-in default names a cipher that OpenSSL 3 no longer offers.
          << "ssl_ciphers=HIGH\n"
          << "debug_ssl=YES\n";
    }
  }
  const std::string output = (BaseDir / "output.log").string();
  const int outputFd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  Pid = SpawnProcess({VsftpdBinary, config.string()}, outputFd, outputFd);
  ::close(outputFd);
  if (Pid <= 0) {
    Failure = "cannot start vsftpd";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(Pid, &status, WNOHANG) == Pid) {
      Pid = -1;  // exited: most likely the port was taken meanwhile
      return false;
    }
    if (Accepts(ListenPort)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void VsftpdServer::Stop() {
  if (Pid > 0) {
    EndProcessGroup(Pid, std::chrono::seconds(5));
    Pid = -1;
  }
}

}  // namespace tavro::test
