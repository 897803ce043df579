#include "platform/CauseLine.h"

#include "platform/CodePage932.h"

namespace tavro {
namespace {

// Length of the UTF-8 character that starts at text[i], 0 where none does.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  if (lead < 0x80) {
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
  } else {
    return 0;
  }
  if (i + length > text.size() || !cp932::IsValidUtf8(text.substr(i, length))) {
    return 0;
  }
  return length;
}

}  // namespace

std::string BoundedCause(std::string_view text) {
  const std::size_t end = text.find_first_of(std::string_view("\r\n\0", 3));
  std::string_view line = text.substr(0, end);
  std::string decoded;
  if (cp932::IsValidUtf8(line)) {
    decoded = std::string(line);
  } else if (auto converted = cp932::ToUtf8(line)) {
    decoded = std::move(*converted);
  } else {
    for (std::size_t i = 0; i < line.size();) {
      const std::size_t length = Utf8Length(line, i);
      decoded += length == 0 ? std::string_view("?") : line.substr(i, length);
      i += length == 0 ? 1 : length;
    }
  }
  std::string bounded;
  for (std::size_t i = 0; i < decoded.size();) {
    const std::size_t length = Utf8Length(decoded, i);
    const std::size_t step = length == 0 ? 1 : length;
    if (bounded.size() + step > MaxCauseBytes) {
      break;
    }
    const auto c = static_cast<unsigned char>(decoded[i]);
    if (length == 0) {
      bounded += '?';
    } else if (c < 0x20 || c == 0x7F) {
      bounded += ' ';
    } else {
      bounded.append(decoded, i, length);
    }
    i += step;
  }
  while (!bounded.empty() && bounded.back() == ' ') {
    bounded.pop_back();
  }
  return bounded;
}

std::string CauseLine(std::string_view cause) {
  return std::string(kCausePrefix) + BoundedCause(cause);
}

std::string TimedOutCause(long long milliseconds) {
  const long long seconds = milliseconds < 1000 ? 1 : (milliseconds + 500) / 1000;
  return "timed out after " + std::to_string(seconds) + " s";
}

}  // namespace tavro
