// A check service's body is whatever the far end sends. The address scan must
// never crash on it and must only ever return a standing-alone dotted quad
// that occurs in the body; the logged first line must stay one short line.
#include "probe/HttpAddressCheck.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (const auto address = tavro::FirstIpv4Address(body)) {
    const std::size_t at = body.find(*address);
    // Taken alone it is itself again, and it is no more than a dotted quad.
    if (at == std::string_view::npos || address->size() < 7 || address->size() > 15 ||
        address->find_first_not_of("0123456789.") != std::string::npos ||
        tavro::FirstIpv4Address(*address) != *address) {
      std::abort();
    }
  }
  const std::string line = tavro::FirstBodyLine(body);
  if (line.size() > 511 || line.find_first_of(std::string_view("\n\0", 2)) != std::string::npos ||
      body.substr(0, line.size()) != line) {
    std::abort();
  }
  // The same bytes as a Trace text: parsing it must not crash either.
  if (const auto url = tavro::ParseCheckServiceUrl(body)) {
    if (url->Host.empty() || url->Target.empty() || url->Port == 0) {
      std::abort();
    }
  }
  return 0;
}
