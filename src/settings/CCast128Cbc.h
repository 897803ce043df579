// CAST-128 in cipher block chaining mode: each block is chained to the block
// before it (the initialisation vector for the first).
#pragma once

#include "settings/CCast128.h"

namespace tavro {

class CCast128Cbc : public CCast128 {
public:
  // out = E(in ^ prev)
  bool EncryptBlock(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t* prev) override;
  // out = D(in) ^ prev
  bool DecryptBlock(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t* prev) override;
};

}  // namespace tavro
