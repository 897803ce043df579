#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "settings/CPasswordCipher.h"

using namespace tavro;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kSalt = {0xC7, 0x01, 0x5E, 0x00, 0x9A, 0xFF, 0x23, 0x80};

Bytes Little(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

// Draws the salt and then the given count instead of random bytes.
class KnownDraw : public CPasswordCipher {
public:
  explicit KnownDraw(std::uint32_t count) : Pending(kSalt.begin(), kSalt.end()) {
    const Bytes low = Little(count);
    Pending.insert(Pending.end(), low.begin(), low.end());
  }
  void RandomBytes(std::uint8_t* buffer, int n) override {
    for (int i = 0; i < n; ++i) {
      buffer[i] = Pending.front();
      Pending.pop_front();
    }
  }
  std::deque<std::uint8_t> Pending;
};

Bytes Plain(const std::string& password) {
  return Bytes(password.c_str(), password.c_str() + password.size() + 1);
}

// The stored format rebuilt from OpenSSL's CAST5 (single blocks, chained by
// hand) and SHA-1, independently of the code under test.
class Reference {
public:
  explicit Reference(const std::string& user) {
    // CAST5 lives in OpenSSL 3's legacy provider; unloaded at exit so that the
    // leak checker stays quiet.
    static const struct Providers {
      OSSL_PROVIDER* Legacy = OSSL_PROVIDER_load(nullptr, "legacy");
      OSSL_PROVIDER* Default = OSSL_PROVIDER_load(nullptr, "default");
      ~Providers() {
        OSSL_PROVIDER_unload(Default);
        OSSL_PROVIDER_unload(Legacy);
      }
    } providers;
    user.copy(reinterpret_cast<char*>(Key), sizeof Key);  // at most 16 bytes, then zeros
  }

  static Bytes SaltDigest(std::uint32_t count) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha1(), nullptr);
    for (std::uint32_t i = 0; i < count; ++i) {
      EVP_DigestUpdate(md, kSalt.data(), kSalt.size());
    }
    Bytes digest(20);
    EVP_DigestFinal_ex(md, digest.data(), nullptr);
    EVP_MD_CTX_free(md);
    return digest;
  }

  // (7 - b) zeros, 0xFF, the first b = L % 8 bytes, then the rest.
  static Bytes PadBody(const Bytes& plain) {
    Bytes body(7 - plain.size() % 8, 0);
    body.push_back(0xFF);
    body.insert(body.end(), plain.begin(), plain.end());
    return body;
  }

  // Digest, count (little-endian), salt, each block on its own; then the body
  // chained from the salt.
  Bytes Stored(std::uint32_t count, const Bytes& body, std::optional<Bytes> digest = {}) const {
    Bytes stored = digest.value_or(SaltDigest(count));
    const Bytes low = Little(count);
    stored.insert(stored.end(), low.begin(), low.end());
    stored.insert(stored.end(), kSalt.begin(), kSalt.end());
    stored.reserve(32 + body.size());  // prev below stays valid
    for (std::size_t o = 0; o < 32; o += 8) {
      Encrypt(stored.data() + o);
    }
    for (std::size_t o = 0; o < body.size(); o += 8) {
      const std::uint8_t* prev = o == 0 ? kSalt.data() : stored.data() + 24 + o;
      for (std::size_t i = 0; i < 8; ++i) {
        stored.push_back(static_cast<std::uint8_t>(body[o + i] ^ prev[i]));
      }
      Encrypt(stored.data() + 32 + o);
    }
    return stored;
  }

private:
  void Encrypt(std::uint8_t* block) const {
    EVP_CIPHER* cast5 = EVP_CIPHER_fetch(nullptr, "CAST5-ECB", nullptr);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    std::uint8_t out[16];
    int length = 0;
    EXPECT_EQ(EVP_EncryptInit_ex2(context, cast5, Key, nullptr, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EXPECT_EQ(EVP_EncryptUpdate(context, out, &length, block, 8), 1);
    std::copy(out, out + 8, block);
    EVP_CIPHER_CTX_free(context);
    EVP_CIPHER_free(cast5);
  }

  std::uint8_t Key[16] = {};
};

Bytes Encode(CPasswordCipher& cipher, const std::string& user, const Bytes& plain) {
  cipher.SetKey(user.c_str());
  int length = CPasswordCipher::EncodedLength(static_cast<int>(plain.size()));
  Bytes stored(static_cast<std::size_t>(length));
  EXPECT_EQ(
      cipher.EncodePassword(stored.data(), length, plain.data(), static_cast<int>(plain.size())),
      static_cast<int>(stored.size()));
  return stored;
}

// As the settings load does it, into a buffer of exactly the capacity given
// (so that ASan sees any overrun); nullopt on -1.
std::optional<Bytes> Decode(const std::string& user, const Bytes& stored, int size = -1,
                            int capacity = -1) {
  CPasswordCipher cipher;
  cipher.SetKey(user.c_str());
  const int n = size < 0 ? static_cast<int>(stored.size()) : size;
  capacity = capacity < 0 ? CPasswordCipher::DecodedCapacity(n) : capacity;
  Bytes plain(static_cast<std::size_t>(capacity < 0 ? 0 : capacity));
  int length = capacity;
  const int result = cipher.DecodePassword(plain.data(), length, stored.data(), n);
  if (result < 0) {
    return std::nullopt;
  }
  plain.resize(static_cast<std::size_t>(result));
  return plain;
}

}  // namespace

TEST(PasswordCipher, MatchesOpenSslReferenceByteForByte) {
  const std::string longer = "a password of 29 bytes......";
  // L = 1, 8 and 12 plain bytes (the NUL included) laid out by hand.
  const std::vector<std::pair<std::string, Bytes>> passwords{
      {"", {0, 0, 0, 0, 0, 0, 0xFF, 0}},
      {"1234567", {0, 0, 0, 0, 0, 0, 0, 0xFF, '1', '2', '3', '4', '5', '6', '7', 0}},
      {"ABCDEFGHIJK", {0, 0, 0, 0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 0}},
      {longer, Reference::PadBody(Plain(longer))},
  };
  // Empty, short (10 bytes or less: still 16 rounds), cut at 16, code page 932.
  for (const std::string user :
       {"", "ftpuser", "0123456789abcdefTAIL", "\x83\x65\x83\x58\x83\x67"}) {
    for (const auto& [password, body] : passwords) {
      SCOPED_TRACE(user + " / " + password);
      // The two high count bytes are drawn but masked off: N = 0x1234.
      KnownDraw cipher(0xCDAB1234);
      const Bytes stored = Encode(cipher, user, Plain(password));
      EXPECT_EQ(stored, Reference(user).Stored(0x1234, body));
      EXPECT_EQ(Decode(user, stored), Plain(password));
    }
  }
}

// The key's length and padding are pinned by the reference above (a name of
// 20 bytes among them); the salt must not repeat.
TEST(PasswordCipher, FreshSaltEachTime) {
  CPasswordCipher first, second;
  EXPECT_NE(Encode(first, "user", Plain("hunter2")), Encode(second, "user", Plain("hunter2")));
}

TEST(PasswordCipher, HeaderChecks) {
  const Reference reference("header");
  const Bytes body = Reference::PadBody(Plain("secret"));
  EXPECT_EQ(Decode("header", reference.Stored(0, body)), Plain("secret"));
  EXPECT_EQ(Decode("header", reference.Stored(65536, body)), Plain("secret"));
  // A matching digest does not save a count above 65536.
  EXPECT_EQ(Decode("header", reference.Stored(65537, body)), std::nullopt);
  // Only the first 8 digest bytes are compared.
  Bytes digest = Reference::SaltDigest(77);
  digest[8] ^= 1;
  EXPECT_EQ(Decode("header", reference.Stored(77, body, digest)), Plain("secret"));
  digest[7] ^= 1;
  EXPECT_EQ(Decode("header", reference.Stored(77, body, digest)), std::nullopt);
}

TEST(PasswordCipher, BodyChecks) {
  const Reference reference("body");
  const Bytes tail(8, 'x');
  auto withFirst = [&](Bytes first) {
    first.insert(first.end(), tail.begin(), tail.end());
    return reference.Stored(5, first);
  };
  for (const Bytes& bad :
       {Bytes(8, 0), Bytes{0, 0, 0, 0, 0, 0, 0x01, 0xFF}, Bytes{0xFE, 0, 0, 0, 0, 0, 0, 0xFF}}) {
    EXPECT_EQ(Decode("body", withFirst(bad)), std::nullopt);
  }
  Bytes expected = {1, 2, 3, 4, 5, 6, 7};
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Decode("body", withFirst({0xFF, 1, 2, 3, 4, 5, 6, 7})), expected);

  // Not 32 + 8k bytes, or no body at all.
  const Bytes stored = reference.Stored(5, Reference::PadBody(Plain(std::string(20, 'p'))));
  ASSERT_EQ(stored.size(), 56u);
  for (int n : {55, 52, 49, 47, 41, 39, 36, 33, 32}) {
    EXPECT_EQ(Decode("body", stored, n), std::nullopt) << n;
  }
}

TEST(PasswordCipher, NeitherSideWritesPastTheCapacityItIsGiven) {
  KnownDraw encoder(3);
  const Bytes plain = Plain("a password of 24 bytes.");
  const Bytes stored = Encode(encoder, "user", plain);
  ASSERT_EQ(stored.size(), 64u);
  // The capacity must hold every plain byte, not only the first block's.
  for (int capacity : {1, 8, 23}) {
    EXPECT_EQ(Decode("user", stored, 64, capacity), std::nullopt) << capacity;
  }
  EXPECT_EQ(Decode("user", stored, 64, 24), plain);

  KnownDraw tight(3);
  tight.SetKey("user");
  Bytes out(63);
  int length = 63;
  EXPECT_EQ(tight.EncodePassword(out.data(), length, plain.data(), 24), -1);
}
