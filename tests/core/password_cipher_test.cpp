#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "settings/CPasswordCipher.h"
#include "support/KnownAnswers.h"

using namespace tavro;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Hands out the given bytes in order instead of random ones.
class KnownDraw : public CPasswordCipher {
public:
  explicit KnownDraw(Bytes bytes) : Pending(bytes.begin(), bytes.end()) {}
  void RandomBytes(std::uint8_t* buffer, int n) override {
    Sizes.push_back(n);
    for (int i = 0; i < n; ++i) {
      buffer[i] = Pending.front();
      Pending.pop_front();
    }
  }
  std::deque<std::uint8_t> Pending;
  std::vector<int> Sizes;
};

const Bytes kSalt = {0xC7, 0x01, 0x5E, 0x00, 0x9A, 0xFF, 0x23, 0x80};

Bytes Draw(std::uint32_t count) {
  Bytes bytes = kSalt;
  for (int i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
  }
  return bytes;
}

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
    EXPECT_TRUE(providers.Legacy != nullptr && providers.Default != nullptr);
    // The user name's bytes up to its NUL, at most 16, then zeros.
    for (std::size_t i = 0; i < sizeof Key && i < user.size() && user[i] != '\0'; ++i) {
      Key[i] = static_cast<std::uint8_t>(user[i]);
    }
  }

  Bytes Block(const std::uint8_t* in, bool encrypt) const {
    EVP_CIPHER* cast5 = EVP_CIPHER_fetch(nullptr, "CAST5-ECB", nullptr);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    Bytes out(16);
    int length = 0;
    EXPECT_EQ(EVP_CipherInit_ex2(context, cast5, Key, nullptr, encrypt ? 1 : 0, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EXPECT_EQ(EVP_CipherUpdate(context, out.data(), &length, in, 8), 1);
    EVP_CIPHER_CTX_free(context);
    EVP_CIPHER_free(cast5);
    out.resize(8);
    return out;
  }

  static Bytes SaltDigest(const Bytes& salt, std::uint32_t count) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha1(), nullptr);
    for (std::uint32_t i = 0; i < count; ++i) {
      EVP_DigestUpdate(md, salt.data(), salt.size());
    }
    Bytes digest(20);
    EVP_DigestFinal_ex(md, digest.data(), nullptr);
    EVP_MD_CTX_free(md);
    return digest;
  }

  // (7 - b) zeros, 0xFF, the first b bytes, then the rest.
  static Bytes PadBody(const Bytes& plain) {
    const std::size_t b = plain.size() % 8;
    Bytes body(7 - b, 0);
    body.push_back(0xFF);
    body.insert(body.end(), plain.begin(), plain.end());
    return body;
  }

  // Header blocks one by one, body chained from the salt.
  Bytes Stored(std::uint32_t count, const Bytes& body, std::optional<Bytes> digest = {}) const {
    Bytes header = digest ? *digest : SaltDigest(kSalt, count);
    for (int i = 0; i < 4; ++i) {
      header.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
    }
    header.insert(header.end(), kSalt.begin(), kSalt.end());
    Bytes stored;
    for (std::size_t o = 0; o < 32; o += 8) {
      const Bytes block = Block(header.data() + o, true);
      stored.insert(stored.end(), block.begin(), block.end());
    }
    Bytes prev = kSalt;
    for (std::size_t o = 0; o < body.size(); o += 8) {
      std::uint8_t mixed[8];
      for (int i = 0; i < 8; ++i) {
        mixed[i] = body[o + i] ^ prev[i];
      }
      prev = Block(mixed, true);
      stored.insert(stored.end(), prev.begin(), prev.end());
    }
    return stored;
  }

  // Undoes Stored: the plain header, then the plain body.
  Bytes Open(const Bytes& stored) const {
    Bytes plain;
    for (std::size_t o = 0; o < stored.size(); o += 8) {
      Bytes block = Block(stored.data() + o, false);
      for (int i = 0; o >= 32 && i < 8; ++i) {
        block[i] ^= o == 32 ? kSalt[i] : stored[o - 8 + i];
      }
      plain.insert(plain.end(), block.begin(), block.end());
    }
    return plain;
  }

private:
  std::uint8_t Key[16] = {};
};

Bytes Encode(CPasswordCipher& cipher, const std::string& user, const Bytes& plain) {
  cipher.SetKey(user.c_str());
  const int size = CPasswordCipher::EncodedLength(static_cast<int>(plain.size()));
  Bytes stored(static_cast<std::size_t>(size));
  int length = size;
  EXPECT_EQ(
      cipher.EncodePassword(stored.data(), length, plain.data(), static_cast<int>(plain.size())),
      size);
  EXPECT_EQ(length, size);
  return stored;
}

// Sized as the settings load does it; nullopt on -1.
std::optional<Bytes> Decode(const std::string& user, const Bytes& stored, int size = -1) {
  CPasswordCipher cipher;
  cipher.SetKey(user.c_str());
  const int n = size < 0 ? static_cast<int>(stored.size()) : size;
  const int capacity = CPasswordCipher::DecodedCapacity(n);
  if (capacity < 0) {
    return std::nullopt;
  }
  Bytes plain(static_cast<std::size_t>(capacity));
  int length = capacity;
  const int result = cipher.DecodePassword(plain.data(), length, stored.data(), n);
  if (result < 0) {
    EXPECT_EQ(length, capacity);
    return std::nullopt;
  }
  EXPECT_EQ(result, length);
  plain.resize(static_cast<std::size_t>(result));
  return plain;
}

}  // namespace

TEST(PasswordCipher, MatchesOpenSslReferenceByteForByte) {
  // Empty, short (10 bytes or less: still 16 rounds), cut at 16, code page 932.
  for (const std::string user :
       {"", "ftpuser", "0123456789abcdefTAIL", "\x83\x65\x83\x58\x83\x67"}) {
    for (const std::string password :
         {"", "seven77", "elevenbytes", "a password of 29 bytes......"}) {
      SCOPED_TRACE(user + " / " + password);
      // The two high count bytes are drawn but masked off: N = 0x1234.
      KnownDraw cipher(Draw(0xCDAB1234));
      const Bytes stored = Encode(cipher, user, Plain(password));
      EXPECT_EQ(cipher.Sizes, (std::vector<int>{8, 4}));
      EXPECT_EQ(stored, Reference(user).Stored(0x1234, Reference::PadBody(Plain(password))));
      EXPECT_EQ(Decode(user, stored), Plain(password));
    }
  }
}

TEST(PasswordCipher, StoredLayouts) {
  const Reference reference("layout");
  const auto open = [&](const std::string& password) {
    KnownDraw cipher(Draw(0x0302));
    return reference.Open(Encode(cipher, "layout", Plain(password)));
  };
  const Bytes header = Reference::SaltDigest(kSalt, 0x0302);
  Bytes expectedHeader = header;
  expectedHeader.insert(expectedHeader.end(), {0x02, 0x03, 0x00, 0x00});  // little-endian
  expectedHeader.insert(expectedHeader.end(), kSalt.begin(), kSalt.end());

  const Bytes empty = open("");
  ASSERT_EQ(empty.size(), 40u);
  EXPECT_EQ(Bytes(empty.begin(), empty.begin() + 32), expectedHeader);
  EXPECT_EQ(Bytes(empty.begin() + 32, empty.end()), (Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0}));

  const Bytes seven = open("1234567");
  ASSERT_EQ(seven.size(), 48u);
  EXPECT_EQ(Bytes(seven.begin() + 32, seven.end()),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 0xFF, '1', '2', '3', '4', '5', '6', '7', 0}));

  const Bytes eleven = open("ABCDEFGHIJK");
  ASSERT_EQ(eleven.size(), 48u);
  EXPECT_EQ(Bytes(eleven.begin() + 32, eleven.end()),
            (Bytes{0, 0, 0, 0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 0}));
  EXPECT_EQ(CPasswordCipher::EncodedLength(7), 40);
  EXPECT_EQ(CPasswordCipher::DecodedCapacity(48), 16);
  EXPECT_EQ(CPasswordCipher::DecodedCapacity(31), -1);
}

TEST(PasswordCipher, FreshSaltEachTimeAndTheUserNameIsTheKey) {
  CPasswordCipher first;
  CPasswordCipher second;
  const std::string user = "account-name-0123456789";  // only 16 bytes count
  const Bytes a = Encode(first, user, Plain("hunter2"));
  const Bytes b = Encode(second, user, Plain("hunter2"));
  EXPECT_NE(a, b);
  EXPECT_EQ(Decode(user, a), Plain("hunter2"));
  EXPECT_EQ(Decode(user, b), Plain("hunter2"));
  EXPECT_EQ(Decode("account-name-012", a), Plain("hunter2"));
  EXPECT_EQ(Decode("account-name-012something else", a), Plain("hunter2"));
  EXPECT_EQ(Decode("account-name-013", a), std::nullopt);
  EXPECT_EQ(Decode("account-name-01", a), std::nullopt);
  EXPECT_EQ(Decode("", a), std::nullopt);
}

TEST(PasswordCipher, HeaderChecks) {
  const Reference reference("header");
  const Bytes body = Reference::PadBody(Plain("secret"));
  EXPECT_EQ(Decode("header", reference.Stored(0, body)), Plain("secret"));
  EXPECT_EQ(Decode("header", reference.Stored(0x10000, body)), Plain("secret"));
  // A matching digest does not save a count above 65536.
  EXPECT_EQ(Decode("header", reference.Stored(0x10001, body)), std::nullopt);
  EXPECT_EQ(Decode("header", reference.Stored(0xFFFFFFFF, body, Bytes(20, 0))), std::nullopt);
  // Only the first 8 digest bytes are compared.
  Bytes digest = Reference::SaltDigest(kSalt, 77);
  digest[8] ^= 1;
  digest[19] ^= 0x80;
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
  EXPECT_EQ(Decode("body", withFirst(Bytes(8, 0))), std::nullopt);
  EXPECT_EQ(Decode("body", withFirst({0, 0, 0, 0, 0, 0, 0x01, 0xFF})), std::nullopt);
  EXPECT_EQ(Decode("body", withFirst({0xFE, 0, 0, 0, 0, 0, 0, 0xFF})), std::nullopt);
  Bytes expected = {1, 2, 3, 4, 5, 6, 7};
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Decode("body", withFirst({0xFF, 1, 2, 3, 4, 5, 6, 7})), expected);

  const Bytes stored = reference.Stored(5, Reference::PadBody(Plain(std::string(20, 'p'))));
  ASSERT_EQ(stored.size(), 56u);
  for (int n : {55, 52, 49, 47, 41, 39, 36, 33, 32}) {
    EXPECT_EQ(Decode("body", stored, n), std::nullopt) << n;
  }
}

TEST(PasswordCipher, DecodeNeverOverrunsEitherBuffer) {
  KnownDraw encoder(Draw(3));
  const Bytes plain = Plain("a password of 24 bytes.");
  const Bytes stored = Encode(encoder, "user", plain);
  ASSERT_EQ(stored.size(), 64u);
  CPasswordCipher cipher;
  cipher.SetKey("user");
  for (int capacity : {0, 1, 8, 23}) {
    Bytes out(static_cast<std::size_t>(capacity));  // exact size: ASan sees any overrun
    int length = capacity;
    EXPECT_EQ(cipher.DecodePassword(out.data(), length, stored.data(), 64), -1) << capacity;
  }
  Bytes out(24);
  int length = 24;
  EXPECT_EQ(cipher.DecodePassword(out.data(), length, stored.data(), 64), 24);
  EXPECT_EQ(out, plain);
  length = 24;
  EXPECT_EQ(cipher.DecodePassword(nullptr, length, stored.data(), 64), -1);
  EXPECT_EQ(cipher.DecodePassword(out.data(), length, nullptr, 64), -1);
  for (int n : {-1, 0, 31}) {
    EXPECT_EQ(cipher.DecodePassword(out.data(), length, stored.data(), n), -1) << n;
  }
  EXPECT_EQ(CPasswordCipher::DecodedCapacity(-5), -1);
}

TEST(PasswordCipher, EncodeRefusesBeforeWriting) {
  KnownDraw cipher(Draw(1));
  cipher.SetKey("user");
  const Bytes plain = Plain("pw");
  Bytes out(40, 0xEE);
  int length = 39;
  EXPECT_EQ(cipher.EncodePassword(out.data(), length, plain.data(), 3), -1);
  length = 40;
  EXPECT_EQ(cipher.EncodePassword(out.data(), length, plain.data(), 0), -1);
  EXPECT_EQ(cipher.EncodePassword(nullptr, length, plain.data(), 3), -1);
  EXPECT_EQ(cipher.EncodePassword(out.data(), length, nullptr, 3), -1);
  EXPECT_EQ(out, Bytes(40, 0xEE));
  EXPECT_TRUE(cipher.Sizes.empty());
}

TEST(PasswordCipher, RandomBytesFillExactlyWhatIsAsked) {
  CPasswordCipher cipher;
  Bytes a(16, 0);
  Bytes b(16, 0);
  cipher.RandomBytes(a.data() + 1, 13);
  cipher.RandomBytes(b.data() + 1, 13);
  EXPECT_NE(a, b);
  EXPECT_EQ(a[0], 0);
  EXPECT_EQ(a[14], 0);
  EXPECT_EQ(a[15], 0);
}
