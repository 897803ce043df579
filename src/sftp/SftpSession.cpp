#include "sftp/SftpSession.h"
#include "sftp/SftpModule.h"

#include "ftp/FtpSession.h"
#include "ftp/PartialFile.h"
#include "platform/AsciiText.h"
#include "platform/CauseLine.h"
#include "platform/PosixIo.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tavro {
namespace {

// One request's worth of a transfer. OpenSSH's server takes writes of up to
// 256 KiB; each write waits for its answer, so larger pieces mean fewer
// round trips.
constexpr std::size_t WritePiece = 128 * 1024;
constexpr std::size_t ReadPiece = 64 * 1024;
// Keyboard-interactive rounds before the log-on is given up: a server that
// keeps asking is not asking for a password.
constexpr int MaxPromptRounds = 8;

using Clock = std::chrono::steady_clock;

std::string SystemError(int error) {
  return std::system_category().message(error);
}

std::string StatusText(int status) {
  switch (status) {
    case SSH_FX_EOF:
      return "end of file";
    case SSH_FX_NO_SUCH_FILE:
      return "No such file";
    case SSH_FX_PERMISSION_DENIED:
      return "Permission denied";
    case SSH_FX_OP_UNSUPPORTED:
      return "the server does not support this operation";
    case SSH_FX_INVALID_HANDLE:
      return "invalid handle";
    case SSH_FX_NO_SUCH_PATH:
      return "No such path";
    case SSH_FX_FILE_ALREADY_EXISTS:
      return "File exists";
    case SSH_FX_WRITE_PROTECT:
      return "the medium is write protected";
    default:
      return "the server refused (SFTP status " + std::to_string(status) + ")";
  }
}

// libssh's options take the time-out as seconds and microseconds.
void SetTimeout(ssh_session session, std::chrono::milliseconds timeout) {
  long seconds = static_cast<long>(timeout.count() / 1000);
  long micros = static_cast<long>((timeout.count() % 1000) * 1000);
  if (seconds == 0 && micros == 0) {
    micros = 1000;  // 0 would mean libssh's own default
  }
  ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds);
  ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &micros);
}

bool TimedOut(Clock::time_point started, std::chrono::milliseconds timeout) {
  // libssh reports a time-out in words that differ from step to step; a step
  // that failed after its whole time-out is taken for one.
  return Clock::now() - started >= timeout - std::chrono::milliseconds(50);
}

struct SessionDeleter {
  void operator()(ssh_session session) const { ssh_free(session); }
};
using SessionHandle = std::unique_ptr<ssh_session_struct, SessionDeleter>;

// The SSH connection up to the verified key exchange, shared by the session
// and the host key probe. nullopt, cause set, where it did not get that far.
struct Handshake {
  SessionHandle Session;
  HostKeyCheck Key;
};

std::optional<Handshake> ConnectAndTakeKey(std::string_view server, const FtpTimeouts& timeouts,
                                           const std::string& knownHostsFile, std::string& cause) {
  const std::string_view text = SftpServerAddress(server).value_or(server);
  const auto address = FtpSession::ParseServer(text, 22);
  if (!address) {
    cause = "no host name and port in the server text";
    return std::nullopt;
  }
  SessionHandle session(ssh_new());
  if (!session) {
    cause = "SSH cannot be set up";
    return std::nullopt;
  }
  ssh_session s = session.get();
  // Nothing from the user's own SSH set-up: no configuration files, no
  // other known hosts than Tavro's own, no agent or keys (only the password
  // is offered).
  int off = 0;
  int on = 1;
  unsigned int port = address->Port;
  ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &off);
  ssh_options_set(s, SSH_OPTIONS_HOST, address->Host.c_str());
  ssh_options_set(s, SSH_OPTIONS_PORT, &port);
  ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, knownHostsFile.c_str());
  ssh_options_set(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, knownHostsFile.c_str());
  ssh_options_set(s, SSH_OPTIONS_NODELAY, &on);
  SetTimeout(s, timeouts.Reply);

  const auto started = Clock::now();
  if (ssh_connect(s) != SSH_OK) {
    cause = TimedOut(started, timeouts.Reply) ? TimedOutCause(timeouts.Reply.count())
                                              : std::string(ssh_get_error(s));
    return std::nullopt;
  }
  Handshake done{std::move(session), {}};
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(s, &key) != SSH_OK) {
    cause = "the server showed no host key";
    ssh_disconnect(s);
    return std::nullopt;
  }
  unsigned char* hash = nullptr;
  std::size_t hashLength = 0;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) == 0) {
    char* fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength);
    if (fingerprint != nullptr) {
      done.Key.Fingerprint = fingerprint;
      ssh_string_free_char(fingerprint);
    }
    ssh_clean_pubkey_hash(&hash);
  }
  const char* type = ssh_key_type_to_char(ssh_key_type(key));
  done.Key.Type = type != nullptr ? type : "unknown";
  ssh_key_free(key);
  char* entry = nullptr;
  if (ssh_session_export_known_hosts_entry(s, &entry) == SSH_OK && entry != nullptr) {
    done.Key.Entry = entry;
    ssh_string_free_char(entry);
  }
  switch (ssh_session_is_known_server(s)) {
    case SSH_KNOWN_HOSTS_OK:
      done.Key.Status = HostKeyCheck::Verdict::Known;
      break;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
      // OTHER: a key of another type is kept for the host; a server that
      // suddenly offers only a new type is treated like a changed key.
      done.Key.Status = HostKeyCheck::Verdict::Changed;
      break;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      done.Key.Status = HostKeyCheck::Verdict::Unknown;
      break;
    case SSH_KNOWN_HOSTS_ERROR:
    default:
      cause = "the known hosts file cannot be read: " + knownHostsFile;
      ssh_disconnect(s);
      return std::nullopt;
  }
  return done;
}

std::string KeyText(const HostKeyCheck& key) {
  return key.Type + " " + key.Fingerprint;
}

}  // namespace

std::optional<HostKeyCheck> ProbeHostKey(std::string_view server, const FtpTimeouts& timeouts,
                                         const std::string& knownHostsFile, std::string& cause) {
  auto done = ConnectAndTakeKey(server, timeouts, knownHostsFile, cause);
  if (!done) {
    cause = BoundedCause(cause);
    return std::nullopt;
  }
  ssh_disconnect(done->Session.get());
  return done->Key;
}

bool AcceptHostKey(const std::string& knownHostsFile, const HostKeyCheck& key, std::string& cause) {
  if (key.Entry.empty() ||
      key.Entry.find_first_of(std::string_view("\r\0", 2)) != std::string::npos) {
    cause = "no known hosts line for the key";
    return false;
  }
  const auto slash = knownHostsFile.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    // Only the last folder; the settings' folder above it exists or is made
    // by the settings themselves.
    const std::string folder = knownHostsFile.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      cause = SystemError(errno);
      return false;
    }
  }
  const int fd =
      ::open(knownHostsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    cause = SystemError(errno);
    return false;
  }
  std::string line = key.Entry;
  if (line.back() != '\n') {
    line += '\n';
  }
  bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, line);
  if (!ok) {
    cause = SystemError(errno);
  }
  if (::close(fd) != 0 && ok) {
    cause = SystemError(errno);
    ok = false;
  }
  return ok;
}

// libssh's SFTP requests wait for their answer without end in blocking mode
// (a read that times out is simply tried again), so each request is watched
// from outside: one that outlasts its time-out has the connection shut down
// under it, which ends the wait with an error.
class Watchdog {
public:
  explicit Watchdog(int fd) : Fd(fd), Thread([this] { Run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(Mutex);
      Quit = true;
    }
    Wake.notify_all();
    Thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Arm(std::chrono::milliseconds timeout) {
    {
      std::lock_guard lock(Mutex);
      Deadline = Clock::now() + timeout;
      Armed = true;
    }
    Wake.notify_all();
  }
  void Disarm() {
    std::lock_guard lock(Mutex);
    Armed = false;
  }
  bool Fired() const {
    std::lock_guard lock(Mutex);
    return Expired;
  }

private:
  void Run() {
    std::unique_lock lock(Mutex);
    while (!Quit) {
      if (!Armed) {
        Wake.wait(lock);
        continue;
      }
      const auto deadline = Deadline;
      Wake.wait_until(lock, deadline);
      if (Armed && !Quit && Deadline == deadline && Clock::now() >= deadline) {
        ::shutdown(Fd, SHUT_RDWR);
        Expired = true;
        Armed = false;
      }
    }
  }

  const int Fd;
  mutable std::mutex Mutex;
  std::condition_variable Wake;
  Clock::time_point Deadline;
  bool Armed = false;
  bool Expired = false;
  bool Quit = false;
  std::thread Thread;
};

struct SftpSession::Connection {
  SessionHandle Session;
  sftp_session Sftp = nullptr;
  std::unique_ptr<Watchdog> Guard;

  // Makes every later read and write fail at once. libssh frees the SFTP
  // channel when it disconnects, so the SFTP side is let go of first (in the
  // destructor) and the connection is only cut here.
  void Sever() const { ::shutdown(ssh_get_fd(Session.get()), SHUT_RDWR); }

  ~Connection() {
    if (Sftp != nullptr) {
      sftp_free(Sftp);
    }
    Guard.reset();
    ssh_silent_disconnect(Session.get());
  }
  ssh_session Ssh() const { return Session.get(); }
  // A request's status starts from nothing, so that a failure with no status
  // of its own tells a broken connection from a refusal.
  void ClearStatus() const { Sftp->errnum = SSH_FX_OK; }
};

// One request to the server, bounded by the watchdog while it lives.
class SftpSession::Step {
public:
  Step(const SftpSession& session) : Dog(*session.Link->Guard) { Dog.Arm(session.Timeouts.Reply); }
  ~Step() { Dog.Disarm(); }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;

private:
  Watchdog& Dog;
};

template <typename Request>
auto SftpSession::Guarded(Request&& request) {
  const Step step(*this);
  return request();
}

SftpSession::SftpSession(FtpTimeouts timeouts, std::string knownHostsFile)
    : Timeouts(timeouts), KnownHostsFile(std::move(knownHostsFile)) {}

SftpSession::~SftpSession() {
  Close();
}

bool SftpSession::Open(std::string_view server, std::string_view user, std::string_view password) {
  Close();
  ClosedBecause.clear();
  Refused.reset();
  std::string why;
  auto done = ConnectAndTakeKey(server, Timeouts, KnownHostsFile, why);
  if (!done) {
    Fail(why);
    return false;
  }
  ssh_session s = done->Session.get();
  if (done->Key.Status != HostKeyCheck::Verdict::Known) {
    // Nothing about the owner has gone out yet, and nothing will.
    Fail(done->Key.Status == HostKeyCheck::Verdict::Changed
             ? "the server's host key differs from the one kept for it: " + KeyText(done->Key)
             : "the server's host key is not known yet: " + KeyText(done->Key));
    Refused = done->Key;
    ssh_disconnect(s);
    return false;
  }
  if (user.find('\0') != std::string_view::npos || password.find('\0') != std::string_view::npos) {
    Fail("the user name or password holds NUL");
    ssh_disconnect(s);
    return false;
  }
  const std::string userText(user);
  const std::string passwordText(password);
  ssh_options_set(s, SSH_OPTIONS_USER, userText.c_str());

  auto started = Clock::now();
  auto broken = [&] {
    Fail(TimedOut(started, Timeouts.Reply) ? TimedOutCause(Timeouts.Reply.count())
                                           : std::string(ssh_get_error(s)));
    ssh_silent_disconnect(s);
    return false;
  };
  int rc = ssh_userauth_none(s, nullptr);
  // A step that took its whole time-out timed out, whatever libssh says.
  if (rc == SSH_AUTH_ERROR || rc == SSH_AUTH_AGAIN || TimedOut(started, Timeouts.Reply)) {
    return broken();
  }
  if (rc != SSH_AUTH_SUCCESS) {
    const int methods = ssh_userauth_list(s, nullptr);
    if ((methods & SSH_AUTH_METHOD_PASSWORD) != 0) {
      started = Clock::now();
      rc = ssh_userauth_password(s, nullptr, passwordText.c_str());
    } else if ((methods & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
      started = Clock::now();
      rc = ssh_userauth_kbdint(s, nullptr, nullptr);
      for (int round = 0; rc == SSH_AUTH_INFO && round < MaxPromptRounds; ++round) {
        const int prompts = ssh_userauth_kbdint_getnprompts(s);
        for (int i = 0; i < prompts; ++i) {
          char echo = 0;
          ssh_userauth_kbdint_getprompt(s, static_cast<unsigned>(i), &echo);
          // A prompt shown as typed asks for something public: the name.
          ssh_userauth_kbdint_setanswer(s, static_cast<unsigned>(i),
                                        echo != 0 ? userText.c_str() : passwordText.c_str());
        }
        started = Clock::now();
        rc = ssh_userauth_kbdint(s, nullptr, nullptr);
      }
    } else {
      Fail("the server offers no log-on by password");
      ssh_disconnect(s);
      return false;
    }
  }
  if (rc == SSH_AUTH_ERROR || rc == SSH_AUTH_AGAIN ||
      (rc != SSH_AUTH_SUCCESS && TimedOut(started, Timeouts.Reply))) {
    return broken();
  }
  if (rc != SSH_AUTH_SUCCESS) {
    Fail(rc == SSH_AUTH_PARTIAL ? "the server asks for more than the password to log on"
                                : "the server refused the user name or password");
    ssh_disconnect(s);
    return false;
  }

  auto link = std::make_unique<Connection>();
  link->Session = std::move(done->Session);
  link->Guard = std::make_unique<Watchdog>(ssh_get_fd(s));
  started = Clock::now();
  link->Guard->Arm(Timeouts.Reply);
  link->Sftp = sftp_new(s);
  const bool ready = link->Sftp != nullptr && sftp_init(link->Sftp) == SSH_OK;
  link->Guard->Disarm();
  if (!ready) {
    const bool timedOut = link->Guard->Fired() || TimedOut(started, Timeouts.Reply);
    Fail(timedOut ? TimedOutCause(Timeouts.Reply.count())
                  : "the server offers no SFTP: " + std::string(ssh_get_error(s)));
    link->Sever();
    return false;
  }
  Link = std::move(link);
  // Where the server put the session: the home folder, or "/" in a chroot.
  started = Clock::now();
  char* home = nullptr;
  home = Guarded([&] { return sftp_canonicalize_path(Link->Sftp, "."); });
  if (home == nullptr) {
    Failed(started);
    if (Link) {
      Abandon();
    }
    return false;
  }
  Folder = home;
  ssh_string_free_char(home);
  return true;
}

bool SftpSession::IsOpen() const {
  return Link != nullptr;
}

void SftpSession::Close() {
  if (Link) {
    // The goodbye is bounded as well: a stalled server gets the connection
    // shut down instead.
    const Step step(*this);
    sftp_free(Link->Sftp);
    Link->Sftp = nullptr;
    ssh_disconnect(Link->Ssh());
  }
  Link.reset();
}

void SftpSession::Abandon() {
  // Closed at once: a stalled server would hold a polite goodbye too.
  ClosedBecause = Cause;
  Link->Sever();
  Link.reset();
}

void SftpSession::Fail(std::string_view cause) {
  Cause = BoundedCause(cause);
}

bool SftpSession::Closed() {
  if (Link) {
    Link->ClearStatus();
    return false;
  }
  Fail(ClosedBecause.empty() ? std::string("not connected")
                             : "the connection had closed: " + ClosedBecause);
  return true;
}

void SftpSession::Failed(Clock::time_point started, const std::function<void()>& release) {
  const int status = sftp_get_error(Link->Sftp);
  const bool connected = ssh_is_connected(Link->Ssh()) != 0;
  const bool timedOut = Link->Guard->Fired() || TimedOut(started, Timeouts.Reply);
  if (connected && !timedOut && status != SSH_FX_OK && status != SSH_FX_BAD_MESSAGE &&
      status != SSH_FX_NO_CONNECTION && status != SSH_FX_CONNECTION_LOST) {
    Fail(StatusText(status));
    if (release) {
      release();
    }
    return;
  }
  if (timedOut) {
    Fail(TimedOutCause(Timeouts.Reply.count()));
  } else {
    const char* error = ssh_get_error(Link->Ssh());
    Fail(error != nullptr && *error != '\0' ? std::string(error)
                                            : std::string("the server closed the connection"));
  }
  // Cut first, so that releasing a handle waits for nothing.
  Link->Sever();
  if (release) {
    release();
  }
  ClosedBecause = Cause;
  Link.reset();
}

std::optional<std::string> SftpSession::RemotePath(std::string_view path) {
  if (!TextCodec.ToWire(path)) {
    Fail("the name cannot be sent as UTF-8");
    return std::nullopt;
  }
  std::string wire = *TextCodec.ToWire(path);
  if (wire.find('\0') != std::string::npos) {
    Fail("the name holds NUL");
    return std::nullopt;
  }
  if (!wire.empty() && wire.front() == '/') {
    return wire;
  }
  if (wire.empty()) {
    return Folder;
  }
  return Folder + (!Folder.empty() && Folder.back() == '/' ? "" : "/") + wire;
}

bool SftpSession::ChangeDirectory(std::string_view path) {
  const auto remote = RemotePath(path);
  if (!remote || Closed()) {
    return false;
  }
  const auto started = Clock::now();
  char* canonical = Guarded([&] { return sftp_canonicalize_path(Link->Sftp, remote->c_str()); });
  if (canonical == nullptr) {
    Failed(started);
    return false;
  }
  const std::string target = canonical;
  ssh_string_free_char(canonical);
  sftp_attributes info = Guarded([&] { return sftp_stat(Link->Sftp, target.c_str()); });
  if (info == nullptr) {
    Failed(started);
    return false;
  }
  const bool folder = info->type == SSH_FILEXFER_TYPE_DIRECTORY;
  sftp_attributes_free(info);
  if (!folder) {
    Fail("Not a directory");
    return false;
  }
  Folder = target;
  return true;
}

std::optional<std::string> SftpSession::CurrentDirectory() {
  if (Closed()) {
    return std::nullopt;
  }
  return TextCodec.ToText(Folder);
}

std::optional<std::size_t> SftpSession::List(std::string_view path,
                                             const std::function<void(const FtpEntry&)>& onEntry) {
  const auto remote = RemotePath(path);
  if (!remote) {
    return 0;
  }
  if (Closed()) {
    return std::nullopt;
  }
  auto started = Clock::now();
  sftp_dir dir = Guarded([&] { return sftp_opendir(Link->Sftp, remote->c_str()); });
  if (dir == nullptr) {
    Failed(started);
    if (!Link) {
      return std::nullopt;
    }
    return 0;  // a folder that cannot be opened lists nothing
  }
  const auto deadline = Clock::now() + Timeouts.Listing();
  std::size_t count = 0;
  std::optional<std::string> cutOff;
  for (;;) {
    started = Clock::now();
    Link->ClearStatus();
    sftp_attributes attributes = Guarded([&] { return sftp_readdir(Link->Sftp, dir); });
    if (attributes == nullptr) {
      if (!sftp_dir_eof(dir)) {
        Failed(started, [&] { Guarded([&] { return sftp_closedir(dir); }); });
        if (!Link) {
          return std::nullopt;
        }
        // A refusal in the middle: the entries so far are not the folder.
        cutOff = Cause;
        dir = nullptr;
      }
      break;
    }
    FtpEntry entry;
    entry.Name = attributes->name != nullptr ? attributes->name : "";
    if (entry.IsDotEntry()) {
      // OpenSSH lists them, vsftpd does not: left out, an empty folder lists
      // nothing over either.
      sftp_attributes_free(attributes);
      continue;
    }
    entry.Attributes = attributes->type == SSH_FILEXFER_TYPE_DIRECTORY ? kFileAttributeDirectory
                                                                       : kFileAttributeNormal;
    entry.Size = attributes->size;
    entry.LastWriteTime = attributes->mtime;
    sftp_attributes_free(attributes);
    if (count == MaxListEntries) {
      cutOff = "more than " + std::to_string(MaxListEntries) + " entries";
      break;
    }
    ++count;
    onEntry(entry);
    if (Clock::now() > deadline) {
      cutOff = TimedOutCause(Timeouts.Listing().count());
      break;
    }
  }
  if (cutOff) {
    Fail(*cutOff);
    ClosedBecause = Cause;
    // The server may still be answering requests for the folder.
    Link->Sever();
    if (dir != nullptr) {
      Guarded([&] { return sftp_closedir(dir); });
    }
    Link.reset();
    return std::nullopt;
  }
  Guarded([&] { return sftp_closedir(dir); });
  return count;
}

bool SftpSession::Download(std::string_view remoteFile, const std::string& localFile,
                           bool replaceExisting) {
  const auto remote = RemotePath(remoteFile);
  if (!remote || Closed()) {
    return false;
  }
  std::string cause;
  const auto partial = OpenDownloadTarget(localFile, replaceExisting, cause);
  if (!partial) {
    Fail(cause);
    return false;
  }
  auto started = Clock::now();
  sftp_file file = Guarded([&] { return sftp_open(Link->Sftp, remote->c_str(), O_RDONLY, 0); });
  if (file == nullptr) {
    Failed(started);
    return false;
  }
  std::vector<char> buffer(ReadPiece);
  for (;;) {
    started = Clock::now();
    const ssize_t got = Guarded([&] { return sftp_read(file, buffer.data(), buffer.size()); });
    if (got == 0) {
      break;
    }
    if (got < 0) {
      Failed(started, [&] { Guarded([&] { return sftp_close(file); }); });
      return false;
    }
    if (!WriteAll(partial->Fd, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      Fail(SystemError(errno));
      Guarded([&] { return sftp_close(file); });
      return false;
    }
  }
  Guarded([&] { return sftp_close(file); });
  if (!partial->Commit(localFile, replaceExisting)) {
    Fail(errno == EEXIST ? std::string("the local file exists") : SystemError(errno));
    return false;
  }
  return true;
}

bool SftpSession::Upload(const std::string& localFile, std::string_view remoteFile) {
  const auto remote = RemotePath(remoteFile);
  if (!remote || Closed()) {
    return false;
  }
  const int fd = ::open(localFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(SystemError(errno));
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    Fail("the local file is no regular file");
    return false;
  }
  auto started = Clock::now();
  sftp_file file = Guarded([&] {
    return sftp_open(Link->Sftp, remote->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                     S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
  });
  if (file == nullptr) {
    ::close(fd);
    Failed(started);
    return false;
  }
  std::vector<char> buffer(WritePiece);
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      Fail(SystemError(errno));
      ok = false;
      break;
    }
    if (got == 0) {
      break;
    }
    started = Clock::now();
    Link->ClearStatus();
    if (Guarded([&] { return sftp_write(file, buffer.data(), static_cast<std::size_t>(got)); }) !=
        got) {
      ::close(fd);
      Failed(started, [&] { Guarded([&] { return sftp_close(file); }); });
      return false;
    }
  }
  ::close(fd);
  started = Clock::now();
  Link->ClearStatus();
  // The server's answer to the close says whether it kept the file whole.
  if (Guarded([&] { return sftp_close(file); }) != SSH_NO_ERROR && ok) {
    Failed(started);
    return false;
  }
  return ok;
}

bool SftpSession::Delete(std::string_view path) {
  const auto remote = RemotePath(path);
  if (!remote || Closed()) {
    return false;
  }
  const auto started = Clock::now();
  if (Guarded([&] { return sftp_unlink(Link->Sftp, remote->c_str()); }) != 0) {
    Failed(started);
    return false;
  }
  return true;
}

std::optional<bool> SftpSession::FileExists(std::string_view path) {
  const auto remote = RemotePath(path);
  if (!remote || Closed()) {
    return false;
  }
  const auto started = Clock::now();
  sftp_attributes info = Guarded([&] { return sftp_stat(Link->Sftp, remote->c_str()); });
  if (info == nullptr) {
    Failed(started);
    return false;
  }
  const bool file = info->type == SSH_FILEXFER_TYPE_REGULAR;
  sftp_attributes_free(info);
  if (!file) {
    Fail("no plain file at that path");
  }
  return file;
}

bool SftpSession::Rename(std::string_view from, std::string_view to) {
  return TryRename(from, to) == RenameResult::Renamed;
}

SftpSession::RenameResult SftpSession::TryRename(std::string_view from, std::string_view to) {
  const auto source = RemotePath(from);
  if (!source) {
    return RenameResult::Failed;
  }
  const auto target = RemotePath(to);
  if (!target || Closed()) {
    return RenameResult::Failed;
  }
  const auto started = Clock::now();
  if (Guarded([&] { return sftp_rename(Link->Sftp, source->c_str(), target->c_str()); }) == 0) {
    return RenameResult::Renamed;
  }
  const int status = sftp_get_error(Link->Sftp);
  Failed(started);
  if (!Link) {
    return RenameResult::Failed;
  }
  // OpenSSH's server, like SFTP version 3 itself, will not rename over an
  // existing file and says only "failure"; later versions say so plainly.
  return status == SSH_FX_FAILURE || status == SSH_FX_FILE_ALREADY_EXISTS
             ? RenameResult::TargetRefused
             : RenameResult::SourceRefused;
}

bool SftpSession::RemoveDirectory(std::string_view path) {
  const auto remote = RemotePath(path);
  if (!remote || Closed()) {
    return false;
  }
  const auto started = Clock::now();
  if (Guarded([&] { return sftp_rmdir(Link->Sftp, remote->c_str()); }) != 0) {
    Failed(started);
    return false;
  }
  return true;
}

bool SftpSession::CreateDirectory(std::string_view path) {
  const auto remote = RemotePath(path);
  if (!remote || Closed()) {
    return false;
  }
  const auto started = Clock::now();
  if (Guarded([&] {
        return sftp_mkdir(Link->Sftp, remote->c_str(),
                          S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH);
      }) != 0) {
    Failed(started);
    return false;
  }
  return true;
}

}  // namespace tavro

// Linked directly: the tests, fuzzers and benchmarks.
namespace tavro {

std::unique_ptr<RemoteSession> MakeSftpSession(const FtpTimeouts& timeouts,
                                               const std::string& knownHostsFile) {
  return std::make_unique<SftpSession>(timeouts, knownHostsFile);
}

const HostKeyCheck* RefusedHostKeyOf(const RemoteSession& session) {
  const auto* sftp = dynamic_cast<const SftpSession*>(&session);
  return sftp != nullptr && sftp->RefusedHostKey() ? &*sftp->RefusedHostKey() : nullptr;
}

}  // namespace tavro
