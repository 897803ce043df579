// The template filling on arbitrary bytes. Input: one byte for the address
// length, one for the piece size, the address, then the template. The page
// must equal a plain line-by-line filling, must not depend on where the
// template is cut, and must keep the template's line count.
#include "publish/PageGenerator.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// The filling written the obvious way, on the whole template at once.
std::string LineByLine(std::string_view text, const std::string& address) {
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
      const std::size_t hit = line.find("#####", at);
      page.append(line.substr(at, hit - at));
      if (hit == std::string_view::npos) {
        break;
      }
      page += address;
      at = hit + 5;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t addressLength = std::min<std::size_t>(input[0] % 32, size - 2);
  const std::size_t pieceSize = static_cast<unsigned char>(input[1]) + 1;
  const std::string_view address = input.substr(2, addressLength);
  const std::string_view text = input.substr(2 + addressLength);

  const std::string page = tavro::FillTemplate(text, address);
  tavro::PageFiller filler(address);
  const std::string& bytes = filler.AddressBytes();
  if (page != LineByLine(text, bytes)) {
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
  if (bytes.find_first_of("\r\n") == std::string::npos) {
    if (Lines(page) != Lines(text) || (!page.empty() && !page.ends_with("\r\n"))) {
      std::abort();
    }
  }
  if (bytes.find('#') == std::string::npos && page.find("#####") != std::string::npos) {
    std::abort();
  }
  return 0;
}
