// The stored form of the FTP password: a 32-byte header (check digest, repeat
// count, salt; each block encrypted on its own) and the padded password in
// CBC mode with the salt as initialisation vector. The key is the user name,
// so the value decodes only under the name it was saved with.
#pragma once

#include <cstdint>

#include "settings/CCast128Cbc.h"

namespace tavro {

class CPasswordCipher : public CCast128Cbc {
public:
  static constexpr int kHeaderSize = 32;
  static constexpr int kSaltSize = 8;
  // Counts above this are refused before any hashing.
  static constexpr std::uint32_t kMaxRepeat = 0x10000;

  // Size of the stored value for n plain bytes; -1 when n is negative or the
  // size would not fit an int.
  static int EncodedLength(int n);
  // Size of the plain buffer for n stored bytes; -1 below the header size.
  static int DecodedCapacity(int n);

  // Writes the stored value for the n input bytes (the password and its NUL).
  // outLength holds the capacity on entry (EncodedLength of n at least) and
  // receives the stored length, which is also returned. -1, with nothing
  // written, for missing buffers, n < 1, too small an output or no random
  // bytes to be had.
  int EncodePassword(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                     ProgressFn progress = nullptr, void* cookie = nullptr);
  // Recovers the plain bytes (with the NUL they were encoded with) from a
  // stored value. outLength holds the capacity on entry and receives the
  // plain length, which is also returned. -1 for any value that this key did
  // not produce as far as can be told (short, bad count, digest mismatch, bad
  // body or padding), for missing buffers, and for an output too small for
  // the plain bytes. Never reads outside in[0, inLength) or writes outside
  // out[0, outLength). A value whose body was altered after saving may
  // still decode, to bytes without a final NUL: use the returned length.
  int DecodePassword(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                     ProgressFn progress = nullptr, void* cookie = nullptr);

  // n bytes from the system's cryptographic generator. Virtual so that a test
  // can supply a known salt and count. Throws std::exception when no random
  // bytes can be had.
  virtual void RandomBytes(std::uint8_t* buffer, int n);
};

}  // namespace tavro
