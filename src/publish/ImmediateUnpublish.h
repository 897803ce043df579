// The unpublish on the way out of the program: the FTP worker has already been
// told to stop, so the offline page goes up at once on the calling thread over
// a connection of its own.
#pragma once

#include "platform/Timeouts.h"

#include <string>
#include <string_view>

namespace tavro {

// Logs on to `server` (any server text the worker takes: FTP, "ftpes://",
// "sftp://"; SFTP hosts must be in knownHostsFile, empty for the one beside
// the settings) and replaces
// ftpFile with offlineFile, unchanged, by a temporary name and a rename
// (ReplaceRemoteFile), so that a visitor sees the online page or the offline
// one, whole. True on success; false on any failure, where the attempt ends
// at the failing step. In particular a remote file that does not exist (SIZE
// says so, or, on a server without SIZE, it cannot be deleted) means nothing
// is uploaded: a wrong FtpFile setting must not plant a file somewhere new on
// the server while the program is closing. Every network wait is bounded by
// `timeouts`. Where it fails and `cause` is given, *cause says why
// (the session's LastCause of the step that failed).
bool UnpublishNow(std::string_view server, std::string_view user, std::string_view password,
                  const std::string& offlineFile, std::string_view ftpFile,
                  const FtpTimeouts& timeouts = {}, std::string* cause = nullptr,
                  const std::string& knownHostsFile = {});

}  // namespace tavro
