#include "platform/PublishableAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace tavro {

namespace {

constexpr std::string_view kIpv6Tag = "IPv6:";

bool StartsWithTag(std::string_view text) {
  return text.size() >= kIpv6Tag.size() &&
         std::equal(kIpv6Tag.begin(), kIpv6Tag.end(), text.begin(), [](char tag, char c) {
           const auto lower = [](char x) { return x >= 'A' && x <= 'Z' ? char(x + 32) : x; };
           return lower(tag) == lower(c);
         });
}

}  // namespace

std::optional<std::string> PublishableAddress(std::string_view text) {
  // inet_pton reads a C string; a NUL inside would hide what follows it.
  if (text.empty() || text.find('\0') != std::string_view::npos ||
      text.size() > INET6_ADDRSTRLEN + kIpv6Tag.size()) {
    return std::nullopt;
  }
  in6_addr buffer{};
  const std::string whole(text);
  if (::inet_pton(AF_INET, whole.c_str(), &buffer) == 1) {
    return whole;
  }
  const std::string bare = StartsWithTag(text) ? whole.substr(kIpv6Tag.size()) : whole;
  if (::inet_pton(AF_INET6, bare.c_str(), &buffer) == 1) {
    return bare;
  }
  return std::nullopt;
}

}  // namespace tavro
