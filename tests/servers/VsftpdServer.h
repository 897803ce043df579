// A real vsftpd for the FTP tests: a private configuration, its own temporary
// root, 127.0.0.1 on a free port, stopped (with every session process) by the
// destructor. It never reads the system's configuration.
//
// The account is the anonymous one, held to a password list: only "anonymous"
// (or "ftp") with Password logs on, so a wrong password is really refused, and
// no system account has to be made. vsftpd never lets an anonymous session
// write into its root, so the writable folder is "/pub": uploads, renames,
// removals and new directories go there.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tavro::test {

struct VsftpdOptions {
  // With a certificate: TLS is required for the log-on and every transfer,
  // and data connections must resume the control connection's TLS session
  // (vsftpd's default).
  std::filesystem::path Certificate;
  std::filesystem::path Key;
  // Every command and reply goes to the log that Log() reads back.
  bool LogCommands = false;
  // 0: a free port of its own. A test that needs a server to appear where a
  // client already failed to connect names the port.
  std::uint16_t Port = 0;
  // Bytes per second for each transfer; 0 for no limit. Slows an upload
  // down enough for a test to act in the middle of it.
  unsigned MaxRate = 0;
};

class VsftpdServer {
public:
  static constexpr const char* User = "anonymous";
  static constexpr const char* Password = "tavro-secret";

  explicit VsftpdServer(VsftpdOptions options = {});
  ~VsftpdServer();
  VsftpdServer(const VsftpdServer&) = delete;
  VsftpdServer& operator=(const VsftpdServer&) = delete;

  // False with a reason in Error() where vsftpd could not be started.
  bool Started() const { return Pid > 0; }
  const std::string& Error() const { return Failure; }

  // A port nobody listens on now, for a server started there later.
  static std::uint16_t UnusedPort();
  // "127.0.0.1:port", the server text CFtpThread takes.
  std::string Address() const;
  // The local folder that the server shows as "/pub", writable by a session.
  const std::filesystem::path& Pub() const { return PubDir; }
  // Makes a file or folder under Pub() writable by the server's session user.
  void Share(const std::filesystem::path& path) const;
  // The server's log: its TLS errors and, with LogCommands, the dialogue.
  std::string Log() const;

private:
  bool Launch();
  void Stop();

  TempDir BaseDir{"tavro-vsftpd"};
  std::filesystem::path RootDir;
  std::filesystem::path PubDir;
  std::uint16_t ListenPort = 0;
  pid_t Pid = -1;
  std::string Failure;
  VsftpdOptions Options;
};

}  // namespace tavro::test
