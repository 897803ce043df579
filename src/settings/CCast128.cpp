#include "settings/CCast128.h"

#include <bit>
#include <climits>
#include <cstring>

#include "settings/Cast128SBoxes.h"

namespace tavro {

namespace {

using cast128::kSBox;

inline std::uint32_t LoadBig(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

inline void StoreBig(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// The three round functions; I is split most significant byte first.
inline std::uint32_t F1(std::uint32_t d, std::uint32_t km, std::uint32_t kr) {
  const std::uint32_t i = std::rotl(km + d, static_cast<int>(kr));
  return ((kSBox[0][i >> 24] ^ kSBox[1][(i >> 16) & 0xFF]) - kSBox[2][(i >> 8) & 0xFF]) +
         kSBox[3][i & 0xFF];
}

inline std::uint32_t F2(std::uint32_t d, std::uint32_t km, std::uint32_t kr) {
  const std::uint32_t i = std::rotl(km ^ d, static_cast<int>(kr));
  return ((kSBox[0][i >> 24] - kSBox[1][(i >> 16) & 0xFF]) + kSBox[2][(i >> 8) & 0xFF]) ^
         kSBox[3][i & 0xFF];
}

inline std::uint32_t F3(std::uint32_t d, std::uint32_t km, std::uint32_t kr) {
  const std::uint32_t i = std::rotl(km - d, static_cast<int>(kr));
  return ((kSBox[0][i >> 24] + kSBox[1][(i >> 16) & 0xFF]) ^ kSBox[2][(i >> 8) & 0xFF]) -
         kSBox[3][i & 0xFF];
}

// One half of the key schedule: a new z from x, or a new x from z, each
// output word mixing in bytes of the words made before it.
void MixZ(std::uint8_t* z, const std::uint8_t* x) {
  const auto* s5 = kSBox[4];
  const auto* s6 = kSBox[5];
  const auto* s7 = kSBox[6];
  const auto* s8 = kSBox[7];
  StoreBig(z + 0, LoadBig(x + 0) ^ s5[x[0xD]] ^ s6[x[0xF]] ^ s7[x[0xC]] ^ s8[x[0xE]] ^ s7[x[0x8]]);
  StoreBig(z + 4, LoadBig(x + 8) ^ s5[z[0x0]] ^ s6[z[0x2]] ^ s7[z[0x1]] ^ s8[z[0x3]] ^ s8[x[0xA]]);
  StoreBig(z + 8, LoadBig(x + 12) ^ s5[z[0x7]] ^ s6[z[0x6]] ^ s7[z[0x5]] ^ s8[z[0x4]] ^ s5[x[0x9]]);
  StoreBig(z + 12, LoadBig(x + 4) ^ s5[z[0xA]] ^ s6[z[0x9]] ^ s7[z[0xB]] ^ s8[z[0x8]] ^ s6[x[0xB]]);
}

void MixX(std::uint8_t* x, const std::uint8_t* z) {
  const auto* s5 = kSBox[4];
  const auto* s6 = kSBox[5];
  const auto* s7 = kSBox[6];
  const auto* s8 = kSBox[7];
  StoreBig(x + 0, LoadBig(z + 8) ^ s5[z[0x5]] ^ s6[z[0x7]] ^ s7[z[0x4]] ^ s8[z[0x6]] ^ s7[z[0x0]]);
  StoreBig(x + 4, LoadBig(z + 0) ^ s5[x[0x0]] ^ s6[x[0x2]] ^ s7[x[0x1]] ^ s8[x[0x3]] ^ s8[z[0x2]]);
  StoreBig(x + 8, LoadBig(z + 4) ^ s5[x[0x7]] ^ s6[x[0x6]] ^ s7[x[0x5]] ^ s8[x[0x4]] ^ s5[z[0x1]]);
  StoreBig(x + 12,
           LoadBig(z + 12) ^ s5[x[0xA]] ^ s6[x[0x9]] ^ s7[x[0xB]] ^ s8[x[0x8]] ^ s6[z[0x3]]);
}

// Four subkeys from the bytes at a, b, c, d, e of one state: S5[a] ^ S6[b] ^
// S7[c] ^ S8[d] ^ Sn[e], where the last box cycles S5, S6, S7, S8.
void Extract(std::uint32_t* k, const std::uint8_t* s, const int (&at)[4][5]) {
  for (int j = 0; j < 4; ++j) {
    k[j] = kSBox[4][s[at[j][0]]] ^ kSBox[5][s[at[j][1]]] ^ kSBox[6][s[at[j][2]]] ^
           kSBox[7][s[at[j][3]]] ^ kSBox[4 + j][s[at[j][4]]];
  }
}

constexpr int kFromZ1[4][5] = {{0x8, 0x9, 0x7, 0x6, 0x2},
                               {0xA, 0xB, 0x5, 0x4, 0x6},
                               {0xC, 0xD, 0x3, 0x2, 0x9},
                               {0xE, 0xF, 0x1, 0x0, 0xC}};
constexpr int kFromX1[4][5] = {{0x3, 0x2, 0xC, 0xD, 0x8},
                               {0x1, 0x0, 0xE, 0xF, 0xD},
                               {0x7, 0x6, 0x8, 0x9, 0x3},
                               {0x5, 0x4, 0xA, 0xB, 0x7}};
constexpr int kFromZ2[4][5] = {{0x3, 0x2, 0xC, 0xD, 0x9},
                               {0x1, 0x0, 0xE, 0xF, 0xC},
                               {0x7, 0x6, 0x8, 0x9, 0x2},
                               {0x5, 0x4, 0xA, 0xB, 0x6}};
constexpr int kFromX2[4][5] = {{0x8, 0x9, 0x7, 0x6, 0x3},
                               {0xA, 0xB, 0x5, 0x4, 0x7},
                               {0xC, 0xD, 0x3, 0x2, 0x8},
                               {0xE, 0xF, 0x1, 0x0, 0xD}};

void Report(ProgressFn progress, std::int64_t done, std::int64_t total, void* cookie) {
  if (progress != nullptr) {
    progress(done, total, cookie);
  }
}

}  // namespace

CCast128::CCast128() {
  // A fresh object already holds the schedule of the all-zero key, so that it
  // never encrypts with subkeys that belong to no key at all.
  SetKeyBytes(Key);
}

CCast128::~CCast128() = default;

bool CCast128::SetKey(const char* text) {
  std::uint8_t key[kKeySize] = {};
  if (text != nullptr) {
    for (int i = 0; i < kKeySize && text[i] != '\0'; ++i) {
      key[i] = static_cast<std::uint8_t>(text[i]);
    }
  }
  SetKeyBytes(key);
  return true;
}

void CCast128::SetKeyBytes(const std::uint8_t* key) {
  if (Key != key) {
    std::memcpy(Key, key, kKeySize);
  }
  std::uint8_t x[kKeySize];
  std::uint8_t z[kKeySize];
  std::memcpy(x, Key, kKeySize);
  std::uint32_t k[32];
  for (int half = 0; half < 32; half += 16) {
    MixZ(z, x);
    Extract(k + half, z, kFromZ1);
    MixX(x, z);
    Extract(k + half + 4, x, kFromX1);
    MixZ(z, x);
    Extract(k + half + 8, z, kFromZ2);
    MixX(x, z);
    Extract(k + half + 12, x, kFromX2);
  }
  for (int i = 0; i < 16; ++i) {
    MaskingKeys[i] = k[i];
    RotationKeys[i] = k[16 + i] & 0x1F;
  }
}

void CCast128::SetIv(const std::uint8_t* block) {
  if (block != nullptr) {
    std::memcpy(Iv, block, kBlockSize);
  }
}

void CCast128::EncipherBlock(std::uint8_t* out, const std::uint8_t* in) const {
  const std::uint32_t* km = MaskingKeys;
  const std::uint32_t* kr = RotationKeys;
  std::uint32_t l = LoadBig(in);
  std::uint32_t r = LoadBig(in + 4);
  l ^= F1(r, km[0], kr[0]);
  r ^= F2(l, km[1], kr[1]);
  l ^= F3(r, km[2], kr[2]);
  r ^= F1(l, km[3], kr[3]);
  l ^= F2(r, km[4], kr[4]);
  r ^= F3(l, km[5], kr[5]);
  l ^= F1(r, km[6], kr[6]);
  r ^= F2(l, km[7], kr[7]);
  l ^= F3(r, km[8], kr[8]);
  r ^= F1(l, km[9], kr[9]);
  l ^= F2(r, km[10], kr[10]);
  r ^= F3(l, km[11], kr[11]);
  l ^= F1(r, km[12], kr[12]);
  r ^= F2(l, km[13], kr[13]);
  l ^= F3(r, km[14], kr[14]);
  r ^= F1(l, km[15], kr[15]);
  StoreBig(out, r);
  StoreBig(out + 4, l);
}

void CCast128::DecipherBlock(std::uint8_t* out, const std::uint8_t* in) const {
  const std::uint32_t* km = MaskingKeys;
  const std::uint32_t* kr = RotationKeys;
  std::uint32_t r = LoadBig(in);
  std::uint32_t l = LoadBig(in + 4);
  r ^= F1(l, km[15], kr[15]);
  l ^= F3(r, km[14], kr[14]);
  r ^= F2(l, km[13], kr[13]);
  l ^= F1(r, km[12], kr[12]);
  r ^= F3(l, km[11], kr[11]);
  l ^= F2(r, km[10], kr[10]);
  r ^= F1(l, km[9], kr[9]);
  l ^= F3(r, km[8], kr[8]);
  r ^= F2(l, km[7], kr[7]);
  l ^= F1(r, km[6], kr[6]);
  r ^= F3(l, km[5], kr[5]);
  l ^= F2(r, km[4], kr[4]);
  r ^= F1(l, km[3], kr[3]);
  l ^= F3(r, km[2], kr[2]);
  r ^= F2(l, km[1], kr[1]);
  l ^= F1(r, km[0], kr[0]);
  StoreBig(out, l);
  StoreBig(out + 4, r);
}

bool CCast128::EncryptBlock(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t*) {
  EncipherBlock(out, in);
  return true;
}

bool CCast128::DecryptBlock(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t*) {
  DecipherBlock(out, in);
  return true;
}

int CCast128::PaddedLength(int n) {
  if (n < 0 || n > INT_MAX - kBlockSize) {
    return -1;
  }
  return n - n % kBlockSize + kBlockSize;
}

int CCast128::EncryptPadded(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                            ProgressFn progress, void* cookie) {
  const int n = inLength;
  if (out == nullptr || in == nullptr || n < 1) {
    return -1;
  }
  const int body = PaddedLength(n);
  if (body < 0 || outLength < body) {
    return -1;
  }
  // The odd bytes go to the front, behind the marker, so that the rest of the
  // input is whole blocks.
  const int b = n % kBlockSize;
  std::memset(PadBlock, 0, kBlockSize);
  PadBlock[kBlockSize - 1 - b] = 0xFF;
  std::memcpy(PadBlock + kBlockSize - b, in, static_cast<std::size_t>(b));

  Report(progress, 0, n, cookie);
  EncryptBlock(out, PadBlock, Iv);
  for (int o = kBlockSize; o < body; o += kBlockSize) {
    if (o % 800 == 0) {
      Report(progress, o, n, cookie);
    }
    EncryptBlock(out + o, in + b + o - kBlockSize, out + o - kBlockSize);
  }
  Report(progress, n, n, cookie);
  outLength = body;
  return body;
}

int CCast128::DecryptPadded(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                            ProgressFn progress, void* cookie) {
  const int n = inLength;
  const int capacity = outLength;
  if (out == nullptr || capacity < 1 || in == nullptr || n < kBlockSize || n % kBlockSize != 0) {
    return -1;
  }
  Report(progress, 0, n, cookie);
  DecryptBlock(UnpadBlock, in, Iv);
  int k = 0;
  while (k < kBlockSize && UnpadBlock[k] == 0) {
    ++k;
  }
  if (k == kBlockSize || UnpadBlock[k] != 0xFF) {
    return -1;
  }
  ++k;
  // Only now is the plain length known; the output must hold all of it.
  const int plain = n - k;
  if (capacity < plain) {
    return -1;
  }
  std::memcpy(out, UnpadBlock + k, static_cast<std::size_t>(kBlockSize - k));
  for (int o = kBlockSize; o < n; o += kBlockSize) {
    if (o % 800 == 0) {
      Report(progress, o, n, cookie);
    }
    DecryptBlock(out + o - k, in + o, in + o - kBlockSize);
  }
  Report(progress, n, n, cookie);
  outLength = plain;
  return plain;
}

}  // namespace tavro
