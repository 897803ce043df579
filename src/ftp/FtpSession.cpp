#include "ftp/FtpSession.h"
#include "platform/PosixIo.h"

#include "ftp/FtpListParser.h"

#include "ftp/FtpReplyReader.h"
#include "ftp/FtpTls.h"
#include "ftp/PartialFile.h"
#include "platform/CauseLine.h"
#include "platform/TlsClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timestamp.h>

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tavro {
namespace {

constexpr std::size_t TransferBuffer = 256 * 1024;
// An upload is given one time-out for each piece of this size: about 2 KiB/s
// with the default time-out, so that only a server that has all but stopped
// taking the file fails.
constexpr std::size_t SendPiece = 64 * 1024;
// A listing line longer than this is no entry a person could use; it is
// skipped without being held in memory.
constexpr std::size_t MaxListLine = 64 * 1024;

Poco::Timespan ToTimespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
}

std::string SystemError(int error) {
  return std::system_category().message(error);
}

// What a Poco exception says happened, in the words of the system where it
// carries an error number.
std::string ExceptionCause(const Poco::Exception& e, std::chrono::milliseconds timeout) {
  if (dynamic_cast<const Poco::TimeoutException*>(&e) != nullptr) {
    return TimedOutCause(timeout.count());
  }
  if (dynamic_cast<const Poco::Net::HostNotFoundException*>(&e) != nullptr) {
    return ::gai_strerror(EAI_NONAME);
  }
  if (dynamic_cast<const Poco::IOException*>(&e) != nullptr && e.code() > 0) {
    return SystemError(e.code());
  }
  return e.message().empty() ? e.displayText() : e.message();
}

// Sends on a plain data connection, each SendPiece bytes within the time-out.
// Not Poco's sendBytes: it goes on after a send that its time-out cut short,
// and a server that has stopped reading, whose system still lets a few bytes
// through after each time-out, would hold the upload for many of them.
void SendPlain(Poco::Net::StreamSocket& socket, const char* data, std::size_t size,
               std::chrono::milliseconds timeout) {
  while (size > 0) {
    std::size_t left = std::min(size, SendPiece);
    size -= left;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (left > 0) {
      const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (remaining.count() <= 0 ||
          !socket.poll(Poco::Timespan(remaining.count()), Poco::Net::Socket::SELECT_WRITE)) {
        throw Poco::TimeoutException("the server took no more data");
      }
      const ssize_t sent = ::send(socket.impl()->sockfd(), data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
          continue;
        }
        throw Poco::IOException(SystemError(errno), errno);
      }
      data += sent;
      left -= static_cast<std::size_t>(sent);
    }
  }
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

// StalledData: a data connection that goes silent for a whole time-out ends
// the session at once, as a control reply that never comes does. Waiting for
// the server's final reply as well would double the time the owner waits,
// and a server that let its data connection stall is unlikely to answer in
// step; so the time-out is thrown on rather than taken as a broken transfer.

// A listing that outgrew its bounds. The server is still sending, so the
// dialogue is out of step and the session ends without waiting for its reply.
class ListingOverrun : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Reads LIST lines from the data connection until it ends and hands each to
// take. Where the connection breaks, says why; empty where it ended. Throws
// ListingOverrun where the data has not ended by the deadline, and the
// time-out (StalledData) where one wait for data outlasts the reply time-out.
std::string ReceiveListing(Poco::Net::StreamSocket& data,
                           const std::function<void(std::string_view)>& take,
                           std::chrono::milliseconds timeout, std::chrono::milliseconds whole) {
  const auto deadline = std::chrono::steady_clock::now() + whole;
  std::string broken;
  std::vector<char> buffer(TransferBuffer);
  std::string line;
  bool skipping = false;  // inside a line too long to keep
  try {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        throw ListingOverrun(TimedOutCause(whole.count()));
      }
      // Over TLS, a decrypted record may be waiting while the socket itself
      // has nothing more to read.
      if (data.available() <= 0 &&
          !data.poll(ToTimespan(std::min(left, timeout)), Poco::Net::Socket::SELECT_READ)) {
        if (left <= timeout) {
          throw ListingOverrun(TimedOutCause(whole.count()));
        }
        throw Poco::TimeoutException("no listing data in time");
      }
      const int received = data.receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
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
  } catch (const Poco::TimeoutException&) {
    throw;  // see StalledData
  } catch (const Poco::Exception& e) {
    // Cut off: the server's reply is still read so that the dialogue stays
    // in step.
    broken = ExceptionCause(e, timeout);
  }
  if (!skipping && !line.empty()) {
    take(line);
  }
  return broken;
}

}  // namespace

// The server answered, only not as hoped: the dialogue is still in step.
struct Refusal {
  std::string Reply;  // what it answered
};

// The control connection and the commands on it. Replies are read with
// FtpReplyReader against one deadline per answer, so a server that never ends
// a reply, or sends preliminary replies without end, costs at most the reply
// time-out; every other failure is thrown as a Poco exception, after which the
// dialogue is out of step and the session ends.
class FtpSession::Client {
public:
  Client(Poco::Net::StreamSocket control, Poco::Timespan timeout)
      : Control(std::move(control)), Timeout(timeout) {}
  ~Client() { Sever(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // One reply within the deadline.
  FtpReply ReadReply(Poco::Timestamp deadline) {
    for (;;) {
      Pending.erase(0, Reader.Feed(Pending));
      if (Reader.Status() == FtpReplyReader::State::Complete) {
        return Reader.Take();
      }
      if (Reader.Status() == FtpReplyReader::State::TooLong) {
        throw Poco::ProtocolException("the server's reply is longer than 64 KiB");
      }
      const Poco::Timestamp::TimeDiff left = deadline - Poco::Timestamp();
      // Over TLS, part of a record may already be decrypted and waiting while
      // the socket itself has nothing more to read.
      if (left <= 0 || (Control.available() <= 0 &&
                        !Control.poll(Poco::Timespan(left), Poco::Net::Socket::SELECT_READ))) {
        throw Poco::TimeoutException("the server's reply did not end in time");
      }
      char buffer[4096];
      const int received = Control.receiveBytes(buffer, sizeof buffer);
      if (received <= 0) {
        throw Poco::Net::ConnectionResetException("the server closed the control connection");
      }
      Pending.assign(buffer, static_cast<std::size_t>(received));
    }
  }

  // The final reply, after any preliminary (1xx) ones, all within one
  // time-out.
  FtpReply Answer() {
    const Poco::Timestamp deadline = Poco::Timestamp() + Timeout.totalMicroseconds();
    FtpReply reply = ReadReply(deadline);
    while (reply.Code / 100 == 1) {
      reply = ReadReply(deadline);
    }
    return reply;
  }

  void Send(const std::string& command) {
    const std::string line = command + "\r\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
      const int n = Control.sendBytes(line.data() + sent, static_cast<int>(line.size() - sent));
      if (n <= 0) {
        throw Poco::IOException("the control connection took nothing");
      }
      sent += static_cast<std::size_t>(n);
    }
  }

  FtpReply Command(const std::string& command) {
    Send(command);
    return Answer();
  }

  // A command whose final reply must be a success (2xx).
  FtpReply Require(const std::string& command) {
    FtpReply reply = Command(command);
    if (reply.Code / 100 != 2) {
      throw Refusal{reply.Text};
    }
    return reply;
  }

  void Login(const std::string& user, const std::string& password) {
    const FtpReply reply = Command("USER " + user);
    if (reply.Code == 331) {
      Require("PASS " + password);
    } else if (reply.Code / 100 != 2) {
      throw Refusal{reply.Text};
    }
    Require("TYPE I");
  }

  // AUTH TLS, the handshake, then PBSZ 0 and PROT P so that the data
  // connections are protected too. Throws a refusal where the server
  // refuses any of them (the caller ends the session before USER), a Poco
  // exception where the handshake or the certificate fails.
  void Secure(const std::string& host, Poco::Net::Context::Ptr context) {
    const FtpReply auth = Command("AUTH TLS");
    if (auth.Code != 234) {
      throw Refusal{auth.Text};
    }
    if (!Pending.empty()) {
      // Nothing may come between the 234 and the handshake.
      throw Refusal{"the server sent more after its 234 to AUTH TLS"};
    }
    // The handshake waits on the socket itself, not through the reply reader.
    Control.setReceiveTimeout(Timeout);
    Control = SecureControlSocket(Control, host, context);
    TlsHost = host;
    Tls = std::move(context);
    Require("PBSZ 0");
    Require("PROT P");
  }
  bool IsSecure() const { return Tls != nullptr; }

  // Opens a listener, names it with EPRT (PORT where the server does not know
  // EPRT), sends the transfer command and waits for the server to connect.
  // Only a preliminary reply starts a transfer: a final one, even a success,
  // means no data connection is coming.
  void BeginTransfer(const std::string& command) {
    CloseData();
    const Poco::Net::SocketAddress local = Control.address();
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress(local.host(), 0));
    SendPort(listener.address());
    Send(command);
    const FtpReply first = ReadReply(Poco::Timestamp() + Timeout.totalMicroseconds());
    if (first.Code / 100 != 1) {
      throw Refusal{first.Text};
    }
    Poco::Net::StreamSocket accepted = AcceptFromServer(listener);
    // Before the handshake, which they bound too.
    accepted.setReceiveTimeout(Timeout);
    accepted.setSendTimeout(Timeout);
    if (Tls) {
      ResumedSession = NextSession ? NextSession : CurrentTlsSession(Control);
      NextSession = nullptr;
      PlainData = accepted;
      DataSocket = SecureDataSocket(accepted, TlsHost, Tls, ResumedSession);
    } else {
      DataSocket = accepted;
    }
  }

  // Ends an upload on a TLS data connection (see FinishSecureSend); the
  // socket closes in EndTransfer.
  void FinishSecureUpload() { FinishSecureSend(*DataSocket, *PlainData, Timeout); }

  // Closes the data connection and reads the final reply, which says whether
  // the server sent or kept the whole file.
  void EndTransfer() {
    CloseData();
    const FtpReply last = Answer();
    if (last.Code / 100 != 2) {
      throw Refusal{last.Text};
    }
  }

  std::string WorkingDirectory() {
    // 257 "path" with quotes inside the path doubled.
    const std::string text = Require("PWD").Text;
    std::string path;
    auto it = std::find(text.begin(), text.end(), '"');
    if (it != text.end()) {
      for (++it; it != text.end(); ++it) {
        if (*it == '"') {
          if (std::next(it) == text.end() || *std::next(it) != '"') {
            break;
          }
          ++it;
        }
        path += *it;
      }
    }
    return path;
  }

  // QUIT and its answer, then the connection closes; failures do not matter.
  void Quit() {
    try {
      CloseData();
      Command("QUIT");
    } catch (const Poco::Exception&) {
    }
    Sever();
  }

  // Closes the control connection at once, without a QUIT exchange.
  void Sever() {
    CloseData();
    try {
      Control.close();
    } catch (const Poco::Exception&) {
    }
  }

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

  // Told of a connection to the data listener that was refused.
  void SetStrangerNotice(const std::function<void(const std::string&)>* notice) {
    StrangerNotice = notice;
  }

private:
  // The listener's port is open to anyone who finds it, and whatever connects
  // first would otherwise receive the page or have its bytes taken for the
  // listing: only a connection from the server's own address is taken. Any
  // other is closed at once and the wait goes on, within the one time-out.
  // The first stranger of a transfer is told; later ones, which only a flood
  // would bring, are closed in silence.
  Poco::Net::StreamSocket AcceptFromServer(Poco::Net::ServerSocket& listener) {
    const Poco::Net::IPAddress server = Control.peerAddress().host();
    const Poco::Timestamp deadline = Poco::Timestamp() + Timeout.totalMicroseconds();
    bool told = false;
    for (;;) {
      const Poco::Timestamp::TimeDiff left = deadline - Poco::Timestamp();
      if (left <= 0 || !listener.poll(Poco::Timespan(left), Poco::Net::Socket::SELECT_READ)) {
        // Not a refusal: the server's final reply may still come, so the
        // dialogue is out of step and the session ends.
        throw Poco::TimeoutException("the server opened no data connection");
      }
      Poco::Net::SocketAddress from;
      Poco::Net::StreamSocket accepted = listener.acceptConnection(from);
      if (from.host() == server) {
        return accepted;
      }
      try {
        accepted.close();
      } catch (const Poco::Exception&) {
      }
      if (!told && StrangerNotice != nullptr && *StrangerNotice) {
        told = true;
        (*StrangerNotice)(from.host().toString());
      }
    }
  }

  void SendPort(const Poco::Net::SocketAddress& address) {
    if (Eprt) {
      const FtpReply reply = Command(
          "EPRT |" + std::string(address.family() == Poco::Net::AddressFamily::IPv4 ? "1" : "2") +
          "|" + address.host().toString() + "|" + std::to_string(address.port()) + "|");
      if (reply.Code / 100 == 2) {
        return;
      }
      if (reply.Code / 100 != 5 || address.family() != Poco::Net::AddressFamily::IPv4) {
        throw Refusal{reply.Text};
      }
      Eprt = false;  // a server that does not know EPRT; PORT from now on
    }
    std::string port = address.host().toString();
    std::replace(port.begin(), port.end(), '.', ',');
    Require("PORT " + port + "," + std::to_string(address.port() / 256) + "," +
            std::to_string(address.port() % 256));
  }

  Poco::Net::StreamSocket Control;
  Poco::Timespan Timeout;
  FtpReplyReader Reader;
  std::string Pending;  // received, not yet taken by the reader
  bool Eprt = true;
  std::optional<Poco::Net::StreamSocket> DataSocket;
  std::optional<Poco::Net::StreamSocket> PlainData;  // under DataSocket's TLS
  Poco::Net::Context::Ptr Tls;
  std::string TlsHost;
  Poco::Net::Session::Ptr ResumedSession;  // by the current data connection
  Poco::Net::Session::Ptr NextSession;     // an unused ticket for the next one
  const std::function<void(const std::string&)>* StrangerNotice = nullptr;
};

FtpSession::FtpSession(FtpTimeouts timeouts) : Timeouts(timeouts) {}

FtpSession::~FtpSession() {
  Close();
}

bool FtpSession::Open(std::string_view server, std::string_view user, std::string_view password) {
  Close();
  ClosedBecause.clear();
  const auto tlsServer = ExplicitTlsServer(server);
  const auto address = ParseServer(tlsServer ? *tlsServer : server);
  if (!address) {
    Fail("no host name and port in the server text");
    return false;
  }
  Poco::Net::Context::Ptr tls;
  if (tlsServer) {
    tls = MakeVerifyingClientContext(address->Host);
    if (!tls) {
      Fail("TLS cannot be set up for this host name");
      return false;
    }
    RecordCertificateProblems(tls);
  }
  const Poco::Timespan timeout = ToTimespan(Timeouts.Reply);
  try {
    const Poco::Net::SocketAddress peer(address->Host, address->Port);
    Poco::Net::StreamSocket socket;
    socket.connect(peer, timeout);
    socket.setSendTimeout(timeout);
    socket.setNoDelay(true);
    auto client = std::make_unique<Client>(socket, timeout);

    // The greeting, after any "120 ready in a moment", within one time-out.
    const FtpReply greeting = client->Answer();
    if (greeting.Code / 100 != 2) {
      Fail(greeting.Text);
      return false;
    }
    if (tls) {
      TakeCertificateProblem();
      // A refusal ends the attempt: no USER, no password, since the server
      // would not protect them.
      client->Secure(address->Host, tls);
    }
    // FEAT before the log-on: the user name and password already go in the
    // server's encoding.
    const FtpReply features = client->Command("FEAT");
    const bool utf8 = features.Code / 100 == 2 && ListsUtf8(features.Text);
    if (utf8) {
      // Some servers only switch on request; the answer does not matter.
      client->Command("OPTS UTF8 ON");
    }
    TextCodec = FtpTextCodec(utf8 ? FtpTextEncoding::Utf8 : FtpTextEncoding::Cp932);
    const auto wireUser = ToArgument(user);
    const auto wirePassword = ToArgument(password);
    if (!wireUser || !wirePassword) {
      return false;
    }
    client->Login(*wireUser, *wirePassword);
    client->SetStrangerNotice(&StrangerNotice);
    Control = std::move(client);
    return true;
  } catch (const Refusal& refusal) {
    Fail(refusal.Reply);
  } catch (const Poco::Exception& e) {
    const std::string certificate = TakeCertificateProblem();
    Fail(certificate.empty() ? ExceptionCause(e, Timeouts.Reply) : certificate);
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  return false;
}

bool FtpSession::IsOpen() const {
  return Control != nullptr;
}

void FtpSession::Close() {
  if (Control) {
    Control->Quit();
    Control.reset();
  }
}

void FtpSession::Abandon() {
  // The socket closes at once; a QUIT now would be read out of step.
  ClosedBecause = Cause;
  Control.reset();
}

void FtpSession::Fail(std::string_view cause) {
  Cause = BoundedCause(cause);
}

bool FtpSession::Closed() {
  if (Control) {
    return false;
  }
  Fail(ClosedBecause.empty() ? std::string("not connected")
                             : "the connection had closed: " + ClosedBecause);
  return true;
}

std::optional<std::string> FtpSession::ToArgument(std::string_view text) {
  auto wire = TextCodec.ToWire(text);
  if (!wire) {
    Fail(TextCodec.Encoding() == FtpTextEncoding::Utf8
             ? "the name cannot be sent as UTF-8"
             : "the name holds a character that code page 932 cannot carry");
  } else if (wire->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    Fail("the name holds a line break or NUL");
    return std::nullopt;
  }
  return wire;
}

bool FtpSession::Exchange(const std::function<void(Client&)>& exchange) {
  if (Closed()) {
    return false;
  }
  try {
    exchange(*Control);
    return true;
  } catch (const Refusal& refusal) {
    Fail(refusal.Reply);
    return false;
  } catch (const Poco::Exception& e) {
    const std::string certificate = TakeCertificateProblem();
    Fail(certificate.empty() ? ExceptionCause(e, Timeouts.Reply) : certificate);
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  Abandon();
  return false;
}

bool FtpSession::ChangeDirectory(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.Require("CWD " + *wire); });
}

std::optional<std::string> FtpSession::CurrentDirectory() {
  std::string wire;
  if (!Exchange([&](Client& c) { wire = c.WorkingDirectory(); })) {
    return std::nullopt;
  }
  if (wire.empty()) {
    Fail("no folder in the server's answer to PWD");
    return std::nullopt;
  }
  return TextCodec.ToText(wire);
}

std::optional<std::size_t> FtpSession::List(std::string_view path,
                                            const std::function<void(const FtpEntry&)>& onEntry) {
  const auto wire = ToArgument(path);
  if (!wire) {
    return 0;
  }
  std::size_t count = 0;
  const FtpListParser parser(static_cast<std::int64_t>(std::time(nullptr)));
  auto take = [&](std::string_view line) {
    if (auto entry = parser.ParseLine(line)) {
      if (count == MaxListEntries) {
        throw ListingOverrun("more than " + std::to_string(MaxListEntries) + " entries");
      }
      ++count;
      onEntry(*entry);
    }
  };
  bool started = false;
  std::string broken;
  const bool answered = Exchange([&](Client& c) {
    // Servers read a LIST argument differently: some split it at blanks as a
    // shell would and list nothing for "/my site". A bare LIST in the folder
    // itself reads the same everywhere; the session then returns to where it
    // was, since relative names of later commands count from there. Without
    // a usable PWD answer the way back is unknown, and the argument has to do.
    std::string argument = *wire;
    std::optional<std::string> back;
    if (!wire->empty()) {
      std::optional<std::string> here;
      try {
        here = c.WorkingDirectory();
      } catch (const Refusal&) {
      }
      if (here && !here->empty()) {
        argument.clear();
        if (*here != *wire) {
          c.Require("CWD " + *wire);
          back = std::move(here);
        }
      }
    }
    const auto goBack = [&] {
      if (back && c.Command("CWD " + *back).Code / 100 != 2) {
        // Later relative names would land in the wrong folder.
        throw Poco::IllegalStateException("the session cannot return to its folder");
      }
    };
    try {
      c.BeginTransfer(argument.empty() ? std::string("LIST") : "LIST " + argument);
      started = true;
      broken = ReceiveListing(c.Data(), take, Timeouts.Reply, Timeouts.Listing());
      c.EndTransfer();
    } catch (const Refusal&) {
      goBack();
      throw;
    }
    goBack();
  });
  if (answered && broken.empty()) {
    return count;
  }
  if (answered) {
    Fail(broken);  // the server called it complete; it was not
  }
  if (started && Control) {
    // A listing cut off is no listing of the folder, and what broke its data
    // connection may break the next one: the owner logs on again.
    ClosedBecause = Cause;
    Control->Quit();
    Control.reset();
  }
  if (!Control) {
    return std::nullopt;
  }
  return 0;
}

bool FtpSession::Download(std::string_view remoteFile, const std::string& localFile,
                          bool replaceExisting) {
  const auto wire = ToArgument(remoteFile);
  if (!wire || Closed()) {
    return false;
  }
  std::string cause;
  const auto partial = OpenDownloadTarget(localFile, replaceExisting, cause);
  if (!partial) {
    Fail(cause);
    return false;
  }
  bool complete = false;
  std::string broken;
  const bool answered = Exchange([&](Client& c) {
    c.BeginTransfer("RETR " + *wire);
    std::vector<char> buffer(TransferBuffer);
    bool written = true;
    try {
      for (;;) {
        const int received = c.Data().receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
        if (received <= 0) {
          complete = true;
          break;
        }
        if (!WriteAll(partial->Fd,
                      std::string_view(buffer.data(), static_cast<std::size_t>(received)))) {
          broken = SystemError(errno);
          written = false;
          break;
        }
      }
    } catch (const Poco::TimeoutException&) {
      throw;  // StalledData
    } catch (const Poco::Exception& e) {
      broken = ExceptionCause(e, Timeouts.Reply);
    }
    // Closing the data connection early tells the server to stop; its reply
    // says whether the file arrived whole.
    c.EndTransfer();
    complete = complete && written;
  });
  if (!answered) {
    return false;
  }
  if (!complete) {
    Fail(broken.empty() ? std::string("the download ended early") : broken);
    return false;
  }
  if (!partial->Commit(localFile, replaceExisting)) {
    Fail(SystemError(errno));
    return false;
  }
  return true;
}

bool FtpSession::Upload(const std::string& localFile, std::string_view remoteFile) {
  const auto wire = ToArgument(remoteFile);
  if (!wire || Closed()) {
    return false;
  }
  const int fd = ::open(localFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(SystemError(errno));
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Fail("the local file is no regular file");
    ::close(fd);
    return false;
  }
  bool sent = false;
  std::string broken;
  const bool answered = Exchange([&](Client& c) {
    c.BeginTransfer("STOR " + *wire);
    std::vector<char> buffer(TransferBuffer);
    try {
      for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
          continue;
        }
        if (got <= 0) {
          sent = got == 0;
          if (!sent) {
            broken = SystemError(errno);
          }
          break;
        }
        if (c.IsSecure()) {
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
        } else {
          SendPlain(c.Data(), buffer.data(), static_cast<std::size_t>(got), Timeouts.Reply);
        }
      }
    } catch (const Poco::TimeoutException&) {
      throw;  // StalledData: a server that stopped reading
    } catch (const Poco::Exception& e) {
      broken = ExceptionCause(e, Timeouts.Reply);
    }
    if (c.IsSecure()) {
      try {
        c.FinishSecureUpload();
      } catch (const Poco::TimeoutException&) {
        throw;
      } catch (const Poco::Exception& e) {
        sent = false;
        broken = ExceptionCause(e, Timeouts.Reply);
      }
    }
    // The end of the data connection ends the file; the reply says whether
    // the server kept it.
    c.EndTransfer();
  });
  ::close(fd);
  if (answered && !sent) {
    Fail(broken.empty() ? std::string("the upload ended early") : broken);
  }
  return answered && sent;
}

bool FtpSession::Delete(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.Require("DELE " + *wire); });
}

std::optional<bool> FtpSession::FileExists(std::string_view path) {
  const auto wire = ToArgument(path);
  FtpReply reply;
  if (!wire || !Exchange([&](Client& c) { reply = c.Command("SIZE " + *wire); })) {
    return false;
  }
  if (reply.Code == 213) {
    return true;
  }
  Fail(reply.Text);
  switch (reply.Code) {
    case 500:
    case 501:
    case 502:
    case 504:
      return std::nullopt;
    default:
      return false;
  }
}

bool FtpSession::Rename(std::string_view from, std::string_view to) {
  return TryRename(from, to) == RenameResult::Renamed;
}

FtpSession::RenameResult FtpSession::TryRename(std::string_view from, std::string_view to) {
  const auto wireFrom = ToArgument(from);
  const auto wireTo = ToArgument(to);
  if (!wireFrom || !wireTo) {
    return RenameResult::Failed;
  }
  bool sourceTaken = false;
  if (Exchange([&](Client& c) {
        const FtpReply reply = c.Command("RNFR " + *wireFrom);
        if (reply.Code / 100 != 3) {
          throw Refusal{reply.Text};
        }
        sourceTaken = true;
        c.Require("RNTO " + *wireTo);
      })) {
    return RenameResult::Renamed;
  }
  if (!Control) {
    return RenameResult::Failed;
  }
  return sourceTaken ? RenameResult::TargetRefused : RenameResult::SourceRefused;
}

bool FtpSession::RemoveDirectory(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.Require("RMD " + *wire); });
}

bool FtpSession::CreateDirectory(std::string_view path) {
  const auto wire = ToArgument(path);
  return wire && Exchange([&](Client& c) { c.Require("MKD " + *wire); });
}

}  // namespace tavro
