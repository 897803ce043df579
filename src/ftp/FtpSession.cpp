#include "ftp/FtpSession.h"

#include "ftp/FtpListParser.h"
#include "ftp/FtpTls.h"
#include "platform/TlsClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/DialogSocket.h>
#include <Poco/Net/FTPClientSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/StreamSocketImpl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

namespace tavro {
namespace {

constexpr std::size_t TransferBuffer = 256 * 1024;
// A listing line longer than this is no entry a person could use; it is
// skipped without being held in memory.
constexpr std::size_t MaxListLine = 64 * 1024;

Poco::Timespan ToTimespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
}

// The control connection's socket. Poco's reader of multi-line replies keeps
// asking for more after the peer has closed the connection and never returns,
// so an end of stream on the control connection is raised as an error here.
class ControlSocketImpl : public Poco::Net::StreamSocketImpl {
public:
  using Poco::Net::StreamSocketImpl::receiveBytes;
  int receiveBytes(void* buffer, int length, int flags = 0) override {
    const int received = Poco::Net::StreamSocketImpl::receiveBytes(buffer, length, flags);
    if (received == 0 && length > 0) {
      throw Poco::Net::ConnectionResetException("the server closed the control connection");
    }
    return received;
  }
};

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool ListsUtf8(const std::string& featReply) {
  std::size_t begin = 0;
  while (begin <= featReply.size()) {
    std::size_t end = featReply.find('\n', begin);
    if (end == std::string::npos) {
      end = featReply.size();
    }
    std::string_view line(featReply.data() + begin, end - begin);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      line.remove_prefix(1);
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (line.size() == 4 && (line[0] == 'U' || line[0] == 'u') &&
        (line[1] == 'T' || line[1] == 't') && (line[2] == 'F' || line[2] == 'f') &&
        line[3] == '8') {
      return true;
    }
    begin = end + 1;
  }
  return false;
}

// A file beside the download's target that becomes the target only when the
// whole file has arrived; removed otherwise.
class PartialFile {
public:
  explicit PartialFile(const std::string& target) {
    const auto slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + ".tavro-" +
                                    std::to_string(::getpid()) + "-" +
                                    std::to_string(counter.fetch_add(1)) + ".part";
      Fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (Fd >= 0) {
        Path = candidate;
        return;
      }
      if (errno != EEXIST) {
        return;
      }
    }
  }
  ~PartialFile() {
    CloseFd();
    if (!Path.empty()) {
      ::unlink(Path.c_str());
    }
  }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  int Fd = -1;

  bool CloseFd() {
    if (Fd < 0) {
      return true;
    }
    const bool ok = ::close(Fd) == 0;
    Fd = -1;
    return ok;
  }

  // Moves the file into place. Without replace, a file that appeared at the
  // target meanwhile is left alone and the move fails.
  bool Commit(const std::string& target, bool replace) {
    if (!CloseFd()) {
      return false;
    }
    bool moved = false;
    if (replace) {
      moved = ::rename(Path.c_str(), target.c_str()) == 0;
    } else if (::renameat2(AT_FDCWD, Path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
               0) {
      moved = true;
    } else if (errno == EINVAL || errno == ENOSYS) {
      // File systems without RENAME_NOREPLACE: a hard link fails just as
      // surely on an existing target.
      moved = ::link(Path.c_str(), target.c_str()) == 0;
      if (moved) {
        ::unlink(Path.c_str());
      }
    }
    if (moved) {
      Path.clear();
    }
    return moved;
  }

private:
  std::string Path;
};

}  // namespace

// Poco's session with the data connection opened here, so that it gets the
// time-outs Poco leaves off and the transfers can run on the socket itself
// rather than through a small stream buffer.
class FtpSession::Client : public Poco::Net::FTPClientSession {
public:
  Client(const Poco::Net::StreamSocket& control, Poco::Timespan timeout)
      : Poco::Net::FTPClientSession(control, false), Timeout(timeout) {
    setTimeout(timeout);
    setPassive(false);
  }

  int ReadReply(std::string& reply) { return _pControlSocket->receiveStatusMessage(reply); }

  // AUTH TLS, the handshake, then PBSZ 0 and PROT P so that the data
  // connections are protected too. False where the server refuses any of
  // them (the caller ends the session before USER); throws where the
  // handshake or the certificate fails.
  bool Secure(const std::string& host, Poco::Net::Context::Ptr context) {
    std::string reply;
    if (sendCommand("AUTH TLS", reply) != 234) {
      return false;
    }
    *_pControlSocket = SecureControlSocket(*_pControlSocket, host, context);
    TlsHost = host;
    Tls = std::move(context);
    return sendCommand("PBSZ 0", reply) / 100 == 2 && sendCommand("PROT P", reply) / 100 == 2;
  }
  bool IsSecure() const { return Tls != nullptr; }

  // Closes the control connection at once, without a QUIT exchange.
  void Sever() { _pControlSocket->close(); }

  Poco::Net::StreamSocket& Data() { return *DataSocket; }
  void CloseData() {
    if (DataSocket && Tls) {
      // A ticket that arrived on this connection serves the next one.
      try {
        const auto session = CurrentTlsSession(*DataSocket);
        if (session && (!ResumedSession || session->sslSession() != ResumedSession->sslSession())) {
          NextSession = session;
        }
      } catch (const Poco::Exception&) {
      }
    }
    if (DataSocket) {
      try {
        DataSocket->close();
      } catch (const Poco::Exception&) {
      }
      DataSocket.reset();
    }
    PlainData.reset();
  }
  void FinishSecureData() { FinishSecureSend(*DataSocket, *PlainData, Timeout); }

protected:
  Poco::Net::StreamSocket establishDataConnection(const std::string& command,
                                                  const std::string& arg) override {
    CloseData();
    Poco::Net::ServerSocket listener(
        Poco::Net::SocketAddress(_pControlSocket->address().host(), 0));
    sendPortCommand(listener.address());
    std::string reply;
    const int status = sendCommand(command, arg, reply);
    if (status / 100 != 1) {
      throw Poco::Net::FTPException(command + " refused", reply, status);
    }
    if (!listener.poll(Timeout, Poco::Net::Socket::SELECT_READ)) {
      // Not a refusal: the server's reply to the command may still come, so
      // the dialogue is out of step and the session ends.
      throw Poco::TimeoutException("the server opened no data connection");
    }
    Poco::Net::StreamSocket accepted = listener.acceptConnection();
    // Before the handshake, which is bounded by them too.
    accepted.setReceiveTimeout(Timeout);
    accepted.setSendTimeout(Timeout);
    if (Tls) {
      ResumedSession = NextSession ? NextSession : CurrentTlsSession(*_pControlSocket);
      NextSession = nullptr;
      DataSocket = SecureDataSocket(accepted, TlsHost, Tls, ResumedSession);
    } else {
      DataSocket = accepted;
    }
    PlainData = accepted;
    return *DataSocket;
  }

private:
  Poco::Timespan Timeout;
  std::optional<Poco::Net::StreamSocket> DataSocket;
  std::optional<Poco::Net::StreamSocket> PlainData;  // under DataSocket's TLS
  Poco::Net::Context::Ptr Tls;
  std::string TlsHost;
  Poco::Net::Session::Ptr ResumedSession;  // by the current data connection
  Poco::Net::Session::Ptr NextSession;     // an unused ticket for the next one
};

FtpSession::FtpSession(FtpTimeouts timeouts) : Timeouts(timeouts) {}

FtpSession::~FtpSession() {
  Close();
}

std::optional<FtpSession::ServerAddress> FtpSession::ParseServer(std::string_view server) {
  ServerAddress address;
  std::string_view host = server;
  std::string_view port;
  if (!server.empty() && server.front() == '[') {
    const auto close = server.find(']');
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    host = server.substr(1, close - 1);
    const std::string_view rest = server.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return std::nullopt;
      }
      port = rest.substr(1);
      if (port.empty()) {
        return std::nullopt;
      }
    }
  } else if (const auto colon = server.find(':');
             colon != std::string_view::npos &&
             server.find(':', colon + 1) == std::string_view::npos) {
    // One colon: host and port. More than one: a bare IPv6 address.
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
    if (port.empty()) {
      return std::nullopt;
    }
  }
  if (host.empty()) {
    return std::nullopt;
  }
  if (!port.empty()) {
    if (port.size() > 5) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') {
        return std::nullopt;
      }
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
      return std::nullopt;
    }
    address.Port = static_cast<std::uint16_t>(value);
  }
  address.Host = std::string(host);
  return address;
}

bool FtpSession::Open(std::string_view server, std::string_view user, std::string_view password) {
  Close();
  const auto tlsServer = ExplicitTlsServer(server);
  const auto address = ParseServer(tlsServer ? *tlsServer : server);
  if (!address) {
    return false;
  }
  Poco::Net::Context::Ptr tls;
  if (tlsServer) {
    tls = MakeVerifyingClientContext(address->Host);
    if (!tls) {
      return false;
    }
  }
  const Poco::Timespan timeout = ToTimespan(Timeouts.Reply);
  try {
    const Poco::Net::SocketAddress peer(address->Host, address->Port);
    Poco::Net::StreamSocket socket(new ControlSocketImpl);
    socket.connect(peer, timeout);
    socket.setReceiveTimeout(timeout);
    socket.setSendTimeout(timeout);
    socket.setNoDelay(true);
    auto client = std::make_unique<Client>(socket, timeout);

    std::string reply;
    int status = client->ReadReply(reply);
    while (status / 100 == 1) {  // 120: ready in a moment
      status = client->ReadReply(reply);
    }
    if (status / 100 != 2) {
      return false;
    }
    if (tls && !client->Secure(address->Host, tls)) {
      // No USER, no password: the server would not protect them.
      client->Sever();
      return false;
    }
    // FEAT before the log-on: the user name and password already go in the
    // server's encoding.
    const bool utf8 = client->sendCommand("FEAT", reply) / 100 == 2 && ListsUtf8(reply);
    if (utf8) {
      // Some servers only switch on request; the answer does not matter.
      client->sendCommand("OPTS UTF8 ON", reply);
    }
    TextCodec = FtpTextCodec(utf8 ? FtpTextEncoding::Utf8 : FtpTextEncoding::Cp932);
    const auto wireUser = ToArgument(user);
    const auto wirePassword = ToArgument(password);
    if (!wireUser || !wirePassword) {
      client->Sever();
      return false;
    }
    client->login(*wireUser, *wirePassword);
    Control = std::move(client);
    return true;
  } catch (const Poco::Exception&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

bool FtpSession::IsOpen() const {
  return Control != nullptr;
}

void FtpSession::Close() {
  if (!Control) {
    return;
  }
  try {
    Control->close();
  } catch (const Poco::Exception&) {
  } catch (const std::exception&) {
  }
  Control.reset();
}

void FtpSession::Abandon() {
  if (!Control) {
    return;
  }
  try {
    Control->CloseData();
    Control->Sever();
  } catch (const Poco::Exception&) {
  }
  // With the socket closed, the QUIT in Poco's destructor fails at once.
  Control.reset();
}

std::optional<std::string> FtpSession::ToArgument(std::string_view text) const {
  auto wire = TextCodec.ToWire(text);
  if (wire && wire->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    return std::nullopt;
  }
  return wire;
}

bool FtpSession::Exchange(const std::function<void(Client&)>& exchange) {
  if (!Control) {
    return false;
  }
  try {
    exchange(*Control);
    return true;
  } catch (const Poco::Net::FTPException&) {
    // The server answered, only not as hoped: still in step.
    return false;
  } catch (const Poco::Exception&) {
    Abandon();
  } catch (const std::exception&) {
    Abandon();
  }
  return false;
}

bool FtpSession::ChangeDirectory(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.setWorkingDirectory(*wire); });
}

std::optional<std::string> FtpSession::CurrentDirectory() {
  std::string wire;
  if (!Exchange([&](Client& c) { wire = c.getWorkingDirectory(); }) || wire.empty()) {
    return std::nullopt;
  }
  return TextCodec.ToText(wire);
}

std::size_t FtpSession::List(std::string_view path,
                             const std::function<void(const FtpEntry&)>& onEntry) {
  const auto wire = ToArgument(path);
  if (!wire) {
    return 0;
  }
  std::size_t count = 0;
  Exchange([&](Client& c) {
    c.beginList(*wire, true);
    const FtpListParser parser(static_cast<std::int64_t>(std::time(nullptr)));
    auto take = [&](std::string_view line) {
      if (auto entry = parser.ParseLine(line)) {
        ++count;
        onEntry(*entry);
      }
    };
    std::vector<char> buffer(TransferBuffer);
    std::string line;
    bool skipping = false;  // inside a line too long to keep
    try {
      for (;;) {
        const int received = c.Data().receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
        if (received <= 0) {
          break;
        }
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(received));
        while (!chunk.empty()) {
          const auto newline = chunk.find('\n');
          const std::string_view piece = chunk.substr(0, newline);
          if (!skipping) {
            if (line.size() + piece.size() > MaxListLine) {
              skipping = true;
              line.clear();
            } else {
              line.append(piece);
            }
          }
          if (newline == std::string_view::npos) {
            break;
          }
          if (!skipping) {
            take(line);
          }
          line.clear();
          skipping = false;
          chunk.remove_prefix(newline + 1);
        }
      }
    } catch (const Poco::Exception&) {
      // Cut off: what arrived is reported, and the server's reply is still
      // read below so that the dialogue stays in step.
    }
    if (!skipping && !line.empty()) {
      take(line);
    }
    c.CloseData();
    c.endList();
  });
  return count;
}

bool FtpSession::Download(std::string_view remoteFile, const std::string& localFile,
                          bool replaceExisting) {
  const auto wire = ToArgument(remoteFile);
  if (!wire || !Control || localFile.empty()) {
    return false;
  }
  struct stat existing {};
  if (!replaceExisting && ::lstat(localFile.c_str(), &existing) == 0) {
    return false;
  }
  PartialFile partial(localFile);
  if (partial.Fd < 0) {
    return false;
  }
  bool complete = false;
  const bool answered = Exchange([&](Client& c) {
    c.beginDownload(*wire);
    std::vector<char> buffer(TransferBuffer);
    bool written = true;
    try {
      for (;;) {
        const int received = c.Data().receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
        if (received <= 0) {
          complete = true;
          break;
        }
        if (!WriteAll(partial.Fd, buffer.data(), static_cast<std::size_t>(received))) {
          written = false;
          break;
        }
      }
    } catch (const Poco::Exception&) {
    }
    // Closing the data connection early tells the server to stop; its reply
    // says whether the file arrived whole.
    c.CloseData();
    c.endDownload();
    complete = complete && written;
  });
  return answered && complete && partial.Commit(localFile, replaceExisting);
}

bool FtpSession::Upload(const std::string& localFile, std::string_view remoteFile) {
  const auto wire = ToArgument(remoteFile);
  if (!wire || !Control) {
    return false;
  }
  const int fd = ::open(localFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  bool sent = false;
  const bool answered = Exchange([&](Client& c) {
    c.beginUpload(*wire);
    std::vector<char> buffer(TransferBuffer);
    try {
      for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
          continue;
        }
        if (got <= 0) {
          sent = got == 0;
          break;
        }
        const char* data = buffer.data();
        auto left = static_cast<std::size_t>(got);
        while (left > 0) {
          const int n = c.Data().sendBytes(data, static_cast<int>(left));
          if (n <= 0) {
            throw Poco::IOException("the data connection took nothing");
          }
          data += n;
          left -= static_cast<std::size_t>(n);
        }
      }
    } catch (const Poco::Exception&) {
    }
    // The end of the data connection ends the file; the reply says whether
    // the server kept it.
    if (c.IsSecure()) {
      try {
        c.FinishSecureData();
      } catch (const Poco::Exception&) {
        sent = false;
      }
    }
    c.CloseData();
    c.endUpload();
  });
  ::close(fd);
  return answered && sent;
}

bool FtpSession::Delete(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.remove(*wire); });
}

bool FtpSession::Rename(std::string_view from, std::string_view to) {
  const auto wireFrom = ToArgument(from);
  const auto wireTo = ToArgument(to);
  return wireFrom && wireTo && Exchange([&](Client& c) { c.rename(*wireFrom, *wireTo); });
}

bool FtpSession::RemoveDirectory(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.removeDirectory(*wire); });
}

bool FtpSession::CreateDirectory(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.createDirectory(*wire); });
}

}  // namespace tavro
