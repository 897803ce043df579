#include "publish/ImmediateUnpublish.h"

#include "ftp/FtpSession.h"

namespace tavro {

bool UnpublishNow(std::string_view server, std::string_view user, std::string_view password,
                  const std::string& offlineFile, std::string_view ftpFile,
                  const FtpTimeouts& timeouts, std::string* cause) {
  FtpSession session(timeouts);
  const bool done = session.Open(server, user, password) && session.Delete(ftpFile) &&
                    session.Upload(offlineFile, ftpFile);
  if (!done && cause != nullptr) {
    *cause = session.LastCause();
  }
  session.Close();
  return done;
}

}  // namespace tavro
