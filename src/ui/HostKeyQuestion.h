// The one question about an SFTP server's host key: asked where the owner
// names the server (the settings dialog's OK, the FTP browser's connect), so
// that publishing, which runs unattended, never has to. The key is fetched
// off the window's thread (a server may take the whole time-out) and kept
// beside the settings only on Yes, after its fingerprint was shown.
#pragma once

#include "platform/Timeouts.h"

#include <QWidget>

#include <string>

namespace tavro {

// For a server text other than "sftp://...", and for a key already kept,
// asks nothing. A server that cannot be reached is left to the worker's log.
// A changed key gets a warning and is not kept. knownHostsFile empty: the
// file beside the settings.
void AskAboutHostKey(QWidget* owner, const std::string& server,
                     const std::string& knownHostsFile = {}, FtpTimeouts timeouts = {});

}  // namespace tavro
