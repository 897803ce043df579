// The name services of the C library. Every call is reentrant, so several
// workers may resolve at once.
#pragma once

#include "platform/NameResolver.h"

namespace tavro {

class SystemNameResolver : public INameResolver {
public:
  std::string HostName() override;
  // The cause is gai_strerror's text, or the system error where that is
  // what getaddrinfo reports.
  std::vector<Ipv4Address> ResolveIPv4(const std::string& name,
                                       std::string* cause = nullptr) override;
  std::vector<Ipv4Address> InterfaceAddresses() override;
  std::optional<std::uint16_t> ServicePort(const std::string& service) override;
};

}  // namespace tavro
