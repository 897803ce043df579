// The mail server setting split into host and port: "host" or "host:port".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

struct MailServerAddress {
  // The setting as the probe's 512-byte buffer holds it: up to its first NUL
  // and at most 511 bytes, longer texts cut.
  static constexpr std::size_t MaxLength = 511;

  std::string Host;
  // The low 16 bits of the number after the first colon, read as atoi reads
  // it; none where there is no colon or the number is 0.
  std::optional<std::uint16_t> Port;

  static MailServerAddress Parse(std::string_view setting);
};

}  // namespace tavro
