#include "ui/HostKeyQuestion.h"

#include "publish/RemoteSessions.h"
#include "sftp/SftpHostKeys.h"
#include "ui/MessageBoxes.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tavro {
namespace {

struct Probe {
  std::mutex Mutex;
  std::optional<HostKeyCheck> Key;
  bool Done = false;
};

}  // namespace

void AskAboutHostKey(QWidget* owner, const std::string& server, const std::string& knownHostsFile,
                     FtpTimeouts timeouts) {
  if (!SftpServerAddress(server)) {
    return;
  }
  const std::string file = knownHostsFile.empty() ? DefaultKnownHostsFile() : knownHostsFile;
  // The window keeps painting while the key comes; the probe's thread owns
  // its share of the result, so a window closed meanwhile costs nothing.
  auto probe = std::make_shared<Probe>();
  QEventLoop loop;
  QPointer<QEventLoop> waiting(&loop);
  std::thread([probe, server, file, timeouts, waiting] {
    std::string cause;
    auto key = ProbeHostKey(server, timeouts, file, cause);
    {
      std::lock_guard lock(probe->Mutex);
      probe->Key = std::move(key);
      probe->Done = true;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [waiting] {
          if (waiting) {
            waiting->quit();
          }
        },
        Qt::QueuedConnection);
  }).detach();
  for (;;) {
    {
      std::lock_guard lock(probe->Mutex);
      if (probe->Done) {
        break;
      }
    }
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  std::optional<HostKeyCheck> key;
  {
    std::lock_guard lock(probe->Mutex);
    key = probe->Key;
  }
  if (!key || key->Status == HostKeyCheck::Verdict::Known) {
    return;
  }
  const QString shown =
      QStringLiteral("種類: %1\n指紋: %2")
          .arg(QString::fromStdString(key->Type), QString::fromStdString(key->Fingerprint));
  if (key->Status == HostKeyCheck::Verdict::Changed) {
    MessageBoxes::Show(owner,
                       QStringLiteral("警告: サーバーのホスト鍵が登録済みの鍵と違います。\n\n%1\n\n"
                                      "別のサーバーがなりすましている恐れがあります。鍵は登録せず、"
                                      "このサーバーには接続しません。サーバーの鍵が本当に"
                                      "変わったときは、%2 からこのサーバーの行を消してください。")
                           .arg(shown, QString::fromStdString(file)),
                       MB_OK | MB_ICONWARNING);
    return;
  }
  const int answer = MessageBoxes::Show(
      owner,
      QStringLiteral("このサーバーのホスト鍵はまだ登録されていません。\n\n%1\n\n"
                     "サーバーの管理者が示す指紋と同じなら、この鍵を登録して接続できます。"
                     "登録しますか？")
          .arg(shown),
      MB_YESNO | MB_ICONQUESTION);
  if (answer != IDYES) {
    return;
  }
  std::string cause;
  if (!AcceptHostKey(file, *key, cause)) {
    MessageBoxes::Show(
        owner,
        QStringLiteral("ホスト鍵を登録できませんでした。\n%1").arg(QString::fromStdString(cause)),
        MB_OK | MB_ICONWARNING);
  }
}

}  // namespace tavro
