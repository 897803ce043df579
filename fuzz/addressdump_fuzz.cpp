// One datagram of the kernel's address list, as bytes the parser has to take
// on trust only as far as it checks them. The input is the datagram itself.
// It is read as the answer to a fixed request (sequence kSequence from port
// kPort, what the seeds were recorded with) and as the answer to the request
// its first header names, so that mutated headers still reach the address
// messages. Each reading is done under a small address limit and a large one:
// the small must give the first addresses of the large, and fail exactly
// where the large found more. The prefix length is passed on as the kernel
// gives it, so nothing is asserted about its range.
#include "platform/GlobalIpv6.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
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

Reading Read(std::string_view datagram, std::uint32_t sequence, std::uint32_t port,
             std::size_t limit) {
  Reading reading;
  reading.Step =
      tavro::ParseAddressDump(datagram, sequence, port, limit, reading.Addresses, reading.Error);
  if (reading.Addresses.size() > limit) {
    std::abort();
  }
  if ((reading.Step == tavro::DumpStep::Failed) == reading.Error.empty()) {
    std::abort();
  }
  return reading;
}

void Check(std::string_view datagram, std::uint32_t sequence, std::uint32_t port) {
  const Reading small = Read(datagram, sequence, port, kSmallLimit);
  const Reading again = Read(datagram, sequence, port, kSmallLimit);
  if (again.Step != small.Step || again.Error != small.Error ||
      again.Addresses.size() != small.Addresses.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < small.Addresses.size(); ++i) {
    if (!Same(again.Addresses[i], small.Addresses[i])) {
      std::abort();
    }
  }
  const Reading large = Read(datagram, sequence, port, kLargeLimit);
  const bool overLimit = large.Addresses.size() > kSmallLimit;
  if (overLimit) {
    // Cut off at the limit: whatever came after it in the datagram (an end,
    // an error) was never reached.
    if (small.Step != tavro::DumpStep::Failed || small.Addresses.size() != kSmallLimit) {
      std::abort();
    }
  } else if (small.Step != large.Step || small.Error != large.Error ||
             small.Addresses.size() != large.Addresses.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < small.Addresses.size(); ++i) {
    if (!Same(small.Addresses[i], large.Addresses[i])) {
      std::abort();
    }
  }
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
