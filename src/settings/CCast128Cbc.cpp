#include "settings/CCast128Cbc.h"

namespace tavro {

bool CCast128Cbc::EncryptBlock(std::uint8_t* out, const std::uint8_t* in,
                               const std::uint8_t* prev) {
  for (int i = 0; i < kBlockSize; ++i) {
    EncryptScratch[i] = static_cast<std::uint8_t>(in[i] ^ prev[i]);
  }
  EncipherBlock(out, EncryptScratch);
  return true;
}

bool CCast128Cbc::DecryptBlock(std::uint8_t* out, const std::uint8_t* in,
                               const std::uint8_t* prev) {
  // Through the scratch block, so that out may be in itself.
  DecipherBlock(DecryptScratch, in);
  for (int i = 0; i < kBlockSize; ++i) {
    out[i] = static_cast<std::uint8_t>(DecryptScratch[i] ^ prev[i]);
  }
  return true;
}

}  // namespace tavro
