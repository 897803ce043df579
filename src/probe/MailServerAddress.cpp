#include "probe/MailServerAddress.h"

namespace tavro {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Leading blanks, an optional sign, then digits up to the first non-digit.
// Only the low 16 bits count, so the number is kept modulo 65536 and can
// never overflow however many digits follow; whether it is zero is tracked
// apart, so 65536 is still an explicit (if useless) port.
std::optional<std::uint16_t> ParsePort(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint32_t low = 0;
  bool nonZero = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    low = (low * 10 + digit) & 0xFFFF;
    nonZero = nonZero || digit != 0;
  }
  if (!nonZero) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(negative ? (0x10000 - low) & 0xFFFF : low);
}

}  // namespace

MailServerAddress MailServerAddress::Parse(std::string_view setting) {
  setting = setting.substr(0, setting.find('\0'));
  setting = setting.substr(0, MaxLength);
  MailServerAddress address;
  const std::size_t colon = setting.find(':');
  address.Host = std::string(setting.substr(0, colon));
  if (colon != std::string_view::npos) {
    address.Port = ParsePort(setting.substr(colon + 1));
  }
  return address;
}

}  // namespace tavro
