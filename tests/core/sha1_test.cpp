#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "settings/CSha1.h"
#include "settings/Sha1Blocks.h"
#include "support/Hex.h"

using namespace tavro;
using tavro::test::FromHex;
using Bytes = std::vector<std::uint8_t>;

// FIPS PUB 180-1, appendices A and C (B's 56 bytes are among the lengths
// checked against OpenSSL below). C's million "a" is fed as a repeat
// count (as the password check digest feeds its salt) and as one long input.
TEST(Sha1, Fips180Examples) {
  struct Case {
    std::string Message;
    std::uint32_t Repeat;
    const char* Digest;
  };
  const std::vector<Case> cases{
      {"abc", 1, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {"a", 1000000, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
      {std::string(1000000, 'a'), 1, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
  };
  for (const Case& c : cases) {
    CSha1 sha;
    sha.SetRepeat(c.Repeat);
    Bytes out(20);
    int length = 20;
    EXPECT_EQ(sha.Hash(out.data(), length, reinterpret_cast<const std::uint8_t*>(c.Message.data()),
                       static_cast<int>(c.Message.size())),
              20);
    EXPECT_EQ(out, FromHex(c.Digest)) << c.Message.substr(0, 60) << " x" << c.Repeat;
  }
}

// Every padding boundary (55, 56 and 64 bytes modulo 64 among them), whole and
// repeated, against OpenSSL's SHA-1.
TEST(Sha1, AgreesWithOpenSslAtEveryLengthUpTo200) {
  Bytes message(200);
  for (std::size_t i = 0; i < message.size(); ++i) {
    message[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  for (std::uint32_t repeat : {1u, 3u}) {
    for (int length = 0; length <= 200; ++length) {
      Bytes whole;
      for (std::uint32_t r = 0; r < repeat; ++r) {
        whole.insert(whole.end(), message.begin(), message.begin() + length);
      }
      Bytes expected(20);
      SHA1(whole.data(), whole.size(), expected.data());
      CSha1 sha;
      sha.SetRepeat(repeat);
      Bytes out(20);
      int outLength = 20;
      ASSERT_EQ(sha.Hash(out.data(), outLength, message.data(), length), 20);
      EXPECT_EQ(out, expected) << "length " << length << " x" << repeat;
    }
  }
}

// The examples above run on whichever block function this processor picked;
// the other one must agree with it.
TEST(Sha1, ExtensionBlocksAgreeWithPortableBlocks) {
  const sha1::BlockFn extension = sha1::ExtensionBlocks();
  if (extension == nullptr) {
    GTEST_SKIP() << "no SHA extensions on this processor";
  }
  std::mt19937 random(2144);
  Bytes data(64 * 9);
  std::generate(data.begin(), data.end(), [&] { return static_cast<std::uint8_t>(random()); });
  for (std::size_t blocks = 1; blocks <= 9; ++blocks) {
    std::vector<std::uint32_t> portable{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                        0xC3D2E1F0u};
    std::vector<std::uint32_t> fast = portable;
    sha1::PortableBlocks(portable.data(), data.data(), blocks);
    extension(fast.data(), data.data(), blocks);
    EXPECT_EQ(fast, portable) << blocks;
  }
}
