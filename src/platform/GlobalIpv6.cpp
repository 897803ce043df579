#include "platform/GlobalIpv6.h"

#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>

namespace tavro {

static_assert(ipv6flag::kTemporary == IFA_F_TEMPORARY && ipv6flag::kDadFailed == IFA_F_DADFAILED &&
              ipv6flag::kDeprecated == IFA_F_DEPRECATED &&
              ipv6flag::kTentative == IFA_F_TENTATIVE && ipv6flag::kPermanent == IFA_F_PERMANENT);

namespace {

constexpr std::uint32_t kSkipped =
    ipv6flag::kTemporary | ipv6flag::kDeprecated | ipv6flag::kTentative | ipv6flag::kDadFailed;

// The kernel aligns messages and attributes to four bytes; the lengths in
// their headers leave the padding out.
constexpr std::size_t Align4(std::size_t length) {
  return (length + 3) & ~std::size_t{3};
}

// Reads a header out of the bytes, which need not be aligned; the caller has
// checked that they are there.
template <typename T>
T ReadAt(std::string_view bytes, std::size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

bool CutShort(std::string& error, const char* what) {
  error = std::string("the kernel's address list is malformed: ") + what;
  return false;
}

// One RTM_NEWADDR message's payload (after its nlmsghdr).
bool ParseAddressMessage(std::string_view payload, std::size_t maxAddresses,
                         std::vector<Ipv6InterfaceAddress>& out, std::string& error) {
  if (payload.size() < sizeof(ifaddrmsg)) {
    return CutShort(error, "an address message is cut short");
  }
  const auto header = ReadAt<ifaddrmsg>(payload, 0);
  if (header.ifa_family != AF_INET6) {
    return true;
  }
  Ipv6InterfaceAddress address;
  address.InterfaceIndex = header.ifa_index;
  address.PrefixLength = header.ifa_prefixlen;
  address.Flags = header.ifa_flags;
  bool haveAddress = false;
  bool haveLocal = false;
  std::array<std::uint8_t, 16> local{};
  for (std::size_t at = Align4(sizeof(ifaddrmsg)); at < payload.size();) {
    if (payload.size() - at < sizeof(rtattr)) {
      return CutShort(error, "an attribute header is cut short");
    }
    const auto attribute = ReadAt<rtattr>(payload, at);
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > payload.size() - at) {
      return CutShort(error, "an attribute's length is out of its message");
    }
    const std::string_view data =
        payload.substr(at + sizeof(rtattr), attribute.rta_len - sizeof(rtattr));
    switch (attribute.rta_type) {
      case IFA_ADDRESS:
      case IFA_LOCAL: {
        if (data.size() != 16) {
          return CutShort(error, "an IPv6 address is not 16 bytes");
        }
        auto& target = attribute.rta_type == IFA_LOCAL ? local : address.Bytes;
        std::memcpy(target.data(), data.data(), 16);
        (attribute.rta_type == IFA_LOCAL ? haveLocal : haveAddress) = true;
        break;
      }
      case IFA_FLAGS:
        // The full flags; the header's byte holds only the low eight.
        if (data.size() != sizeof(std::uint32_t)) {
          return CutShort(error, "the flags are not 4 bytes");
        }
        address.Flags = ReadAt<std::uint32_t>(data, 0);
        break;
      case IFA_CACHEINFO:
        if (data.size() < sizeof(ifa_cacheinfo)) {
          return CutShort(error, "the lifetimes are cut short");
        }
        address.PreferredLifetime = ReadAt<ifa_cacheinfo>(data, 0).ifa_prefered;
        address.ValidLifetime = ReadAt<ifa_cacheinfo>(data, 0).ifa_valid;
        break;
      default:
        break;
    }
    at += std::min(Align4(attribute.rta_len), payload.size() - at);
  }
  // On a point-to-point link IFA_ADDRESS is the peer's and IFA_LOCAL ours.
  if (haveLocal) {
    address.Bytes = local;
  } else if (!haveAddress) {
    return true;
  }
  if (out.size() >= maxAddresses) {
    error = "the kernel lists more than " + std::to_string(maxAddresses) + " IPv6 addresses";
    return false;
  }
  out.push_back(address);
  return true;
}

// Closes the socket on every way out.
class Socket {
public:
  explicit Socket(int fd) : Fd(fd) {}
  ~Socket() {
    if (Fd >= 0) {
      ::close(Fd);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Get() const { return Fd; }

private:
  int Fd;
};

std::string Failure(const char* step, int error) {
  return std::string("netlink ") + step + ": " + SystemErrorText(error);
}

// One dump, start to end. Interrupted is given back for the caller to retry.
DumpStep DumpOnce(const Ipv6ReadLimits& limits, std::chrono::steady_clock::time_point deadline,
                  std::vector<Ipv6InterfaceAddress>& out, std::string& error) {
  Socket socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (socket.Get() < 0) {
    error = Failure("socket", errno);
    return DumpStep::Failed;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;  // port 0: the kernel picks one
  socklen_t localLength = sizeof local;
  if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
    error = Failure("bind", errno);
    return DumpStep::Failed;
  }
  static std::atomic<std::uint32_t> sequences{1};
  const std::uint32_t sequence = sequences.fetch_add(1);

  struct {
    nlmsghdr Header;
    ifaddrmsg Body;
  } request{};
  request.Header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
  request.Header.nlmsg_type = RTM_GETADDR;
  request.Header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.Header.nlmsg_seq = sequence;
  request.Header.nlmsg_pid = local.nl_pid;
  request.Body.ifa_family = AF_INET6;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = ::sendto(socket.Get(), &request, request.Header.nlmsg_len, 0,
                    reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(request.Header.nlmsg_len)) {
    error = Failure("send", sent < 0 ? errno : EMSGSIZE);
    return DumpStep::Failed;
  }

  // The kernel fills each part of a dump up to 32 KiB; twice that leaves
  // room, and a part that still does not fit is a failure, not a silent cut.
  std::vector<char> buffer(std::size_t{64} << 10);
  std::size_t total = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error = "netlink: no complete answer within " + std::to_string(limits.Reply.count()) + " ms";
      return DumpStep::Failed;
    }
    pollfd wait{socket.Get(), POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
    if (ready < 0 && errno != EINTR) {
      error = Failure("poll", errno);
      return DumpStep::Failed;
    }
    if (ready <= 0) {
      continue;  // the deadline is checked above
    }
    sockaddr_nl from{};
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = ::recvmsg(socket.Get(), &message, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      error = Failure("receive", errno);
      return DumpStep::Failed;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
      error = "netlink: a part of the answer is larger than " + std::to_string(buffer.size()) +
              " bytes";
      return DumpStep::Failed;
    }
    if (from.nl_pid != 0) {
      continue;  // not from the kernel
    }
    total += static_cast<std::size_t>(got);
    if (total > limits.Bytes) {
      error = "netlink: the answer is larger than " + std::to_string(limits.Bytes) + " bytes";
      return DumpStep::Failed;
    }
    const DumpStep step =
        ParseAddressDump(std::string_view(buffer.data(), static_cast<std::size_t>(got)), sequence,
                         local.nl_pid, limits.Addresses, out, error);
    if (step != DumpStep::More) {
      return step;
    }
  }
}

auto OrderKey(const Ipv6InterfaceAddress& a) {
  return std::make_tuple(a.InterfaceIndex, (a.Flags & ipv6flag::kPermanent) == 0, a.Bytes);
}

}  // namespace

std::string Ipv6InterfaceAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET6, Bytes.data(), text, sizeof text) ? text : "";
}

bool IsGlobalIpv6(const std::array<std::uint8_t, 16>& b) {
  if ((b[0] & 0xE0) != 0x20) {
    return false;
  }
  const bool documentation = (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0D && b[3] == 0xB8) ||
                             (b[0] == 0x3F && b[1] == 0xFF && (b[2] & 0xF0) == 0x00);
  return !documentation;
}

bool IsStableGlobalIpv6(const Ipv6InterfaceAddress& address) {
  return (address.Flags & kSkipped) == 0 && IsGlobalIpv6(address.Bytes);
}

std::optional<Ipv6InterfaceAddress> ChooseStableIpv6(
    const std::vector<Ipv6InterfaceAddress>& addresses) {
  const Ipv6InterfaceAddress* best = nullptr;
  for (const auto& candidate : addresses) {
    if (IsStableGlobalIpv6(candidate) &&
        (best == nullptr || OrderKey(candidate) < OrderKey(*best))) {
      best = &candidate;
    }
  }
  return best ? std::optional(*best) : std::nullopt;
}

std::string StableIpv6Text(const Ipv6Reading& reading) {
  const auto chosen = ChooseStableIpv6(reading.Addresses);
  return chosen ? chosen->Text() : std::string();
}

DumpStep ParseAddressDump(std::string_view datagram, std::uint32_t sequence, std::uint32_t port,
                          std::size_t maxAddresses, std::vector<Ipv6InterfaceAddress>& out,
                          std::string& error) {
  for (std::size_t at = 0; at < datagram.size();) {
    const std::size_t left = datagram.size() - at;
    if (left < sizeof(nlmsghdr)) {
      CutShort(error, "a message header is cut short");
      return DumpStep::Failed;
    }
    const auto header = ReadAt<nlmsghdr>(datagram, at);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > left) {
      CutShort(error, "a message's length is out of its datagram");
      return DumpStep::Failed;
    }
    const std::string_view payload =
        datagram.substr(at + sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
    at += std::min(Align4(header.nlmsg_len), left);
    if (header.nlmsg_seq != sequence || header.nlmsg_pid != port) {
      continue;  // an answer to someone else's request
    }
    if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
      return DumpStep::Interrupted;
    }
    switch (header.nlmsg_type) {
      case NLMSG_DONE:
        return DumpStep::Done;
      case NLMSG_ERROR: {
        if (payload.size() < sizeof(int)) {
          CutShort(error, "an error message is cut short");
          return DumpStep::Failed;
        }
        const int code = ReadAt<int>(payload, 0);
        if (code == 0) {
          break;  // an acknowledgement, no error
        }
        // A negated errno; the lowest int has no negation and is no errno.
        error = "netlink address list: " +
                SystemErrorText(code < 0 && code != std::numeric_limits<int>::min() ? -code : code);
        return DumpStep::Failed;
      }
      case RTM_NEWADDR:
        if (!ParseAddressMessage(payload, maxAddresses, out, error)) {
          return DumpStep::Failed;
        }
        break;
      default:
        break;
    }
  }
  return DumpStep::More;
}

Ipv6Reading ReadIpv6Addresses(const Ipv6ReadLimits& limits) {
  const auto deadline = std::chrono::steady_clock::now() + limits.Reply;
  Ipv6Reading reading;
  // A dump the kernel marks as interrupted saw the list change under it; the
  // next one is whole unless addresses keep changing.
  for (int attempt = 0; attempt < 3; ++attempt) {
    reading.Addresses.clear();
    reading.Error.clear();
    const DumpStep step = DumpOnce(limits, deadline, reading.Addresses, reading.Error);
    if (step == DumpStep::Done) {
      return reading;
    }
    if (step == DumpStep::Failed) {
      reading.Addresses.clear();
      return reading;
    }
  }
  reading.Addresses.clear();
  reading.Error = "netlink: the addresses kept changing while they were read";
  return reading;
}

}  // namespace tavro
