// The SFTP code (libssh, and through it libcrypto and Kerberos) as a table of
// functions, so that the windowed program loads it the first time a server
// asks for SFTP, as it does the TLS code: linked in, those libraries would
// cost every start memory. The tests, fuzzers and benchmarks link the same
// functions directly.
#pragma once

#include "ftp/RemoteSession.h"
#include "platform/Timeouts.h"
#include "sftp/SftpHostKeys.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// What the rest of the program asks of the SFTP code. Where the module
// cannot be loaded, the session fails Open and the probe fails, each with a
// cause that says so.
std::unique_ptr<RemoteSession> MakeSftpSession(const FtpTimeouts& timeouts,
                                               const std::string& knownHostsFile);
// The key an SFTP session refused at its last Open; null for any other
// session, and where none was refused.
const HostKeyCheck* RefusedHostKeyOf(const RemoteSession& session);

// Bumped whenever a member changes, so that a module of another build is
// refused rather than called wrongly.
inline constexpr int kSftpFunctionsVersion = 1;

struct SftpFunctions {
  int Version;
  // Made inside the module; its virtual destructor frees it there too.
  RemoteSession* (*MakeSession)(const FtpTimeouts& timeouts, const std::string& knownHostsFile);
  const HostKeyCheck* (*RefusedHostKey)(const RemoteSession& session);
  std::optional<HostKeyCheck> (*ProbeHostKey)(std::string_view server, const FtpTimeouts& timeouts,
                                              const std::string& knownHostsFile,
                                              std::string& cause);
  bool (*AcceptHostKey)(const std::string& knownHostsFile, const HostKeyCheck& key,
                        std::string& cause);
};

inline constexpr char kSftpFunctionsSymbol[] = "tavro_sftp_functions";

}  // namespace tavro

extern "C" const tavro::SftpFunctions* tavro_sftp_functions();
