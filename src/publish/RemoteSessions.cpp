#include "publish/RemoteSessions.h"

#include "ftp/FtpSession.h"
#include "registry/RegistryStore.h"
#include "sftp/SftpModule.h"

namespace tavro {

std::string DefaultKnownHostsFile() {
  return (DefaultRegistryFilePath().parent_path() / "known_hosts").string();
}

std::unique_ptr<RemoteSession> MakeRemoteSession(
    std::string_view server, const FtpTimeouts& timeouts, const std::string& knownHostsFile,
    std::function<void(const std::string&)> strangerNotice) {
  if (SftpServerAddress(server)) {
    return MakeSftpSession(timeouts,
                           knownHostsFile.empty() ? DefaultKnownHostsFile() : knownHostsFile);
  }
  auto ftp = std::make_unique<FtpSession>(timeouts);
  if (strangerNotice) {
    ftp->SetStrangerNotice(std::move(strangerNotice));
  }
  return ftp;
}

std::optional<std::string> HostKeyRefusalText(const RemoteSession& session) {
  const HostKeyCheck* refused = RefusedHostKeyOf(session);
  if (refused == nullptr) {
    return std::nullopt;
  }
  const HostKeyCheck& key = *refused;
  const std::string shown = key.Type + " " + key.Fingerprint;
  if (key.Status == HostKeyCheck::Verdict::Changed) {
    return "Err: 警告: サーバーのホスト鍵が登録済みの鍵と違います: " + shown +
           " 別のサーバーがなりすましている恐れがあるため、パスワードを送らずに切断しました。";
  }
  return "Err: サーバーのホスト鍵が未登録のため、パスワードを送らずに切断しました: " + shown +
         " 設定ダイアログのOKかFTPブラウザの接続で指紋を確かめて登録してください。";
}

}  // namespace tavro
