#include "probe/StunMessage.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tavro {

namespace {

constexpr std::uint16_t BindingRequest = 0x0001;
constexpr std::uint16_t BindingSuccess = 0x0101;
constexpr std::uint16_t BindingError = 0x0111;

constexpr std::uint16_t MappedAddress = 0x0001;
constexpr std::uint16_t ErrorCode = 0x0009;
constexpr std::uint16_t XorMappedAddress = 0x0020;

constexpr std::uint8_t FamilyIpv4 = 0x01;
constexpr std::uint8_t FamilyIpv6 = 0x02;

std::uint16_t Read16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::string Hex16(std::uint16_t value) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string text = "0x0000";
  for (int i = 0; i < 4; ++i) {
    text[5 - i] = Digits[(value >> (4 * i)) & 0xF];
  }
  return text;
}

StunAnswer Malformed(std::string why) {
  StunAnswer answer;
  answer.Why = std::move(why);
  return answer;
}

// The header's bytes 4 to 19: the cookie, then the id. An answer carries the
// request's, which is also how a server of the older protocol, whose id was
// all 16 bytes, answers.
std::array<std::uint8_t, 16> CookieAndId(const StunTransactionId& id) {
  std::array<std::uint8_t, 16> bytes{};
  bytes[0] = kStunMagicCookie >> 24;
  bytes[1] = (kStunMagicCookie >> 16) & 0xFF;
  bytes[2] = (kStunMagicCookie >> 8) & 0xFF;
  bytes[3] = kStunMagicCookie & 0xFF;
  std::memcpy(bytes.data() + 4, id.data(), id.size());
  return bytes;
}

// One (XOR-)MAPPED-ADDRESS value of `size` bytes into answer; false where the
// value is not one.
bool ReadAddress(const unsigned char* value, std::size_t size, bool xored,
                 const StunTransactionId& id, StunAnswer& answer) {
  if (size < 4) {
    answer.Why = "address attribute of " + std::to_string(size) + " bytes";
    return false;
  }
  const std::uint8_t family = value[1];
  const std::size_t addressSize = family == FamilyIpv4 ? 4 : family == FamilyIpv6 ? 16 : 0;
  if (addressSize == 0) {
    answer.Why = "address family " + std::to_string(family) + " unknown";
    return false;
  }
  if (size != 4 + addressSize) {
    answer.Why = "address attribute of " + std::to_string(size) + " bytes for its family";
    return false;
  }
  std::array<std::uint8_t, 16> address{};
  std::memcpy(address.data(), value + 4, addressSize);
  std::uint16_t port = Read16(value + 2);
  if (xored) {
    const auto mask = CookieAndId(id);
    port ^= kStunMagicCookie >> 16;
    for (std::size_t i = 0; i < addressSize; ++i) {
      address[i] ^= mask[i];
    }
  }
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(family == FamilyIpv4 ? AF_INET : AF_INET6, address.data(), text, sizeof text);
  answer.Address = text;
  answer.Port = port;
  answer.Xored = xored;
  return true;
}

}  // namespace

std::array<std::uint8_t, kStunHeaderSize> StunBindingRequest(const StunTransactionId& id) {
  std::array<std::uint8_t, kStunHeaderSize> message{};
  message[0] = BindingRequest >> 8;
  message[1] = BindingRequest & 0xFF;
  // Bytes 2 and 3, the length of the attributes, stay 0.
  const auto tail = CookieAndId(id);
  std::memcpy(message.data() + 4, tail.data(), tail.size());
  return message;
}

StunAnswer ParseStunAnswer(std::string_view datagram, const StunTransactionId& id) {
  const auto* data = reinterpret_cast<const unsigned char*>(datagram.data());
  const std::size_t size = datagram.size();
  if (size < kStunHeaderSize) {
    return Malformed(std::to_string(size) + " bytes, shorter than a STUN header");
  }
  if ((data[0] & 0xC0) != 0) {
    return Malformed("not a STUN message");
  }
  const std::size_t length = Read16(data + 2);
  if (length % 4 != 0 || kStunHeaderSize + length != size) {
    return Malformed(std::to_string(size) + " bytes where the header says " +
                     std::to_string(kStunHeaderSize + length));
  }
  const auto expected = CookieAndId(id);
  if (std::memcmp(data + 4, expected.data(), expected.size()) != 0) {
    StunAnswer other;
    other.Result = StunAnswer::Kind::OtherTransaction;
    other.Why = "transaction id does not match";
    return other;
  }
  const std::uint16_t type = Read16(data);
  if (type != BindingSuccess && type != BindingError) {
    return Malformed("message type " + Hex16(type) + " is no Binding answer");
  }

  std::optional<StunAnswer> xorMapped, mapped;
  std::optional<std::string> error;
  for (std::size_t at = kStunHeaderSize; at < size;) {
    if (size - at < 4) {
      return Malformed("attribute header cut off");
    }
    const std::uint16_t attribute = Read16(data + at);
    const std::size_t valueSize = Read16(data + at + 2);
    const std::size_t padded = (valueSize + 3) / 4 * 4;
    if (padded > size - at - 4) {
      return Malformed("attribute " + Hex16(attribute) + " of " + std::to_string(valueSize) +
                       " bytes runs past the end");
    }
    const unsigned char* value = data + at + 4;
    if ((attribute == XorMappedAddress && !xorMapped) || (attribute == MappedAddress && !mapped)) {
      StunAnswer found;
      if (!ReadAddress(value, valueSize, attribute == XorMappedAddress, id, found)) {
        return Malformed(found.Why);
      }
      (attribute == XorMappedAddress ? xorMapped : mapped) = std::move(found);
    } else if (attribute == ErrorCode && !error) {
      if (valueSize < 4) {
        return Malformed("error code attribute of " + std::to_string(valueSize) + " bytes");
      }
      const int code = (value[2] & 0x07) * 100 + value[3];
      error = std::to_string(code) + " " +
              std::string(reinterpret_cast<const char*>(value) + 4, valueSize - 4);
    }
    at += 4 + padded;
  }

  if (type == BindingError) {
    StunAnswer answer;
    answer.Result = StunAnswer::Kind::Error;
    answer.Why = "STUN error " + error.value_or("without a code");
    return answer;
  }
  if (xorMapped || mapped) {
    StunAnswer answer = xorMapped ? std::move(*xorMapped) : std::move(*mapped);
    answer.Result = StunAnswer::Kind::Mapped;
    return answer;
  }
  StunAnswer answer;
  answer.Result = StunAnswer::Kind::NoMapping;
  answer.Why = "no mapped address in the STUN answer";
  return answer;
}

}  // namespace tavro
