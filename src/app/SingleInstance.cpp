#include "app/SingleInstance.h"

#include "registry/RegFileStorage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLockFile>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

bool ToAddress(const QString& path, sockaddr_un& address) {
  const QByteArray bytes = path.toLocal8Bit();
  if (bytes.isEmpty() || std::size_t(bytes.size()) >= sizeof address.sun_path) {
    return false;
  }
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, bytes.constData(), std::size_t(bytes.size()));
  return true;
}

// Waits for `events` on `fd` for at most `wait`; false on time-out or error.
bool Await(int fd, short events, milliseconds wait) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int n = ::poll(&entry, 1, int(std::max<std::int64_t>(0, wait.count())));
    if (n >= 0 || errno != EINTR) {
      return n > 0;
    }
  }
}

class Descriptor {
public:
  explicit Descriptor(int fd = -1) : Fd(fd) {}
  ~Descriptor() {
    if (Fd >= 0) {
      ::close(Fd);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return Fd; }

private:
  int Fd;
};

}  // namespace

// Answers each peer on the thread of the application object; a peer that
// says nothing, or too much, is not waited for.
class SingleInstance::Listener {
public:
  Listener(int fd, QString path, std::function<void()> onShow)
      : Fd(fd), Path(path.toLocal8Bit()), OnShow(std::move(onShow)),
        Incoming(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read)) {
    QObject::connect(Incoming.get(), &QSocketNotifier::activated, &Context, [this] { Accept(); });
  }
  ~Listener() {
    Incoming.reset();
    for (auto& [fd, peer] : Peers) {
      peer.Notifier.reset();
      ::close(fd);
    }
    ::close(Fd);
    ::unlink(Path.constData());
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

private:
  struct Peer {
    QByteArray Request;
    std::unique_ptr<QSocketNotifier> Notifier;
    std::unique_ptr<QTimer> Patience;
    bool Done = false;
  };

  void Accept() {
    for (;;) {
      const int fd = ::accept4(Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        return;  // none left, or one that went away before it was taken
      }
      Peer& peer = Peers[fd];
      peer.Notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
      QObject::connect(peer.Notifier.get(), &QSocketNotifier::activated, &Context,
                       [this, fd] { Read(fd); });
      peer.Patience = std::make_unique<QTimer>();
      peer.Patience->setSingleShot(true);
      QObject::connect(peer.Patience.get(), &QTimer::timeout, &Context, [this, fd] { Drop(fd); });
      peer.Patience->start(kRequestWaitMs);
    }
  }

  void Read(int fd) {
    Peer& peer = Peers[fd];
    if (peer.Done) {
      return;
    }
    char buffer[kMaxRequest + 1];
    const ssize_t n = ::recv(fd, buffer, std::size_t(kMaxRequest + 1 - peer.Request.size()), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return;
    }
    if (n <= 0) {
      Drop(fd);  // gone before it asked
      return;
    }
    peer.Request.append(buffer, qsizetype(n));
    const qsizetype end = peer.Request.indexOf('\n');
    if (end < 0) {
      if (peer.Request.size() > kMaxRequest) {
        Drop(fd);
      }
      return;
    }
    if (peer.Request.left(end) == kRequest) {
      OnShow();
      // A fresh socket's buffer takes the few bytes at once; a peer that has
      // gone meanwhile is no reason for a signal.
      (void)::send(fd, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
    }
    Drop(fd);
  }

  // Later: the peer's notifier or timer may be the one calling. Its number
  // stays taken until then, so no new peer gets it meanwhile.
  void Drop(int fd) {
    Peer& peer = Peers[fd];
    if (peer.Done) {
      return;
    }
    peer.Done = true;
    peer.Notifier->setEnabled(false);
    peer.Patience->stop();
    QTimer::singleShot(0, &Context, [this, fd] {
      Peers.erase(fd);
      ::close(fd);
    });
  }

  const int Fd;
  const QByteArray Path;
  const std::function<void()> OnShow;
  QObject Context;  // what the signals run in; gone first, with them
  std::unique_ptr<QSocketNotifier> Incoming;
  std::map<int, Peer> Peers;
};

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
  sockaddr_un address{};
  if (Name.isEmpty() || !IsOwnSocket(Name) || !ToAddress(Name, address)) {
    return Answer::NotListening;
  }
  const auto deadline = Clock::now() + wait;
  auto left = [&deadline] {
    return std::max(milliseconds(0),
                    std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
  };
  const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket.Get() < 0) {
    return Answer::NotListening;
  }
  // A listener takes the connection at once; one whose backlog is full
  // takes it once it has accepted the others.
  if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    if (error == EAGAIN || error == EINPROGRESS) {
      socklen_t size = sizeof error;
      error = Await(socket.Get(), POLLOUT, std::min(left(), kConnectWait)) &&
                      ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0
                  ? error
                  : ETIMEDOUT;
    }
    if (error != 0) {
      return Answer::NotListening;
    }
  }
  const std::string request = std::string(kRequest) + '\n';
  if (!Await(socket.Get(), POLLOUT, left()) ||
      ::send(socket.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
          ssize_t(request.size())) {
    return Answer::NoReply;
  }
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    if (!Await(socket.Get(), POLLIN, left())) {
      return Answer::NoReply;
    }
    char buffer[sizeof kReply];
    const ssize_t n = ::recv(socket.Get(), buffer, sizeof kReply - reply.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      return Answer::NoReply;
    }
    reply.append(buffer, std::size_t(n));
    if (reply.size() >= sizeof kReply) {
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
  sockaddr_un address{};
  if (!LockFileHeld || !LockFileHeld->isLocked() || !ToAddress(Name, address)) {
    return false;
  }
  // Holding the lock, a socket file of that name is one a killed first
  // start left: nobody answers on it.
  ::unlink(address.sun_path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  // Only the user may connect, wherever the socket is.
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(address.sun_path, S_IRUSR | S_IWUSR) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    ::close(fd);
    ::unlink(address.sun_path);
    return false;
  }
  Server = std::make_unique<Listener>(fd, Name, std::move(onShow));
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
