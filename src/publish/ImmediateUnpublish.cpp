#include "publish/ImmediateUnpublish.h"

#include "ftp/FtpSession.h"

namespace tavro {

bool UnpublishNow(std::string_view server, std::string_view user, std::string_view password,
                  const std::string& offlineFile, std::string_view ftpFile,
                  const FtpTimeouts& timeouts) {
  FtpSession session(timeouts);
  if (!session.Open(server, user, password)) {
    return false;
  }
  const bool done = session.Delete(ftpFile) && session.Upload(offlineFile, ftpFile);
  session.Close();
  return done;
}

}  // namespace tavro
