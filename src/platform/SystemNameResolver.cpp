#include "platform/SystemNameResolver.h"

#include "platform/SystemError.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tavro {

std::string SystemNameResolver::HostName() {
  // One byte short of the buffer, so the name always ends in a NUL even when
  // the system cuts it.
  std::array<char, 512> name{};
  ::gethostname(name.data(), name.size() - 1);
  return name.data();
}

std::vector<Ipv4Address> SystemNameResolver::ResolveIPv4(const std::string& name,
                                                         std::string* cause) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* list = nullptr;
  std::vector<Ipv4Address> addresses;
  if (const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &list); error != 0) {
    if (cause) {
      *cause = error == EAI_SYSTEM ? SystemErrorText(errno) : ::gai_strerror(error);
    }
    return addresses;
  }
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || !entry->ai_addr) {
      continue;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    const Ipv4Address address(ntohl(in->sin_addr.s_addr));
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  ::freeaddrinfo(list);
  if (addresses.empty() && cause) {
    *cause = kNoIpv4AddressCause;
  }
  return addresses;
}

std::vector<Ipv4Address> SystemNameResolver::InterfaceAddresses() {
  // SIOCGIFCONF lists just the IPv4 addresses, several times cheaper than
  // getifaddrs' netlink dump of every family, and this runs at every probe on
  // a machine whose name maps to loopback.
  std::vector<Ipv4Address> addresses;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return addresses;
  }
  std::vector<ifreq> requests(16);
  ifconf conf{};
  for (;;) {
    conf.ifc_len = static_cast<int>(requests.size() * sizeof(ifreq));
    conf.ifc_req = requests.data();
    if (::ioctl(fd, SIOCGIFCONF, &conf) != 0) {
      ::close(fd);
      return addresses;
    }
    // A full buffer may have cut the list short.
    if (static_cast<std::size_t>(conf.ifc_len) < requests.size() * sizeof(ifreq) ||
        requests.size() >= 4096) {
      break;
    }
    requests.resize(requests.size() * 2);
  }
  const std::size_t count = static_cast<std::size_t>(conf.ifc_len) / sizeof(ifreq);
  for (std::size_t i = 0; i < count; ++i) {
    const ifreq& request = requests[i];
    if (request.ifr_addr.sa_family != AF_INET) {
      continue;
    }
    ifreq flags{};
    std::memcpy(flags.ifr_name, request.ifr_name, sizeof(flags.ifr_name));
    if (::ioctl(fd, SIOCGIFFLAGS, &flags) != 0 || !(flags.ifr_flags & IFF_UP)) {
      continue;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
    addresses.emplace_back(ntohl(in->sin_addr.s_addr));
  }
  ::close(fd);
  return addresses;
}

std::optional<std::uint16_t> SystemNameResolver::ServicePort(const std::string& service) {
  servent entry{};
  servent* found = nullptr;
  std::array<char, 1024> buffer{};
  if (::getservbyname_r(service.c_str(), nullptr, &entry, buffer.data(), buffer.size(), &found) !=
          0 ||
      !found) {
    return std::nullopt;
  }
  return ntohs(static_cast<std::uint16_t>(found->s_port));
}

}  // namespace tavro
