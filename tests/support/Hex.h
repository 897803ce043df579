// Known answers are written in hex as the standards print them: "0A1b" ->
// {0x0A, 0x1B}.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavro::test {

inline std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace tavro::test
