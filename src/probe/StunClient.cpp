#include "probe/StunClient.h"

#include "platform/CauseLine.h"
#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

namespace tavro {

namespace {

// How often a wait looks at whether the run was abandoned.
constexpr std::chrono::milliseconds PollSlice{200};
// Far more than any Binding answer; a longer datagram is refused whole.
constexpr std::size_t MaxDatagram = 2048;

}  // namespace

StunTransactionId NewStunTransactionId() {
  StunTransactionId id{};
  std::size_t filled = 0;
  while (filled < id.size()) {
    const ssize_t got = ::getrandom(id.data() + filled, id.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (errno != EINTR) {
      // No kernel source at all: still unpredictable enough for one exchange.
      std::random_device device;
      for (auto& byte : id) {
        byte = static_cast<std::uint8_t>(device());
      }
      break;
    }
  }
  return id;
}

StunClient::~StunClient() {
  if (Socket >= 0) {
    ::close(Socket);
  }
}

bool StunClient::Open() {
  if (Socket >= 0) {
    ::close(Socket);
  }
  Socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Socket < 0) {
    Failure = SystemErrorText(errno);
    return false;
  }
  return true;
}

StunExchange StunClient::Ask(Ipv4Address server, std::uint16_t port,
                             std::chrono::milliseconds limit,
                             const std::function<bool()>& abandoned) {
  using Clock = std::chrono::steady_clock;
  StunExchange exchange;
  const auto fail = [&](int error) {
    exchange.Cause = SystemErrorText(error);
    return exchange;
  };
  if (Socket < 0) {
    return fail(EBADF);
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(server.HostOrder());
  if (::connect(Socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    return fail(errno);
  }

  const StunTransactionId id = NewStunTransactionId();
  const auto request = StunBindingRequest(id);
  const auto start = Clock::now();
  const auto deadline = start + limit;
  auto nextSend = start;
  auto interval = kStunFirstRetransmit;
  int ignored = 0;
  std::string lastIgnored;
  std::vector<char> buffer(MaxDatagram);

  for (;;) {
    if (abandoned && abandoned()) {
      exchange.Cause = "abandoned";
      return exchange;
    }
    auto now = Clock::now();
    if (now >= deadline) {
      break;
    }
    if (exchange.RequestsSent < kStunMaxRequests && now >= nextSend) {
      // Every retransmission is the same request, id and all.
      if (::send(Socket, request.data(), request.size(), MSG_NOSIGNAL) < 0 && errno != EINTR &&
          errno != EAGAIN) {
        return fail(errno);
      }
      ++exchange.RequestsSent;
      nextSend = now + interval;
      interval *= 2;
    }
    const auto wakeUp = std::min({exchange.RequestsSent < kStunMaxRequests ? nextSend : deadline,
                                  deadline, now + PollSlice});
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeUp - now);
    pollfd entry{Socket, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(wait.count(), 0)));
    if (ready < 0 && errno != EINTR) {
      return fail(errno);
    }
    if (ready <= 0) {
      continue;
    }
    // MSG_TRUNC gives the datagram's real length even where the buffer is
    // shorter, so that a cut datagram is never read as a whole one.
    const ssize_t got = ::recv(Socket, buffer.data(), buffer.size(), MSG_TRUNC);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return fail(errno);  // ECONNREFUSED: the ICMP answer of a closed port
    }
    StunAnswer answer;
    if (static_cast<std::size_t>(got) > buffer.size()) {
      answer.Why = std::to_string(got) + " bytes, longer than any Binding answer";
    } else {
      answer = ParseStunAnswer(std::string_view(buffer.data(), static_cast<std::size_t>(got)), id);
    }
    if (answer.AnswersRequest()) {
      exchange.Answer = std::move(answer);
      exchange.Answered = true;
      return exchange;
    }
    ++ignored;
    lastIgnored = std::move(answer.Why);
  }
  exchange.Cause = TimedOutCause(limit.count());
  if (ignored > 0) {
    exchange.Cause += " (" + std::to_string(ignored) + (ignored == 1 ? " answer" : " answers") +
                      " ignored, the last: " + lastIgnored + ")";
  }
  return exchange;
}

}  // namespace tavro
