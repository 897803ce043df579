#include "settings/CPasswordCipher.h"

#include <climits>
#include <cstring>
#include <exception>
#include <random>

#include "settings/CSha1.h"

namespace tavro {

namespace {

constexpr int kDigestOffset = 0;
constexpr int kCheckedDigestBytes = 8;
constexpr int kCountOffset = 20;
constexpr int kSaltOffset = 24;

std::uint32_t LoadLittle(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void StoreLittle(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The check digest: SHA-1 of the salt repeated count times.
bool SaltDigest(std::uint8_t* digest, const std::uint8_t* salt, std::uint32_t count) {
  CSha1 sha;
  sha.SetRepeat(count);
  int length = CSha1::kDigestSize;
  return sha.Hash(digest, length, salt, CPasswordCipher::kSaltSize) == CSha1::kDigestSize;
}

}  // namespace

int CPasswordCipher::EncodedLength(int n) {
  const int body = PaddedLength(n);
  if (body < 0 || body > INT_MAX - kHeaderSize) {
    return -1;
  }
  return body + kHeaderSize;
}

int CPasswordCipher::DecodedCapacity(int n) {
  return n >= kHeaderSize ? n - kHeaderSize : -1;
}

void CPasswordCipher::RandomBytes(std::uint8_t* buffer, int n) {
  if (buffer == nullptr || n <= 0) {
    return;
  }
  // On Linux this reads the kernel's generator (or the processor's), never a
  // seeded sequence: the salt and count must not be guessable from the clock.
  std::random_device source;
  int i = 0;
  while (i < n) {
    std::uint32_t word = source();
    for (int j = 0; j < 4 && i < n; ++j, ++i) {
      buffer[i] = static_cast<std::uint8_t>(word);
      word >>= 8;
    }
  }
}

int CPasswordCipher::EncodePassword(std::uint8_t* out, int& outLength, const std::uint8_t* in,
                                    int inLength, ProgressFn progress, void* cookie) {
  // Everything that can fail is checked before the first byte is written, so
  // that a refused call leaves the caller's buffer as it was.
  const int stored = EncodedLength(inLength);
  if (out == nullptr || in == nullptr || inLength < 1 || stored < 0 || outLength < stored) {
    return -1;
  }
  std::uint8_t salt[kSaltSize];
  std::uint8_t countBytes[4];
  try {
    RandomBytes(salt, kSaltSize);
    RandomBytes(countBytes, 4);
  } catch (const std::exception&) {
    return -1;
  }
  const std::uint32_t count = LoadLittle(countBytes) & 0xFFFF;

  std::uint8_t header[kHeaderSize];
  if (!SaltDigest(header + kDigestOffset, salt, count)) {
    return -1;
  }
  StoreLittle(header + kCountOffset, count);
  std::memcpy(header + kSaltOffset, salt, kSaltSize);
  for (int o = 0; o < kHeaderSize; o += kBlockSize) {
    EncipherBlock(out + o, header + o);
  }

  SetIv(salt);
  int bodyLength = outLength - kHeaderSize;
  if (EncryptPadded(out + kHeaderSize, bodyLength, in, inLength, progress, cookie) < 0) {
    return -1;
  }
  outLength = bodyLength + kHeaderSize;
  return outLength;
}

int CPasswordCipher::DecodePassword(std::uint8_t* out, int& outLength, const std::uint8_t* in,
                                    int inLength, ProgressFn progress, void* cookie) {
  if (out == nullptr || in == nullptr || inLength < kHeaderSize || outLength < 1) {
    return -1;
  }
  // Refuse a body of the wrong shape before spending time on the digest.
  const int bodyLength = inLength - kHeaderSize;
  if (bodyLength < kBlockSize || bodyLength % kBlockSize != 0) {
    return -1;
  }
  std::uint8_t header[kHeaderSize];
  for (int o = 0; o < kHeaderSize; o += kBlockSize) {
    DecipherBlock(header + o, in + o);
  }
  const std::uint32_t count = LoadLittle(header + kCountOffset);
  if (count > kMaxRepeat) {
    return -1;
  }
  std::uint8_t digest[CSha1::kDigestSize];
  if (!SaltDigest(digest, header + kSaltOffset, count)) {
    return -1;
  }
  // The format checks only the first eight digest bytes; the other twelve are
  // carried but not compared.
  if (std::memcmp(digest, header + kDigestOffset, kCheckedDigestBytes) != 0) {
    return -1;
  }
  SetIv(header + kSaltOffset);
  int plainLength = outLength;
  const int result =
      DecryptPadded(out, plainLength, in + kHeaderSize, bodyLength, progress, cookie);
  if (result < 0) {
    return -1;
  }
  outLength = plainLength;
  return result;
}

}  // namespace tavro
