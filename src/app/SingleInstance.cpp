#include "app/SingleInstance.h"

#include "registry/RegFileStorage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace tavro {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The one request and its answer, each a line.
constexpr char kRequest[] = "show";
constexpr char kReply[] = "shown\n";
// A peer gets this long to send its request and this many bytes for it.
constexpr int kRequestWaitMs = 2000;
constexpr qsizetype kMaxRequest = 64;
// A connect finds a listener at once or not at all; a reply comes as soon as
// the first start's event loop runs, but it may be busy for a moment.
constexpr milliseconds kConnectWait{1000};
constexpr milliseconds kReplyWait{3000};
constexpr milliseconds kRetryPause{50};
// sockaddr_un holds 108 bytes with the terminating NUL.
constexpr std::size_t kMaxSocketPath = 100;

bool IsOwnFolder(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

// In the user's runtime folder, which only the user can enter, where there
// is one; otherwise in the temporary folder, named with the user's id.
QString SocketName(const std::filesystem::path& folder) {
  std::error_code ignored;
  const auto canonical = std::filesystem::weakly_canonical(folder, ignored);
  const std::string key =
      std::to_string(::geteuid()) + '\n' + (canonical.empty() ? folder : canonical).string();
  const QString name = QStringLiteral("tavro-") +
                       QString::fromLatin1(QCryptographicHash::hash(QByteArray::fromStdString(key),
                                                                    QCryptographicHash::Sha256)
                                               .toHex()
                                               .left(32));
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  for (const QString& place : {runtime != nullptr && runtime[0] == '/' && IsOwnFolder(runtime)
                                   ? QString::fromLocal8Bit(runtime)
                                   : QString(),
                               QDir::tempPath(), QStringLiteral("/tmp")}) {
    const QString path = place + QLatin1Char('/') + name;
    if (!place.isEmpty() && std::size_t(path.toLocal8Bit().size()) <= kMaxSocketPath) {
      return path;
    }
  }
  return {};
}

// Only a socket of this user is asked: in a shared temporary folder another
// user could have put one of that name.
bool IsOwnSocket(const QString& path) {
  struct stat info {};
  return ::lstat(path.toLocal8Bit().constData(), &info) == 0 && S_ISSOCK(info.st_mode) &&
         info.st_uid == ::geteuid();
}

void Serve(QLocalSocket* peer, const std::function<void()>& onShow) {
  QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
  // A peer that says nothing, or too much, is not waited for.
  QTimer::singleShot(kRequestWaitMs, peer, [peer] { peer->abort(); });
  auto request = std::make_shared<QByteArray>();
  QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer, request, onShow] {
    request->append(peer->read(kMaxRequest + 1 - request->size()));
    const qsizetype end = request->indexOf('\n');
    if (end < 0) {
      if (request->size() > kMaxRequest) {
        peer->abort();
      }
      return;
    }
    if (request->left(end) != kRequest) {
      peer->abort();
      return;
    }
    onShow();
    peer->write(kReply);
    peer->disconnectFromServer();  // once the reply is out
  });
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path settingsFile, milliseconds patience)
    : File(std::move(settingsFile)), Patience(patience) {
  if (!File.empty()) {
    Lock = File.parent_path() / "Tavro.instance.lock";
    Name = SocketName(File.parent_path());
  }
}

SingleInstance::~SingleInstance() {
  Release();
}

bool SingleInstance::TryLock() {
  if (!LockFileHeld) {
    LockFileHeld = std::make_unique<QLockFile>(QString::fromStdString(Lock.string()));
    // Never by age: a first start runs for weeks. A lock is taken over only
    // once its holder is gone (the lock file's own lock, which the system
    // drops with the process, decides that).
    LockFileHeld->setStaleLockTime(0);
  }
  return LockFileHeld->tryLock(0);
}

SingleInstance::Answer SingleInstance::AskToShow(milliseconds wait) const {
  if (Name.isEmpty() || !IsOwnSocket(Name)) {
    return Answer::NotListening;
  }
  const auto deadline = Clock::now() + wait;
  auto left = [&deadline] {
    return int(std::max<std::int64_t>(
        0, std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count()));
  };
  QLocalSocket socket;
  socket.connectToServer(Name);
  if (!socket.waitForConnected(std::min(left(), int(kConnectWait.count())))) {
    return Answer::NotListening;
  }
  socket.write(kRequest);
  socket.write("\n");
  if (!socket.waitForBytesWritten(left())) {
    return Answer::NoReply;
  }
  QByteArray reply;
  while (!reply.contains('\n')) {
    if (!socket.waitForReadyRead(left())) {
      return Answer::NoReply;
    }
    reply.append(socket.read(qsizetype(sizeof kReply) - reply.size()));
    if (reply.size() >= qsizetype(sizeof kReply)) {
      return Answer::NoReply;  // longer than the reply: not ours
    }
  }
  return reply == kReply ? Answer::Shown : Answer::NoReply;
}

std::optional<int> SingleInstance::ClaimOrHandOver() {
  // The lock lives in the settings folder, which the first start makes.
  if (File.empty() || !RegFileStorage(File).EnsureFolder()) {
    return std::nullopt;
  }
  const auto deadline = Clock::now() + Patience;
  for (;;) {
    if (TryLock()) {
      return std::nullopt;
    }
    if (LockFileHeld->error() != QLockFile::LockFailedError) {
      LockFileHeld.reset();
      return std::nullopt;  // no lock to be had: run as without one
    }
    // Held: the holder may not be listening yet, or may be on its way out,
    // in which case the lock comes free.
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (AskToShow(std::clamp(left, milliseconds(0), kReplyWait)) == Answer::Shown) {
      std::fprintf(stderr, "tavro: already running with the settings in %s; showing its window\n",
                   File.parent_path().c_str());
      return 0;
    }
    if (Clock::now() >= deadline) {
      std::fprintf(stderr,
                   "tavro: already running with the settings in %s, but it does not answer\n",
                   File.parent_path().c_str());
      return 1;
    }
    std::this_thread::sleep_for(kRetryPause);
  }
}

bool SingleInstance::Listen(std::function<void()> onShow) {
  if (!LockFileHeld || !LockFileHeld->isLocked() || Name.isEmpty()) {
    return false;
  }
  // Holding the lock, a socket file of that name is one a killed first
  // start left: nobody answers on it.
  QLocalServer::removeServer(Name);
  Server = std::make_unique<QLocalServer>();
  Server->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer* server = Server.get();
  QObject::connect(server, &QLocalServer::newConnection, server, [server, onShow] {
    while (QLocalSocket* peer = server->nextPendingConnection()) {
      Serve(peer, onShow);
    }
  });
  if (!Server->listen(Name)) {
    Server.reset();
    return false;
  }
  return true;
}

void SingleInstance::StopListening() {
  Server.reset();
}

void SingleInstance::Release() {
  StopListening();
  if (LockFileHeld) {
    LockFileHeld->unlock();
    LockFileHeld.reset();
  }
}

}  // namespace tavro
