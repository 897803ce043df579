// Known-answer files in tests/data: records of "name = value" lines, separated
// by blank lines; lines starting with '#' are comments.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::test {

using KnownAnswer = std::map<std::string, std::string>;

// Reads TAVRO_TEST_DATA_DIR/fileName; fails the calling test (and returns no
// records) when the file cannot be read.
std::vector<KnownAnswer> ReadKnownAnswers(const std::string& fileName);

// "0A1b" -> {0x0A, 0x1B}. Throws std::invalid_argument on anything else.
std::vector<std::uint8_t> FromHex(std::string_view hex);
std::string ToHex(const std::uint8_t* bytes, std::size_t size);

}  // namespace tavro::test
