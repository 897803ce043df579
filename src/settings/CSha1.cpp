#include "settings/CSha1.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tavro {

namespace {

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

inline std::uint32_t Choose(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return d ^ (b & (c ^ d));
}
inline std::uint32_t Parity(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return b ^ c ^ d;
}
inline std::uint32_t Majority(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return (b & c) | (d & (b | c));
}

constexpr std::uint64_t kMaxMessageBytes = UINT64_MAX / 8;

}  // namespace

// The 80 steps are written out five at a time: instead of shifting a..e
// along after each step, the next step names them one place further round.
// The message schedule is kept as a ring of 16 words.
#define TAVRO_SHA1_W(t)               \
  ((t) < 16 ? w[(t)]                  \
            : (w[(t)&15] = std::rotl( \
                   w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1)))
#define TAVRO_SHA1_STEP(f, k, a, b, c, d, e, t)              \
  e += std::rotl(a, 5) + f(b, c, d) + (k) + TAVRO_SHA1_W(t); \
  b = std::rotl(b, 30)
#define TAVRO_SHA1_FIVE(f, k, t)                 \
  TAVRO_SHA1_STEP(f, k, a, b, c, d, e, (t));     \
  TAVRO_SHA1_STEP(f, k, e, a, b, c, d, (t) + 1); \
  TAVRO_SHA1_STEP(f, k, d, e, a, b, c, (t) + 2); \
  TAVRO_SHA1_STEP(f, k, c, d, e, a, b, (t) + 3); \
  TAVRO_SHA1_STEP(f, k, b, c, d, e, a, (t) + 4)
#define TAVRO_SHA1_TWENTY(f, k, t) \
  TAVRO_SHA1_FIVE(f, k, (t));      \
  TAVRO_SHA1_FIVE(f, k, (t) + 5);  \
  TAVRO_SHA1_FIVE(f, k, (t) + 10); \
  TAVRO_SHA1_FIVE(f, k, (t) + 15)

void CSha1::Compress(const std::uint8_t* block) {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) {
    w[i] = LoadBig(block + 4 * i);
  }
  std::uint32_t a = Chain[0];
  std::uint32_t b = Chain[1];
  std::uint32_t c = Chain[2];
  std::uint32_t d = Chain[3];
  std::uint32_t e = Chain[4];
  TAVRO_SHA1_TWENTY(Choose, 0x5A827999u, 0);
  TAVRO_SHA1_TWENTY(Parity, 0x6ED9EBA1u, 20);
  TAVRO_SHA1_TWENTY(Majority, 0x8F1BBCDCu, 40);
  TAVRO_SHA1_TWENTY(Parity, 0xCA62C1D6u, 60);
  Chain[0] += a;
  Chain[1] += b;
  Chain[2] += c;
  Chain[3] += d;
  Chain[4] += e;
}

#undef TAVRO_SHA1_TWENTY
#undef TAVRO_SHA1_FIVE
#undef TAVRO_SHA1_STEP
#undef TAVRO_SHA1_W

void CSha1::Reset() {
  Chain[0] = 0x67452301u;
  Chain[1] = 0xEFCDAB89u;
  Chain[2] = 0x98BADCFEu;
  Chain[3] = 0x10325476u;
  Chain[4] = 0xC3D2E1F0u;
  LengthLow = 0;
  LengthHigh = 0;
  Buffered = 0;
}

void CSha1::Update(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t bits =
      ((std::uint64_t{LengthHigh} << 32) | LengthLow) + std::uint64_t{size} * 8;
  LengthLow = static_cast<std::uint32_t>(bits);
  LengthHigh = static_cast<std::uint32_t>(bits >> 32);
  if (size == 0) {
    return;
  }

  // Short pieces (the salt is 8 bytes, fed thousands of times) only fill the
  // buffer; whole blocks of a long input are compressed where they lie.
  if (Buffered != 0) {
    const std::size_t take = std::min<std::size_t>(size, 64 - Buffered);
    std::memcpy(Buffer + Buffered, data, take);
    Buffered += static_cast<std::uint32_t>(take);
    data += take;
    size -= take;
    if (Buffered < 64) {
      return;
    }
    Compress(Buffer);
    Buffered = 0;
  }
  while (size >= 64) {
    Compress(data);
    data += 64;
    size -= 64;
  }
  if (size != 0) {
    std::memcpy(Buffer, data, size);
    Buffered = static_cast<std::uint32_t>(size);
  }
}

void CSha1::Finish(std::uint8_t* digest) {
  std::uint8_t tail[8];
  StoreBig(tail, LengthHigh);
  StoreBig(tail + 4, LengthLow);
  Buffer[Buffered++] = 0x80;
  if (Buffered > 56) {
    std::memset(Buffer + Buffered, 0, 64 - Buffered);
    Compress(Buffer);
    Buffered = 0;
  }
  std::memset(Buffer + Buffered, 0, 56 - Buffered);
  std::memcpy(Buffer + 56, tail, 8);
  Compress(Buffer);
  Buffered = 0;
  for (int i = 0; i < 5; ++i) {
    StoreBig(digest + 4 * i, Chain[i]);
  }
}

int CSha1::Hash(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                ProgressFn progress, void* cookie) {
  if (out == nullptr || outLength < kDigestSize) {
    return 0;
  }
  if (inLength < 0 || (in == nullptr && inLength > 0)) {
    return 0;
  }
  const std::uint32_t repeat = Repeat;
  // Checked before any work: 2^32 repetitions of a 2 GiB input would need
  // more than the 64-bit length field that closes the message.
  if (std::uint64_t{repeat} * static_cast<std::uint64_t>(inLength) > kMaxMessageBytes) {
    return 0;
  }
  Reset();
  if (progress != nullptr) {
    progress(0, repeat, cookie);
  }
  const auto size = static_cast<std::size_t>(inLength);
  for (std::uint64_t i = 1; i <= repeat; ++i) {
    Update(in, size);
    if (progress != nullptr) {
      progress(static_cast<std::int64_t>(i), repeat, cookie);
    }
  }
  Finish(out);
  if (progress != nullptr) {
    progress(0, repeat, cookie);
  }
  outLength = kDigestSize;
  return kDigestSize;
}

}  // namespace tavro
