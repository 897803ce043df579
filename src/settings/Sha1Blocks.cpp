#include "settings/Sha1Blocks.h"

#include <bit>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TAVRO_SHA1_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tavro::sha1 {

namespace {

inline std::uint32_t LoadBig(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
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

void PortableBlocks(std::uint32_t* chain, const std::uint8_t* data, std::size_t blocks) {
  for (; blocks != 0; --blocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
      w[i] = LoadBig(data + 4 * i);
    }
    std::uint32_t a = chain[0];
    std::uint32_t b = chain[1];
    std::uint32_t c = chain[2];
    std::uint32_t d = chain[3];
    std::uint32_t e = chain[4];
    TAVRO_SHA1_TWENTY(Choose, 0x5A827999u, 0);
    TAVRO_SHA1_TWENTY(Parity, 0x6ED9EBA1u, 20);
    TAVRO_SHA1_TWENTY(Majority, 0x8F1BBCDCu, 40);
    TAVRO_SHA1_TWENTY(Parity, 0xCA62C1D6u, 60);
    chain[0] += a;
    chain[1] += b;
    chain[2] += c;
    chain[3] += d;
    chain[4] += e;
  }
}

#undef TAVRO_SHA1_TWENTY
#undef TAVRO_SHA1_FIVE
#undef TAVRO_SHA1_STEP
#undef TAVRO_SHA1_W

#ifdef TAVRO_SHA1_EXTENSIONS

namespace {

// Four steps per instruction. The schedule lives in four registers of four
// words each (msg[g % 4] holds W[4g..4g+3] when group g uses it); sha1msg1,
// a XOR and sha1msg2 extend it three, two and one groups ahead. The fifth
// word e travels separately: sha1nexte rotates the a of four steps back and
// adds the next schedule words to it.
#define TAVRO_SHA1_GROUP(g)                                                      \
  do {                                                                           \
    constexpr int kFunction = (g) / 5;                                           \
    if constexpr ((g) % 2 == 1) {                                                \
      e1 = _mm_sha1nexte_epu32(e1, msg[(g) % 4]);                                \
      e0 = abcd;                                                                 \
    } else {                                                                     \
      e0 = _mm_sha1nexte_epu32(e0, msg[(g) % 4]);                                \
      e1 = abcd;                                                                 \
    }                                                                            \
    if constexpr ((g) >= 3 && (g) <= 18) {                                       \
      msg[((g) + 1) % 4] = _mm_sha1msg2_epu32(msg[((g) + 1) % 4], msg[(g) % 4]); \
    }                                                                            \
    abcd = _mm_sha1rnds4_epu32(abcd, (g) % 2 == 1 ? e1 : e0, kFunction);         \
    if constexpr ((g) >= 1 && (g) <= 16) {                                       \
      msg[((g) + 3) % 4] = _mm_sha1msg1_epu32(msg[((g) + 3) % 4], msg[(g) % 4]); \
    }                                                                            \
    if constexpr ((g) >= 2 && (g) <= 17) {                                       \
      msg[((g) + 2) % 4] = _mm_xor_si128(msg[((g) + 2) % 4], msg[(g) % 4]);      \
    }                                                                            \
  } while (false)

__attribute__((target("sha,ssse3,sse4.1"))) void ExtensionBlocksImpl(std::uint32_t* chain,
                                                                     const std::uint8_t* data,
                                                                     std::size_t blocks) {
  // Byte order reversal of the whole register: big-endian words, W0 on top.
  const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chain)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(chain[4]), 0, 0, 0);
  __m128i e1;
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abcdStart = abcd;
    const __m128i eStart = e0;
    __m128i msg[4];
    for (int i = 0; i < 4; ++i) {
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                reverse);
    }
    // Group 0 takes e as it is, not from a previous group.
    e0 = _mm_add_epi32(e0, msg[0]);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    TAVRO_SHA1_GROUP(1);
    TAVRO_SHA1_GROUP(2);
    TAVRO_SHA1_GROUP(3);
    TAVRO_SHA1_GROUP(4);
    TAVRO_SHA1_GROUP(5);
    TAVRO_SHA1_GROUP(6);
    TAVRO_SHA1_GROUP(7);
    TAVRO_SHA1_GROUP(8);
    TAVRO_SHA1_GROUP(9);
    TAVRO_SHA1_GROUP(10);
    TAVRO_SHA1_GROUP(11);
    TAVRO_SHA1_GROUP(12);
    TAVRO_SHA1_GROUP(13);
    TAVRO_SHA1_GROUP(14);
    TAVRO_SHA1_GROUP(15);
    TAVRO_SHA1_GROUP(16);
    TAVRO_SHA1_GROUP(17);
    TAVRO_SHA1_GROUP(18);
    TAVRO_SHA1_GROUP(19);
    // e0 holds the state group 19 started from: its a, rotated, is the final
    // e, to which the e this block started with is added.
    e0 = _mm_sha1nexte_epu32(e0, eStart);
    abcd = _mm_add_epi32(abcd, abcdStart);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), _mm_shuffle_epi32(abcd, 0x1B));
  chain[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef TAVRO_SHA1_GROUP

bool HasExtensions() {
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  const bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

}  // namespace

BlockFn ExtensionBlocks() {
  static const bool available = HasExtensions();
  return available ? &ExtensionBlocksImpl : nullptr;
}

#else

BlockFn ExtensionBlocks() {
  return nullptr;
}

#endif

BlockFn BestBlocks() {
  static const BlockFn best = ExtensionBlocks() != nullptr ? ExtensionBlocks() : &PortableBlocks;
  return best;
}

}  // namespace tavro::sha1
