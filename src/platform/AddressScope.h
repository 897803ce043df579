// Where an IPv4 address belongs, for the warning that a WAN address cannot be
// reached from outside.
#pragma once

#include <string_view>

namespace tavro {

enum class AddressScope {
  Public,            // everything below does not hold, IPv6 and non-addresses included
  SharedByProvider,  // 100.64.0.0/10, the provider's carrier-grade NAT
  PrivateNetwork,    // 10/8, 172.16/12, 192.168/16 and loopback 127/8
};

// The scope of a dotted-decimal IPv4 address as inet_pton reads it.
AddressScope ScopeOfAddress(std::string_view address);

}  // namespace tavro
