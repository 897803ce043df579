#include "platform/TcpClient.h"

#include "platform/CauseLine.h"
#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tavro {

TcpClient::~TcpClient() {
  Close();
}

bool TcpClient::Open() {
  Close();
  Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  return Socket >= 0 || Fail(errno);
}

bool TcpClient::Fail(int error) {
  Failure = SystemErrorText(error);
  return false;
}

void TcpClient::Close() {
  if (Socket >= 0) {
    ::close(Socket);
    Socket = -1;
  }
}

bool TcpClient::WaitFor(short events, std::chrono::steady_clock::time_point deadline,
                        std::chrono::milliseconds timeout) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{Socket, events, 0};
    const int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready > 0) {
      // Errors and hang-ups count as ready: the call that follows reports them.
      return true;
    }
    if (ready == 0) {
      Failure = TimedOutCause(timeout.count());
      return false;
    }
    if (errno != EINTR) {
      return Fail(errno);
    }
  }
}

bool TcpClient::Connect(Ipv4Address address, std::uint16_t port,
                        std::chrono::milliseconds timeout) {
  if (Socket < 0) {
    return Fail(EBADF);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(address.HostOrder());
  if (::connect(Socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
    return true;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    return Fail(errno);
  }
  if (!WaitFor(POLLOUT, deadline, timeout)) {
    return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return Fail(errno);
  }
  return error == 0 || Fail(error);
}

std::ptrdiff_t TcpClient::Receive(char* buffer, std::size_t size,
                                  std::chrono::milliseconds timeout) {
  if (Socket < 0) {
    Fail(EBADF);
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const ssize_t received = ::recv(Socket, buffer, size, 0);
    if (received >= 0) {
      return received;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Fail(errno);
      return -1;
    }
    if (!WaitFor(POLLIN, deadline, timeout)) {
      return -1;
    }
  }
}

bool TcpClient::Send(std::string_view data, std::chrono::milliseconds timeout) {
  if (Socket < 0) {
    return Fail(EBADF);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!data.empty()) {
    // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE in the program.
    const ssize_t sent = ::send(Socket, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return Fail(errno);
    }
    if (!WaitFor(POLLOUT, deadline, timeout)) {
      return false;
    }
  }
  return true;
}

}  // namespace tavro
