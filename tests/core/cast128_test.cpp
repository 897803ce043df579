#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "settings/CCast128.h"
#include "settings/CCast128Cbc.h"
#include "support/KnownAnswers.h"

using namespace tavro;
using tavro::test::FromHex;
using tavro::test::ReadKnownAnswers;
using Bytes = std::vector<std::uint8_t>;
using Block = std::array<std::uint8_t, 8>;

namespace {

Block Encrypt(CCast128& cipher, const std::uint8_t* in) {
  Block out{};
  EXPECT_TRUE(cipher.EncryptBlock(out.data(), in, nullptr));
  return out;
}

Bytes Pattern(int n) {
  Bytes bytes(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(1 + i * 37);
  }
  return bytes;
}

struct Calls {
  std::vector<std::pair<std::int64_t, std::int64_t>> Seen;
  static void Record(std::int64_t done, std::int64_t total, void* cookie) {
    static_cast<Calls*>(cookie)->Seen.emplace_back(done, total);
  }
};

}  // namespace

TEST(Cast128, Rfc2144SingleBlockBothWays) {
  const auto records = ReadKnownAnswers("cast128_rfc2144.vec");
  ASSERT_EQ(records.size(), 3u);
  const auto& vector = records[0];
  const Bytes key = FromHex(vector.at("key"));
  const Bytes plain = FromHex(vector.at("plaintext"));
  const Bytes cipherText = FromHex(vector.at("ciphertext"));
  // The key holds no zero byte, so it goes in as text like a user name.
  const std::string keyText(key.begin(), key.end());
  CCast128 cipher;
  EXPECT_TRUE(cipher.SetKey(keyText.c_str()));
  const Block out = Encrypt(cipher, plain.data());
  EXPECT_EQ(Bytes(out.begin(), out.end()), cipherText);
  Block back{};
  EXPECT_TRUE(cipher.DecryptBlock(back.data(), cipherText.data(), nullptr));
  EXPECT_EQ(Bytes(back.begin(), back.end()), plain);
}

// A million rounds of key schedules and encryptions take well under a second
// in an optimised build but some 20 seconds under the sanitizers, which run
// the shorter variant only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kMaxMaintenanceIterations = 10000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr long kMaxMaintenanceIterations = 10000;
#else
constexpr long kMaxMaintenanceIterations = 1000000;
#endif
#else
constexpr long kMaxMaintenanceIterations = 1000000;
#endif

TEST(Cast128, Rfc2144MaintenanceTest) {
  const auto records = ReadKnownAnswers("cast128_rfc2144.vec");
  ASSERT_EQ(records.size(), 3u);
  int run = 0;
  for (std::size_t r = 1; r < records.size(); ++r) {
    const auto& vector = records[r];
    const long iterations = std::stol(vector.at("iterations"));
    if (iterations > kMaxMaintenanceIterations) {
      continue;
    }
    ++run;
    Bytes a = FromHex(vector.at("start"));
    Bytes b = a;
    CCast128 cipher;
    for (long i = 0; i < iterations; ++i) {
      cipher.SetKeyBytes(b.data());
      cipher.EncryptBlock(a.data(), a.data(), nullptr);
      cipher.EncryptBlock(a.data() + 8, a.data() + 8, nullptr);
      cipher.SetKeyBytes(a.data());
      cipher.EncryptBlock(b.data(), b.data(), nullptr);
      cipher.EncryptBlock(b.data() + 8, b.data() + 8, nullptr);
    }
    EXPECT_EQ(a, FromHex(vector.at("a"))) << iterations;
    EXPECT_EQ(b, FromHex(vector.at("b"))) << iterations;
  }
  EXPECT_GE(run, 1);
}

TEST(Cast128, PaddedLength) {
  EXPECT_EQ(CCast128::PaddedLength(0), 8);
  EXPECT_EQ(CCast128::PaddedLength(1), 8);
  EXPECT_EQ(CCast128::PaddedLength(7), 8);
  EXPECT_EQ(CCast128::PaddedLength(8), 16);
  EXPECT_EQ(CCast128::PaddedLength(12), 16);
  EXPECT_EQ(CCast128::PaddedLength(-1), -1);
  EXPECT_EQ(CCast128::PaddedLength(INT_MAX - 8), INT_MAX - 7);
  EXPECT_EQ(CCast128::PaddedLength(INT_MAX - 7), -1);
}

TEST(Cast128, EncryptPaddedRefusesBeforeWriting) {
  CCast128Cbc cipher;
  const Bytes in = Pattern(12);
  Bytes out(16, 0xAA);
  int length = 15;
  EXPECT_EQ(cipher.EncryptPadded(out.data(), length, in.data(), 12), -1);
  EXPECT_EQ(length, 15);
  length = 16;
  EXPECT_EQ(cipher.EncryptPadded(out.data(), length, in.data(), 0), -1);
  EXPECT_EQ(cipher.EncryptPadded(nullptr, length, in.data(), 12), -1);
  EXPECT_EQ(cipher.EncryptPadded(out.data(), length, nullptr, 12), -1);
  EXPECT_EQ(out, Bytes(16, 0xAA));
}

TEST(Cast128, DecryptPaddedChecksShapeMarkerAndCapacity) {
  CCast128 cipher;  // plain mode: each body block is chosen directly
  cipher.SetKey("padding");
  const auto body = [&](std::initializer_list<std::uint8_t> first, int extraBlocks) {
    Bytes plain(first);
    const Bytes rest = Pattern(8 * extraBlocks);
    plain.insert(plain.end(), rest.begin(), rest.end());
    Bytes out(plain.size());
    for (std::size_t o = 0; o < plain.size(); o += 8) {
      cipher.EncryptBlock(out.data() + o, plain.data() + o, nullptr);
    }
    return out;
  };
  const auto decrypt = [&](const Bytes& in, int capacity, std::optional<int> inLength = {}) {
    Bytes out(static_cast<std::size_t>(capacity));
    int length = capacity;
    return cipher.DecryptPadded(out.data(), length, in.data(),
                                inLength.value_or(static_cast<int>(in.size())));
  };
  EXPECT_EQ(decrypt(body({0, 0, 0, 0, 0, 0, 0, 0}, 1), 16), -1);
  EXPECT_EQ(decrypt(body({0, 0, 0, 0, 0, 0, 1, 0xFF}, 1), 16), -1);
  EXPECT_EQ(decrypt(body({0x7F, 0xFF, 0, 0, 0, 0, 0, 0}, 1), 16), -1);
  // The marker may stand anywhere, after any number of zeros.
  EXPECT_EQ(decrypt(body({0xFF, 1, 2, 3, 4, 5, 6, 7}, 1), 15), 15);
  EXPECT_EQ(decrypt(body({0, 0, 0, 0, 0, 0, 0, 0xFF}, 0), 1), 0);
  const Bytes good = body({0, 0, 0, 0xFF, 1, 2, 3, 4}, 2);  // 20 plain bytes
  EXPECT_EQ(decrypt(good, 20), 20);
  // The output must hold every plain byte, not only the first one.
  EXPECT_EQ(decrypt(good, 19), -1);
  EXPECT_EQ(decrypt(good, 1), -1);
  EXPECT_EQ(decrypt(good, 0), -1);
  for (int n : {0, 7, 12, 23, -8}) {
    EXPECT_EQ(decrypt(good, 24, n), -1) << n;
  }
  int length = 24;
  EXPECT_EQ(cipher.DecryptPadded(nullptr, length, good.data(), 24), -1);
  Bytes out(24);
  EXPECT_EQ(cipher.DecryptPadded(out.data(), length, nullptr, 24), -1);
}

TEST(Cast128, ProgressEveryHundredBlocks) {
  CCast128Cbc cipher;
  const Bytes in = Pattern(2000);
  Bytes out(2008);
  Calls encrypt;
  int length = 2008;
  ASSERT_EQ(cipher.EncryptPadded(out.data(), length, in.data(), 2000, &Calls::Record, &encrypt),
            2008);
  using Seen = std::vector<std::pair<std::int64_t, std::int64_t>>;
  EXPECT_EQ(encrypt.Seen, (Seen{{0, 2000}, {800, 2000}, {1600, 2000}, {2000, 2000}}));
  Calls decrypt;
  Bytes back(2000);
  length = 2000;
  ASSERT_EQ(cipher.DecryptPadded(back.data(), length, out.data(), 2008, &Calls::Record, &decrypt),
            2000);
  EXPECT_EQ(decrypt.Seen, (Seen{{0, 2008}, {800, 2008}, {1600, 2008}, {2008, 2008}}));
  EXPECT_EQ(back, in);
}
