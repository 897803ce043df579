// Which session a server text asks for: "sftp://..." an SFTP session, any
// other FTP (plain, or over TLS for "ftpes://..."). The worker and the
// unpublish on the way out make their sessions here, so that both speak the
// same protocol to the same server text.
#pragma once

#include "ftp/RemoteSession.h"
#include "platform/Timeouts.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// The known hosts of SFTP servers, beside the settings file.
std::string DefaultKnownHostsFile();

// strangerNotice: FTP's notice of a data connection from another address
// (SFTP has no data connections). An empty knownHostsFile means the default.
std::unique_ptr<RemoteSession> MakeRemoteSession(
    std::string_view server, const FtpTimeouts& timeouts, const std::string& knownHostsFile,
    std::function<void(const std::string&)> strangerNotice = {});

// After an Open that failed: the log line that says the server's host key
// was refused and why, with its type and fingerprint; nullopt where the host
// key was not the reason.
std::optional<std::string> HostKeyRefusalText(const RemoteSession& session);

}  // namespace tavro
