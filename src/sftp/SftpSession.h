// One SFTP session over SSH (libssh), for servers that offer no FTP: the same
// operations, results, causes and listing entries as FtpSession, so the worker
// and the page replacement run unchanged on it.
//
// The server's host key must be in the known hosts file the session is given
// (OpenSSH's known_hosts format) before anything about the owner goes out: a
// key seen for the first time, or one that differs from the key kept for that
// host, fails Open right after the key exchange, before the user name and
// password are sent. RefusedHostKey then says which key the server showed, so
// that the owner can compare its fingerprint and accept it (AcceptHostKey).
//
// Every step waits at most one reply time-out: the connection and key
// exchange together, each round of the log-on, each request of a transfer or
// a listing. After a time-out or a broken connection the session closes
// itself, as FtpSession does. Names are UTF-8; bytes that are no valid UTF-8
// go through the codec's private-use characters and back unchanged.
#pragma once

#include "ftp/RemoteSession.h"
#include "platform/Timeouts.h"
#include "sftp/SftpHostKeys.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

class SftpSession final : public RemoteSession {
public:
  SftpSession(FtpTimeouts timeouts, std::string knownHostsFile);
  ~SftpSession() override;
  SftpSession(const SftpSession&) = delete;
  SftpSession& operator=(const SftpSession&) = delete;

  // Open takes "sftp://host[:port]" (see SftpServerAddress) or the bare
  // address part.
  bool Open(std::string_view server, std::string_view user, std::string_view password) override;
  bool IsOpen() const override;
  void Close() override;

  const FtpTextCodec& Codec() const override { return TextCodec; }
  const std::string& LastCause() const override { return Cause; }

  // After an Open that the host key stopped: the key and why; else nullopt.
  const std::optional<HostKeyCheck>& RefusedHostKey() const { return Refused; }

  bool ChangeDirectory(std::string_view path) override;
  std::optional<std::string> CurrentDirectory() override;
  std::optional<std::size_t> List(std::string_view path,
                                  const std::function<void(const FtpEntry&)>& onEntry) override;
  bool Download(std::string_view remoteFile, const std::string& localFile,
                bool replaceExisting) override;
  bool Upload(const std::string& localFile, std::string_view remoteFile) override;
  bool Delete(std::string_view path) override;
  std::optional<bool> FileExists(std::string_view path) override;
  bool Rename(std::string_view from, std::string_view to) override;
  RenameResult TryRename(std::string_view from, std::string_view to) override;
  bool RemoveDirectory(std::string_view path) override;
  bool CreateDirectory(std::string_view path) override;

private:
  struct Connection;
  class Step;

  // The path on the server for a program text: absolute, or relative to the
  // session's folder; nullopt (cause set) where it cannot be sent.
  std::optional<std::string> RemotePath(std::string_view path);
  // After a request failed: a refusal by the server keeps the session, any
  // other failure (time-out, broken connection) closes it. The cause is set
  // either way.
  // release frees what the request left open (a file, a folder), after the
  // connection is gone where it broke.
  void Failed(std::chrono::steady_clock::time_point started,
              const std::function<void()>& release = {});
  bool Closed();
  // Runs one request under the watchdog of the connection.
  template <typename Request>
  auto Guarded(Request&& request);
  void Fail(std::string_view cause);
  void Abandon();

  FtpTimeouts Timeouts;
  std::string KnownHostsFile;
  FtpTextCodec TextCodec{FtpTextEncoding::Utf8};
  std::unique_ptr<Connection> Link;
  std::string Folder;  // the session's folder, absolute, as the server names it
  std::string Cause;
  std::string ClosedBecause;
  std::optional<HostKeyCheck> Refused;
};

}  // namespace tavro
