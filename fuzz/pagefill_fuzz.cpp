// The template filling on arbitrary bytes. Input: one byte whose low five bits
// are the address length and whose high three choose the IPv6 address (0:
// none, so "%%IPV6%%" is text; 1: empty; 2 to 6: fixed addresses; 7: the
// address bytes again, unchecked, so that a replacement holding "%", "#" or a
// line end is tried too), one byte for the piece size, the address, then the
// template. The page must equal a plain filling of the whole template, must
// not depend on where the template is cut, and must keep the template's line
// count.
#include "publish/PageGenerator.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view Hashes = "#####";

// The filling written the obvious way, on the whole template at once: each
// line searched left to right for whichever of "#####" and "%%IPV6%%" comes
// first. They share no byte, so neither can start inside the other.
std::string Plain(std::string_view text, const std::string& address,
                  std::optional<std::string_view> ipv6) {
  std::string page;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t lf = text.find('\n', start);
    const std::size_t stop = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(start, stop - start);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    for (std::size_t at = 0;;) {
      const std::size_t hash = line.find(Hashes, at);
      const std::size_t token =
          ipv6 ? line.find(tavro::kIpv6Placeholder, at) : std::string_view::npos;
      const std::size_t hit = std::min(hash, token);
      page.append(line.substr(at, hit - at));
      if (hit == std::string_view::npos) {
        break;
      }
      if (hit == hash) {
        page += address;
        at = hit + Hashes.size();
      } else {
        page += *ipv6;
        at = hit + tavro::kIpv6Placeholder.size();
      }
    }
    page += "\r\n";
    start = stop + 1;
  }
  return page;
}

std::size_t Lines(std::string_view text) {
  const std::size_t ends = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  return ends + (!text.empty() && text.back() != '\n');
}

// Whether a replacement cannot make up part of a "%%IPV6%%" in the page: one
// reaching past either end of it would hold "%", and one inside it is a
// piece of "IPV6" ("%%IP" and "V6%%" around an empty one join as well).
bool CannotFormToken(std::string_view replacement) {
  return !replacement.empty() && replacement.find('%') == std::string_view::npos &&
         std::string_view("IPV6").find(replacement) == std::string_view::npos;
}

std::optional<std::string_view> ChooseIpv6(unsigned choice, std::string_view address) {
  switch (choice) {
    case 0:
      return std::nullopt;
    case 1:
      return "";
    case 2:
      return "2400:1::10";
    case 3:
      return "::";
    case 4:
      return "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    case 5:
      return "::ffff:192.0.2.1";
    case 6:
      return "2001:db8::6";
    default:
      return address;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t addressLength = std::min<std::size_t>(data[0] % 32, size - 2);
  const std::size_t pieceSize = static_cast<std::size_t>(data[1]) + 1;
  const std::string_view address = input.substr(2, addressLength);
  const std::string_view text = input.substr(2 + addressLength);
  const std::optional<std::string_view> ipv6 = ChooseIpv6(data[0] / 32, address);

  const std::string page =
      ipv6 ? tavro::FillTemplate(text, address, *ipv6) : tavro::FillTemplate(text, address);
  tavro::PageFiller filler(address, ipv6);
  const std::string& bytes = filler.AddressBytes();
  if (page != Plain(text, bytes, ipv6)) {
    std::abort();
  }
  std::string pieces;
  for (std::size_t at = 0; at < text.size(); at += pieceSize) {
    filler.Feed(text.substr(at, pieceSize), pieces);
  }
  filler.Finish(pieces);
  if (pieces != page) {
    std::abort();
  }
  const std::string_view inserted = ipv6.value_or("");
  if (bytes.find_first_of("\r\n") == std::string::npos &&
      inserted.find_first_of("\r\n") == std::string_view::npos) {
    if (Lines(page) != Lines(text) || (!page.empty() && !page.ends_with("\r\n"))) {
      std::abort();
    }
  }
  // An empty IPv6 address joins the "#" runs on either side of its token.
  const bool ipv6KeepsRunsApart = !ipv6 || (!ipv6->empty() && ipv6->find('#') == std::string::npos);
  if (bytes.find('#') == std::string::npos && ipv6KeepsRunsApart &&
      page.find(Hashes) != std::string::npos) {
    std::abort();
  }
  if (ipv6 && CannotFormToken(bytes) && CannotFormToken(*ipv6) &&
      page.find(tavro::kIpv6Placeholder) != std::string::npos) {
    std::abort();
  }
  return 0;
}
