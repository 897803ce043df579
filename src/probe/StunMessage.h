// The two STUN messages the probe needs (RFC 5389): the Binding request it
// sends, and the reading of what comes back. A STUN server writes the address
// and port it saw the request come from into its answer, which behind a NAT is
// the WAN address. The answer is outside bytes: every length in it is checked
// against the datagram before anything it covers is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

inline constexpr std::size_t kStunHeaderSize = 20;
inline constexpr std::uint32_t kStunMagicCookie = 0x2112A442;

// The 96 random bits after the magic cookie that tie an answer to its request.
using StunTransactionId = std::array<std::uint8_t, 12>;

// The 20 bytes of a Binding request without attributes.
std::array<std::uint8_t, kStunHeaderSize> StunBindingRequest(const StunTransactionId& id);

struct StunAnswer {
  enum class Kind {
    // Not an answer to the request: ignored, the wait goes on.
    Malformed,         // Why says what is wrong with it
    OtherTransaction,  // well formed, but for another request
    // The answer to the request.
    Mapped,     // Address and Port hold the mapped address
    NoMapping,  // a success answer without a mapped address
    Error,      // an error answer; Why holds its code and reason
  };
  Kind Result = Kind::Malformed;
  std::string Address;  // dotted decimal, or IPv6 as inet_ntop writes it
  std::uint16_t Port = 0;
  // Whether the address came from XOR-MAPPED-ADDRESS rather than the older
  // MAPPED-ADDRESS.
  bool Xored = false;
  std::string Why;

  bool AnswersRequest() const { return Result >= Kind::Mapped; }
};

// Reads one datagram as the answer to the Binding request with this id.
// XOR-MAPPED-ADDRESS wins over MAPPED-ADDRESS wherever both stand; of each,
// the first counts. A datagram that is shorter than its header says, longer,
// not a multiple of four, or holds an attribute that runs past its end is
// Malformed as a whole.
StunAnswer ParseStunAnswer(std::string_view datagram, const StunTransactionId& id);

}  // namespace tavro
