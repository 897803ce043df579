// The name services the address probe needs, behind one interface so that the
// choice of the LAN address can be tried against machines other than this one.
#pragma once

#include "platform/Ipv4Address.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavro {

// The cause where a name gives no IPv4 address and the resolver says no more.
inline constexpr char kNoIpv4AddressCause[] = "no IPv4 address for the name";

class INameResolver {
public:
  virtual ~INameResolver() = default;

  // The machine's own host name.
  virtual std::string HostName() = 0;
  // The IPv4 addresses of a name in the resolver's order; empty when it does
  // not resolve, and then, where cause is given, why in the resolver's own
  // words ("Name or service not known"). Blocks as long as the system
  // resolver does.
  virtual std::vector<Ipv4Address> ResolveIPv4(const std::string& name,
                                               std::string* cause = nullptr) = 0;
  // The IPv4 addresses of the machine's interfaces that are up, in the order
  // the system lists them.
  virtual std::vector<Ipv4Address> InterfaceAddresses() = 0;
  // The port of a named service from the services database, any protocol.
  virtual std::optional<std::uint16_t> ServicePort(const std::string& service) = 0;
};

}  // namespace tavro
