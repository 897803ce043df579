// Which of the machine's addresses the probe reports as its LAN address.
#pragma once

#include "platform/Ipv4Address.h"

#include <functional>
#include <vector>

namespace tavro {

// The first address of the host name that is neither loopback nor link-local.
// A Debian machine's own name resolves to 127.0.1.1 through /etc/hosts, which
// is no use to anyone on the LAN, so where the name gives only such addresses
// the first such-free address of the interfaces is taken instead (listed only
// then, as it costs a system call), and failing that the name's first address.
// The name's addresses must not be empty.
Ipv4Address ChooseLanAddress(const std::vector<Ipv4Address>& nameAddresses,
                             const std::function<std::vector<Ipv4Address>()>& interfaceAddresses);

}  // namespace tavro
