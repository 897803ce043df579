// The name services of the C library. Every call is reentrant, so several
// workers may resolve at once.
#pragma once

#include "platform/NameResolver.h"

namespace tavro {

class SystemNameResolver : public INameResolver {
public:
  std::string HostName() override;
  std::vector<Ipv4Address> ResolveIPv4(const std::string& name) override;
  std::vector<Ipv4Address> InterfaceAddresses() override;
  std::optional<std::uint16_t> ServicePort(const std::string& service) override;
};

}  // namespace tavro
