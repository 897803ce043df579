#include "platform/AddressScope.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace tavro {

namespace {

bool InBlock(std::uint32_t address, std::uint32_t block, int prefix) {
  const std::uint32_t mask = ~std::uint32_t{0} << (32 - prefix);
  return (address & mask) == block;
}

}  // namespace

AddressScope ScopeOfAddress(std::string_view text) {
  in_addr parsed{};
  if (text.size() > 15 || text.find('\0') != std::string_view::npos ||
      ::inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1) {
    return AddressScope::Public;
  }
  const std::uint32_t address = ntohl(parsed.s_addr);
  if (InBlock(address, 0x64400000, 10)) {
    return AddressScope::SharedByProvider;
  }
  if (InBlock(address, 0x0A000000, 8) || InBlock(address, 0xAC100000, 12) ||
      InBlock(address, 0xC0A80000, 16) || InBlock(address, 0x7F000000, 8)) {
    return AddressScope::PrivateNetwork;
  }
  return AddressScope::Public;
}

}  // namespace tavro
