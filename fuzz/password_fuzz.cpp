// The stored password comes from a settings file that anyone may edit, and
// the user name beside it too: decoding must refuse, never overrun. Also
// checks that whatever is encoded under a name decodes under it (and under
// any name that agrees in its first 16 bytes), and not under another.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/CPasswordCipher.h"

namespace {

using tavro::CPasswordCipher;
using Bytes = std::vector<std::uint8_t>;

// Draws come from the input, so that each run is repeatable.
class InputDraw : public CPasswordCipher {
public:
  explicit InputDraw(Bytes bytes) : Draw(std::move(bytes)) {}
  void RandomBytes(std::uint8_t* buffer, int n) override {
    for (int i = 0; i < n; ++i) {
      buffer[i] = Next < Draw.size() ? Draw[Next++] : 0;
    }
  }

private:
  Bytes Draw;
  std::size_t Next = 0;
};

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// The settings load: capacity from the stored length, a buffer of exactly
// that size (so that the sanitizer sees any overrun), then the decode.
// Returns the plain bytes, or nothing on -1.
bool Load(const std::string& user, const Bytes& stored, Bytes& plain) {
  CPasswordCipher cipher;
  cipher.SetKey(user.c_str());
  const int n = static_cast<int>(stored.size());
  const int capacity = CPasswordCipher::DecodedCapacity(n);
  if (capacity < 0) {
    Require(n < CPasswordCipher::kHeaderSize);
    return false;
  }
  plain.assign(static_cast<std::size_t>(capacity), 0);
  int length = capacity;
  const int result = cipher.DecodePassword(plain.data(), length, stored.data(), n);
  if (result < 0) {
    Require(result == -1 && length == capacity);
    return false;
  }
  Require(result == length && result <= capacity);
  plain.resize(static_cast<std::size_t>(result));
  return true;
}

// The 16-byte key prefix of a user name: its bytes up to the NUL, at most 16.
std::string KeyPrefix(const std::string& user) {
  return std::string(user.c_str()).substr(0, 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string user = input.ConsumeRandomLengthString(80);
  const std::string value = input.ConsumeRandomLengthString(700);
  Bytes stored(value.begin(), value.end());

  // Any value under any name.
  Bytes plain;
  Load(user, stored, plain);

  // Any value with a capacity and length that do not fit each other.
  {
    CPasswordCipher cipher;
    cipher.SetKey(user.c_str());
    const int capacity = input.ConsumeIntegralInRange<int>(-1, 64);
    Bytes out(static_cast<std::size_t>(capacity < 0 ? 0 : capacity));
    int length = capacity;
    const int n = input.ConsumeIntegralInRange<int>(-1, static_cast<int>(stored.size()));
    const int result = cipher.DecodePassword(capacity < 0 ? nullptr : out.data(), length,
                                             stored.empty() ? nullptr : stored.data(), n);
    Require(result == -1 || (result == length && result <= capacity));
  }

  // Round trip: a password (and its NUL) encoded with a salt and count from
  // the input.
  const Bytes draw = input.ConsumeBytes<std::uint8_t>(12);
  const std::uint8_t tamperAt = input.ConsumeIntegral<std::uint8_t>();
  const std::uint8_t tamperBits = input.ConsumeIntegral<std::uint8_t>();
  const int shortBy = input.ConsumeIntegralInRange<int>(0, 9);
  std::string password = input.ConsumeRandomLengthString(600);
  Bytes secret(password.begin(), password.end());
  secret.push_back(0);

  InputDraw encoder(draw);
  encoder.SetKey(user.c_str());
  const int secretLength = static_cast<int>(secret.size());
  const int encodedLength = CPasswordCipher::EncodedLength(secretLength);
  Bytes encoded(static_cast<std::size_t>(encodedLength));
  int length = encodedLength;
  Require(encoder.EncodePassword(encoded.data(), length, secret.data(), secretLength) ==
          encodedLength);
  Require(length == encodedLength);

  Require(Load(user, encoded, plain) && plain == secret);

  const std::string prefix = KeyPrefix(user);
  if (prefix.size() == 16) {
    Require(Load(prefix + "-another-tail", encoded, plain) && plain == secret);
  }
  std::string other = prefix.empty() ? std::string("x") : prefix;
  other[0] = static_cast<char>(other[0] == '\x01' ? '\x02' : '\x01');
  Require(!Load(other, encoded, plain));

  // An output buffer that is exactly right, or short by a few bytes.
  {
    CPasswordCipher cipher;
    cipher.SetKey(user.c_str());
    const int capacity = secretLength - shortBy;
    if (capacity >= 0) {
      Bytes out(static_cast<std::size_t>(capacity));
      int outLength = capacity;
      const int result =
          cipher.DecodePassword(out.data(), outLength, encoded.data(), encodedLength);
      Require(shortBy == 0 ? result == secretLength && out == secret : result == -1);
    }
  }

  // A stored value changed in one byte may decode or not, but stays in bounds.
  if (tamperBits != 0) {
    encoded[tamperAt % encoded.size()] ^= tamperBits;
    Load(user, encoded, plain);
  }
  return 0;
}
