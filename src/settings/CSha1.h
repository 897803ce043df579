// SHA-1 (FIPS 180-1) of one input fed a set number of times in a row, which is
// how the password check digest stretches its salt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/CCast128.h"

namespace tavro {

class CSha1 {
public:
  static constexpr int kDigestSize = 20;

  // How many times Hash feeds its input; 0 hashes the empty message.
  void SetRepeat(std::uint32_t n) { Repeat = n; }

  // Digest of the input repeated as set. outLength must be 20 or more on
  // entry and receives 20, which is also returned. Returns 0 (and writes
  // nothing) for a missing or short output, a missing input or negative
  // length, or a message longer than 2^64 - 1 bits. Progress reports
  // (0, repeat) first, (i, repeat) after repetition i and (0, repeat) last.
  int Hash(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
           ProgressFn progress = nullptr, void* cookie = nullptr);

private:
  void Reset();
  void Update(const std::uint8_t* data, std::size_t size);
  void Finish(std::uint8_t* digest);
  void Compress(const std::uint8_t* blocks, std::size_t count);

  std::uint32_t Chain[5] = {};
  std::uint32_t LengthLow = 0;  // message length in bits
  std::uint32_t LengthHigh = 0;
  std::uint8_t Buffer[64] = {};
  std::uint32_t Buffered = 0;
  std::uint32_t Repeat = 10;
};

}  // namespace tavro
