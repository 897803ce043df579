#include "platform/CodePage932.h"

#include <iconv.h>
#include <cerrno>

namespace tavro::cp932 {
namespace {

// iconv descriptors carry shift state and are not thread-safe, so each
// conversion opens its own; conversions are short and rare.
std::optional<std::string> Convert(const char* to, const char* from, std::string_view input) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return std::nullopt;
  }
  std::string output;
  output.resize(input.size() * 4 + 16);
  // iconv's interface is not const-correct; it never writes through inbuf.
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  char* out = output.data();
  std::size_t outLeft = output.size();
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) {
        const std::size_t used = output.size() - outLeft;
        output.resize(output.size() * 2);
        out = output.data() + used;
        outLeft = output.size() - used;
        continue;
      }
      ok = false;  // EILSEQ or EINVAL: unmappable or truncated input
      break;
    }
  }
  // Flush any shift state; neither encoding has one, but the call is cheap.
  if (ok && iconv(cd, nullptr, nullptr, &out, &outLeft) == static_cast<std::size_t>(-1)) {
    ok = false;
  }
  iconv_close(cd);
  if (!ok) {
    return std::nullopt;
  }
  output.resize(output.size() - outLeft);
  return output;
}

}  // namespace

std::optional<std::string> FromUtf8(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) {
    return std::nullopt;
  }
  auto bytes = Convert("CP932", "UTF-8", utf8);
  // Several characters share a byte form with another one; only the one that
  // comes back is the user's text.
  if (!bytes || Convert("UTF-8", "CP932", *bytes) != utf8) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> FirstUnrepresentable(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) {
    return std::nullopt;
  }
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::string_view one = utf8.substr(i, length);
    if (!FromUtf8(one)) {
      return std::string(one);
    }
    i += length;
  }
  return std::nullopt;
}

std::optional<std::string> ToUtf8(std::string_view bytes) {
  return Convert("UTF-8", "CP932", bytes);
}

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t extra = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (bytes.size() - i <= extra) {
      return false;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace tavro::cp932
