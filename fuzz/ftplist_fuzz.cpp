// Server bytes the program cannot trust: LIST lines and names. The parser
// must never crash on them, and every name must survive the trip to program
// text and back in both encodings.
#include "ftp/FtpListParser.h"
#include "ftp/FtpTextCodec.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // 2026-12-06 20:32 UTC, and a moment near the start of a year.
  static const tavro::FtpListParser parsers[] = {tavro::FtpListParser(1796589120),
                                                 tavro::FtpListParser(1767225600)};
  static const tavro::FtpTextCodec codecs[] = {tavro::FtpTextCodec(tavro::FtpTextEncoding::Cp932),
                                               tavro::FtpTextCodec(tavro::FtpTextEncoding::Utf8)};
  std::size_t begin = 0;
  while (begin <= input.size()) {
    auto end = input.find('\n', begin);
    if (end == std::string_view::npos) {
      end = input.size();
    }
    const std::string_view line = input.substr(begin, end - begin);
    for (const auto& parser : parsers) {
      if (const auto entry = parser.ParseLine(line)) {
        if (entry->Name.empty() || entry->Name.size() > line.size()) {
          std::abort();
        }
      }
    }
    begin = end + 1;
  }
  for (const auto& codec : codecs) {
    const auto back = codec.ToWire(codec.ToText(input));
    if (!back || *back != input) {
      std::abort();
    }
  }
  return 0;
}
