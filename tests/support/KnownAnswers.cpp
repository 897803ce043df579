#include "support/KnownAnswers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace tavro::test {

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  throw std::invalid_argument("not a hex digit");
}

}  // namespace

std::vector<KnownAnswer> ReadKnownAnswers(const std::string& fileName) {
  std::ifstream file(std::string(TAVRO_TEST_DATA_DIR) + "/" + fileName);
  EXPECT_TRUE(file) << "cannot read " << fileName;
  std::vector<KnownAnswer> records;
  KnownAnswer current;
  std::string line;
  while (std::getline(file, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') {
      if (line.empty() && !current.empty()) {
        records.push_back(std::move(current));
        current.clear();
      }
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      ADD_FAILURE() << fileName << ": no '=' in " << line;
      continue;
    }
    current[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
  }
  if (!current.empty()) {
    records.push_back(std::move(current));
  }
  return records;
}

std::vector<std::uint8_t> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) {
    throw std::invalid_argument("odd number of hex digits");
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(HexDigit(hex[i]) * 16 + HexDigit(hex[i + 1])));
  }
  return bytes;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace tavro::test
