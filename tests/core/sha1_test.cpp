#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "settings/CSha1.h"
#include "settings/Sha1Blocks.h"
#include "support/KnownAnswers.h"

using namespace tavro;
using tavro::test::FromHex;
using tavro::test::ToHex;

namespace {

std::string Digest(const std::string& message, std::uint32_t repeat) {
  CSha1 sha;
  sha.SetRepeat(repeat);
  std::uint8_t out[20] = {};
  int length = 20;
  EXPECT_EQ(sha.Hash(out, length, reinterpret_cast<const std::uint8_t*>(message.data()),
                     static_cast<int>(message.size())),
            20);
  EXPECT_EQ(length, 20);
  return ToHex(out, 20);
}

}  // namespace

TEST(Sha1, Fips180Examples) {
  const auto records = tavro::test::ReadKnownAnswers("sha1_fips180-1.vec");
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    const auto repeat = static_cast<std::uint32_t>(std::stoul(record.at("repeat")));
    EXPECT_EQ(Digest(record.at("message"), repeat), record.at("digest")) << record.at("message");
  }
}

TEST(Sha1, RepeatFeedsTheInputAgainAndAgain) {
  EXPECT_EQ(Digest("", 1), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  EXPECT_EQ(Digest("salt1234", 0), Digest("", 1));
  // Around the block and padding boundaries, byte by byte against all at once.
  for (int n : {55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
    EXPECT_EQ(Digest("q", static_cast<std::uint32_t>(n)), Digest(std::string(n, 'q'), 1)) << n;
  }
  EXPECT_EQ(Digest("abcdefgh", 3), Digest("abcdefghabcdefghabcdefgh", 1));
}

TEST(Sha1, RefusesShortOutputBadInputAndOverlongMessages) {
  CSha1 sha;
  sha.SetRepeat(1);
  std::uint8_t out[21] = {};
  const std::uint8_t in[4] = {1, 2, 3, 4};
  int length = 19;
  EXPECT_EQ(sha.Hash(out, length, in, 4), 0);
  EXPECT_EQ(length, 19);
  length = 21;
  EXPECT_EQ(sha.Hash(nullptr, length, in, 4), 0);
  EXPECT_EQ(sha.Hash(out, length, nullptr, 4), 0);
  EXPECT_EQ(sha.Hash(out, length, in, -1), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 21), std::vector<std::uint8_t>(21, 0));
  // 2^32 - 1 copies of 2^31 - 1 bytes exceed 2^64 bits: refused before any
  // byte is read (the buffer is far shorter than the length claims).
  sha.SetRepeat(UINT32_MAX);
  EXPECT_EQ(sha.Hash(out, length, in, INT_MAX), 0);
  EXPECT_EQ(length, 21);
  sha.SetRepeat(1);
  EXPECT_EQ(sha.Hash(out, length, in, 4), 20);
  EXPECT_EQ(length, 20);
}

TEST(Sha1, ProgressAfterEachRepetition) {
  std::vector<std::pair<std::int64_t, std::int64_t>> seen;
  const ProgressFn record = [](std::int64_t done, std::int64_t total, void* cookie) {
    static_cast<decltype(seen)*>(cookie)->emplace_back(done, total);
  };
  CSha1 sha;
  sha.SetRepeat(3);
  std::uint8_t out[20];
  int length = 20;
  const std::uint8_t in[1] = {'x'};
  ASSERT_EQ(sha.Hash(out, length, in, 1, record, &seen), 20);
  EXPECT_EQ(seen, (decltype(seen){{0, 3}, {1, 3}, {2, 3}, {3, 3}, {0, 3}}));
}

TEST(Sha1, ExtensionBlocksAgreeWithPortableBlocks) {
  const sha1::BlockFn extension = sha1::ExtensionBlocks();
  if (extension == nullptr) {
    GTEST_SKIP() << "no SHA extensions on this processor";
  }
  std::mt19937 random(2144);
  std::vector<std::uint8_t> data(64 * 9);
  for (auto& byte : data) {
    byte = static_cast<std::uint8_t>(random());
  }
  for (std::size_t blocks = 1; blocks <= 9; ++blocks) {
    std::uint32_t portable[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    std::uint32_t fast[5];
    std::copy(portable, portable + 5, fast);
    sha1::PortableBlocks(portable, data.data(), blocks);
    extension(fast, data.data(), blocks);
    EXPECT_EQ(std::vector<std::uint32_t>(fast, fast + 5),
              std::vector<std::uint32_t>(portable, portable + 5))
        << blocks;
  }
}
