// Protocol words (URL schemes, value types) compared as ASCII, whatever the
// locale: a Turkish locale must not make "FILE" differ from "file".
#pragma once

#include <string_view>

namespace tavro {

inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// lowerPrefix is written in lower case.
inline bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
  if (text.size() < lowerPrefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
    if (LowerAscii(text[i]) != lowerPrefix[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace tavro
