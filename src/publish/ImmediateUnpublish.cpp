#include "publish/ImmediateUnpublish.h"

#include "ftp/FtpReplace.h"
#include "ftp/RemoteSession.h"
#include "publish/RemoteSessions.h"

namespace tavro {

bool UnpublishNow(std::string_view server, std::string_view user, std::string_view password,
                  const std::string& offlineFile, std::string_view ftpFile,
                  const FtpTimeouts& timeouts, std::string* cause,
                  const std::string& knownHostsFile) {
  const auto connection = MakeRemoteSession(server, timeouts, knownHostsFile);
  RemoteSession& session = *connection;
  std::string why;
  bool done = session.Open(server, user, password);
  if (!done) {
    why = session.LastCause();
  } else {
    // The program is closing: no listing for left-overs, which the next
    // publish sweeps.
    ReplaceOptions options;
    options.TargetMustExist = true;
    options.SweepLeftovers = false;
    done = ReplaceRemoteFile(session, offlineFile, ftpFile, options, why);
  }
  if (!done && cause != nullptr) {
    *cause = why;
  }
  session.Close();
  return done;
}

}  // namespace tavro
