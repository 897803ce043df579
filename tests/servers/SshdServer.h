// A real OpenSSH sshd for the SFTP tests: a private configuration and host key
// made at start, 127.0.0.1 on a free port, SFTP only (internal-sftp), stopped
// by the destructor with every session process. It never reads the system's
// sshd configuration or host keys.
//
// The password has to be checked against a real account, so the fixture makes
// one of its own with a random password and removes it again; that needs
// root. The sessions are locked into a chroot whose writable folder is "/pub",
// as with the vsftpd fixture, and the session starts there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tavro::test {

struct SshdOptions {
  // Passwords through keyboard-interactive prompts (PAM) instead of the
  // password method.
  bool KeyboardInteractive = false;
  // 0: a free port of its own.
  std::uint16_t Port = 0;
  // A public key that may log on as the account too, for OpenSSH's own
  // client, which takes no password in batch mode.
  std::filesystem::path AuthorizedKey;
};

class SshdServer {
public:
  explicit SshdServer(SshdOptions options = {});
  ~SshdServer();
  SshdServer(const SshdServer&) = delete;
  SshdServer& operator=(const SshdServer&) = delete;

  bool Started() const { return Pid > 0; }
  const std::string& Error() const { return Failure; }

  // "sftp://127.0.0.1:port", the server text CFtpThread takes.
  std::string Address() const;
  std::uint16_t Port() const { return ListenPort; }
  const std::string& User() const { return Account; }
  const std::string& Password() const { return Secret; }
  // The local folder that the sessions see as "/pub".
  const std::filesystem::path& Pub() const { return PubDir; }
  // Hands a file or folder made under Pub() to the session's account.
  void Share(const std::filesystem::path& path) const;
  // The server's host key as a known_hosts line for this address.
  std::string KnownHostsLine() const;
  // The host key's fingerprint as ssh-keygen shows it ("SHA256:...").
  std::string Fingerprint() const;
  // The same address with another, freshly made key: a server whose key
  // changed.
  std::string ForeignKnownHostsLine() const;
  // sshd's log (its DEBUG1 level: every log-on request shows).
  std::string Log() const;
  // Stops and resumes every process of the server, for a server that stalls
  // in the middle of a session.
  void Pause() const;
  void Resume() const;

private:
  bool Launch();
  void Stop();

  std::filesystem::path BaseDir;
  std::filesystem::path RootDir;
  std::filesystem::path PubDir;
  std::string Account;
  std::string Secret;
  uid_t AccountUid = 0;
  gid_t AccountGid = 0;
  std::uint16_t ListenPort = 0;
  pid_t Pid = -1;
  std::string Failure;
  SshdOptions Options;
};

}  // namespace tavro::test
