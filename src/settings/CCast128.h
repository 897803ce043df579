// CAST-128 (RFC 2144) with a 128-bit key and 16 rounds, and the padded
// multi-block routines that the stored password format is built on.
#pragma once

#include <cstdint>

namespace tavro {

// Called with (done, total, cookie) while a long operation runs.
using ProgressFn = void (*)(std::int64_t done, std::int64_t total, void* cookie);

class CCast128 {
public:
  static constexpr int kBlockSize = 8;
  static constexpr int kKeySize = 16;

  CCast128();
  virtual ~CCast128();

  // The key is the text's bytes up to its NUL, at most 16, then zeros: an
  // empty or missing text gives the all-zero key. Always a full 128-bit key
  // schedule and 16 rounds, even for texts of 10 bytes or less.
  bool SetKey(const char* text);
  // The same with the 16 key bytes given as they are (zero bytes included).
  void SetKeyBytes(const std::uint8_t* key);
  // Copies 8 bytes into the initialisation vector.
  void SetIv(const std::uint8_t* block);

  // One 8-byte block. Here plain CAST-128 (prev is ignored); a derived mode
  // chains through prev. Both return true.
  virtual bool EncryptBlock(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t* prev);
  virtual bool DecryptBlock(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t* prev);

  // Body length for n plain bytes: n - n % 8 + 8 (always one padding block
  // more). -1 when n is negative or the result would not fit an int.
  static int PaddedLength(int n);

  // Pads (zeros, 0xFF, then the first n % 8 bytes) and encrypts through
  // EncryptBlock, chaining from the initialisation vector. outLength holds the
  // capacity on entry and receives the body length, which is also returned;
  // -1 on missing buffers, n < 1 or too small an output. Input and output
  // must not overlap.
  int EncryptPadded(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                    ProgressFn progress = nullptr, void* cookie = nullptr);
  // Decrypts through DecryptBlock and strips the padding. outLength holds the
  // capacity on entry and receives the plain length, which is also returned;
  // -1 on missing buffers, a length that is not a positive multiple of 8, a
  // bad padding block, or an output too small for the plain bytes. Input and
  // output must not overlap.
  int DecryptPadded(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                    ProgressFn progress = nullptr, void* cookie = nullptr);

protected:
  // Single-block CAST-128, whatever the mode of the object.
  void EncipherBlock(std::uint8_t* out, const std::uint8_t* in) const;
  void DecipherBlock(std::uint8_t* out, const std::uint8_t* in) const;

  std::uint8_t Iv[kBlockSize] = {};
  std::uint8_t EncryptScratch[kBlockSize] = {};
  std::uint8_t DecryptScratch[kBlockSize] = {};
  std::uint8_t PadBlock[kBlockSize] = {};
  std::uint8_t UnpadBlock[kBlockSize] = {};
  std::uint8_t Key[kKeySize] = {};
  std::uint32_t RotationKeys[16] = {};
  std::uint32_t MaskingKeys[16] = {};
};

}  // namespace tavro
