// One datagram of the kernel's address list, as bytes the parser has to take
// on trust only as far as it checks them. The input is the datagram itself.
// It is read as the answer to a fixed request (sequence kSequence from port
// kPort, what the seeds were recorded with) and as the answer to the request
// its first header names, so that mutated headers still reach the address
// messages; each time under a small address limit and a large one.
//
// The parser must agree with a plain walk over the datagram by the kernel
// headers' own NLMSG_/RTA_ macros: an over-read past the datagram's end shows
// to the sanitizer, but a length check loosened inside it (an attribute read
// into the next one) shows only as a different result. The prefix length is
// passed on as the kernel gives it, so nothing is asserted about its range.
#include "platform/GlobalIpv6.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kSequence = 0x7A0D0001;
constexpr std::uint32_t kPort = 0x7A0D;
constexpr std::size_t kSmallLimit = 3;
constexpr std::size_t kLargeLimit = 1 << 16;

struct Reading {
  tavro::DumpStep Step;
  std::vector<tavro::Ipv6InterfaceAddress> Addresses;
  std::string Error;
};

bool Same(const tavro::Ipv6InterfaceAddress& a, const tavro::Ipv6InterfaceAddress& b) {
  return a.Bytes == b.Bytes && a.InterfaceIndex == b.InterfaceIndex && a.Flags == b.Flags &&
         a.PrefixLength == b.PrefixLength && a.PreferredLifetime == b.PreferredLifetime &&
         a.ValidLifetime == b.ValidLifetime;
}

bool Same(const std::vector<tavro::Ipv6InterfaceAddress>& a,
          const std::vector<tavro::Ipv6InterfaceAddress>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!Same(a[i], b[i])) {
      return false;
    }
  }
  return true;
}

// The macros dereference the headers, so the walk gets a copy aligned as the
// kernel's buffers are. Its edges are left out of the coverage: they would
// steer the fuzzer towards the reference instead of the parser, and would
// keep the coverage floor met by a build whose library lost its
// instrumentation.
__attribute__((no_sanitize("coverage"))) Reading Walk(std::string_view datagram,
                                                      std::uint32_t sequence, std::uint32_t port,
                                                      std::size_t limit) {
  using tavro::DumpStep;
  std::vector<std::uint32_t> storage(datagram.size() / 4 + 1);
  std::memcpy(storage.data(), datagram.data(), datagram.size());
  Reading reading{DumpStep::More, {}, {}};
  long left = static_cast<long>(datagram.size());  // signed: the last message may be unpadded
  for (auto* message = reinterpret_cast<nlmsghdr*>(storage.data()); NLMSG_OK(message, left);
       message = NLMSG_NEXT(message, left)) {
    if (message->nlmsg_seq != sequence || message->nlmsg_pid != port) {
      continue;
    }
    if (message->nlmsg_flags & NLM_F_DUMP_INTR) {
      return {DumpStep::Interrupted, std::move(reading.Addresses), {}};
    }
    if (message->nlmsg_type == NLMSG_DONE) {
      return {DumpStep::Done, std::move(reading.Addresses), {}};
    }
    const std::size_t payload = message->nlmsg_len - NLMSG_HDRLEN;
    if (message->nlmsg_type == NLMSG_ERROR) {
      if (payload < sizeof(int)) {
        return {DumpStep::Failed, std::move(reading.Addresses), "short error"};
      }
      if (*static_cast<int*>(NLMSG_DATA(message)) != 0) {
        return {DumpStep::Failed, std::move(reading.Addresses), "error"};
      }
      continue;
    }
    if (message->nlmsg_type != RTM_NEWADDR) {
      continue;
    }
    if (payload < sizeof(ifaddrmsg)) {
      return {DumpStep::Failed, std::move(reading.Addresses), "short address message"};
    }
    const auto* header = static_cast<ifaddrmsg*>(NLMSG_DATA(message));
    if (header->ifa_family != AF_INET6) {
      continue;
    }
    tavro::Ipv6InterfaceAddress address;
    address.InterfaceIndex = header->ifa_index;
    address.PrefixLength = header->ifa_prefixlen;
    address.Flags = header->ifa_flags;
    const void* peer = nullptr;
    const void* local = nullptr;
    int attributesLeft = static_cast<int>(payload - NLMSG_ALIGN(sizeof(ifaddrmsg)));
    for (auto* attribute = IFA_RTA(header); RTA_OK(attribute, attributesLeft);
         attribute = RTA_NEXT(attribute, attributesLeft)) {
      const std::size_t size = RTA_PAYLOAD(attribute);
      const bool sizeFits = attribute->rta_type == IFA_ADDRESS || attribute->rta_type == IFA_LOCAL
                                ? size == 16
                            : attribute->rta_type == IFA_FLAGS     ? size == 4
                            : attribute->rta_type == IFA_CACHEINFO ? size >= sizeof(ifa_cacheinfo)
                                                                   : true;
      if (!sizeFits) {
        return {DumpStep::Failed, std::move(reading.Addresses), "attribute size"};
      }
      if (attribute->rta_type == IFA_ADDRESS) {
        peer = RTA_DATA(attribute);
      } else if (attribute->rta_type == IFA_LOCAL) {
        local = RTA_DATA(attribute);
      } else if (attribute->rta_type == IFA_FLAGS) {
        address.Flags = *static_cast<std::uint32_t*>(RTA_DATA(attribute));
      } else if (attribute->rta_type == IFA_CACHEINFO) {
        const auto* lifetimes = static_cast<ifa_cacheinfo*>(RTA_DATA(attribute));
        address.PreferredLifetime = lifetimes->ifa_prefered;
        address.ValidLifetime = lifetimes->ifa_valid;
      }
    }
    if (attributesLeft > 0) {
      return {DumpStep::Failed, std::move(reading.Addresses), "attribute length"};
    }
    const void* own = local != nullptr ? local : peer;
    if (own == nullptr) {
      continue;
    }
    if (reading.Addresses.size() >= limit) {
      return {DumpStep::Failed, std::move(reading.Addresses), "limit"};
    }
    std::memcpy(address.Bytes.data(), own, 16);
    reading.Addresses.push_back(address);
  }
  if (left > 0) {
    return {DumpStep::Failed, std::move(reading.Addresses), "message length"};
  }
  return reading;
}

Reading Read(std::string_view datagram, std::uint32_t sequence, std::uint32_t port,
             std::size_t limit) {
  Reading reading;
  reading.Step =
      tavro::ParseAddressDump(datagram, sequence, port, limit, reading.Addresses, reading.Error);
  if (reading.Addresses.size() > limit ||
      (reading.Step == tavro::DumpStep::Failed) == reading.Error.empty()) {
    std::abort();
  }
  const Reading plain = Walk(datagram, sequence, port, limit);
  if (reading.Step != plain.Step || !Same(reading.Addresses, plain.Addresses)) {
    std::abort();
  }
  return reading;
}

void Check(std::string_view datagram, std::uint32_t sequence, std::uint32_t port) {
  const Reading small = Read(datagram, sequence, port, kSmallLimit);
  const Reading again = Read(datagram, sequence, port, kSmallLimit);
  if (again.Step != small.Step || again.Error != small.Error ||
      !Same(again.Addresses, small.Addresses)) {
    std::abort();
  }
  const Reading large = Read(datagram, sequence, port, kLargeLimit);
  // A reading appends: what was in the list stays as it was.
  std::vector<tavro::Ipv6InterfaceAddress> appended(1);
  appended[0].InterfaceIndex = 0xC0FFEE;
  std::string error;
  tavro::ParseAddressDump(datagram, sequence, port, kLargeLimit, appended, error);
  if (appended.size() != 1 + large.Addresses.size() || appended[0].InterfaceIndex != 0xC0FFEE) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  Check(datagram, kSequence, kPort);
  // nlmsghdr: length, type, flags, then the sequence at 8 and the port at 12.
  if (size >= 16) {
    std::uint32_t sequence;
    std::uint32_t port;
    std::memcpy(&sequence, data + 8, sizeof sequence);
    std::memcpy(&port, data + 12, sizeof port);
    if (sequence != kSequence || port != kPort) {
      Check(datagram, sequence, port);
    }
  }
  return 0;
}
