// The loadable SFTP module's table: the very functions the tests link.
#include "sftp/SftpModule.h"

namespace {

tavro::RemoteSession* MakeSession(const tavro::FtpTimeouts& timeouts,
                                  const std::string& knownHostsFile) {
  return tavro::MakeSftpSession(timeouts, knownHostsFile).release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const tavro::SftpFunctions*
tavro_sftp_functions() {
  static const tavro::SftpFunctions table = {
      tavro::kSftpFunctionsVersion, &MakeSession,           &tavro::RefusedHostKeyOf,
      &tavro::ProbeHostKey,         &tavro::AcceptHostKey,
  };
  return &table;
}
