#include "platform/SystemNameResolver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

namespace tavro {

std::string SystemNameResolver::HostName() {
  // One byte short of the buffer, so the name always ends in a NUL even when
  // the system cuts it.
  std::array<char, 512> name{};
  ::gethostname(name.data(), name.size() - 1);
  return name.data();
}

std::vector<Ipv4Address> SystemNameResolver::ResolveIPv4(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* list = nullptr;
  std::vector<Ipv4Address> addresses;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) {
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
  return addresses;
}

std::vector<Ipv4Address> SystemNameResolver::InterfaceAddresses() {
  std::vector<Ipv4Address> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return addresses;
  }
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP)) {
      continue;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    addresses.emplace_back(ntohl(in->sin_addr.s_addr));
  }
  ::freeifaddrs(list);
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
