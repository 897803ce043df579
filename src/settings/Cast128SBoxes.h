// Substitution boxes shared by the block cipher's rounds and key schedule.
#pragma once

#include <cstdint>

namespace tavro::cast128 {

// kSBox[0] is S1 ... kSBox[7] is S8.
extern const std::uint32_t kSBox[8][256];

}  // namespace tavro::cast128
