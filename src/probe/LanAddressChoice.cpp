#include "probe/LanAddressChoice.h"

#include <algorithm>
#include <optional>

namespace tavro {

namespace {

std::optional<Ipv4Address> FirstReachable(const std::vector<Ipv4Address>& addresses) {
  const auto found = std::find_if(addresses.begin(), addresses.end(), [](const Ipv4Address& a) {
    return !a.IsLoopback() && !a.IsLinkLocal();
  });
  if (found == addresses.end()) {
    return std::nullopt;
  }
  return *found;
}

}  // namespace

Ipv4Address ChooseLanAddress(const std::vector<Ipv4Address>& nameAddresses,
                             const std::function<std::vector<Ipv4Address>()>& interfaceAddresses) {
  if (const auto named = FirstReachable(nameAddresses)) {
    return *named;
  }
  if (const auto local = FirstReachable(interfaceAddresses())) {
    return *local;
  }
  return nameAddresses.front();
}

}  // namespace tavro
