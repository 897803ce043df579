// A check service's body is whatever the far end sends. The address scan must
// never crash on it and must only ever return a standing-alone dotted quad
// that occurs in the body; the logged first line must stay one short line.
#include "probe/HttpAddressCheck.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Four numbers of 0 to 255 without leading zeros, three dots between.
bool IsDottedQuad(std::string_view text) {
  int numbers = 0;
  std::size_t i = 0;
  while (numbers < 4) {
    const std::size_t begin = i;
    unsigned value = 0;
    while (i < text.size() && IsDigit(text[i]) && i - begin < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - begin;
    if (digits == 0 || value > 255 || (digits > 1 && text[begin] == '0')) {
      return false;
    }
    if (++numbers < 4) {
      if (i >= text.size() || text[i] != '.') {
        return false;
      }
      ++i;
    }
  }
  return i == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (const auto address = tavro::FirstIpv4Address(body)) {
    const std::size_t at = body.find(*address);
    if (!IsDottedQuad(*address) || at == std::string_view::npos) {
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
