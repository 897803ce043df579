// A STUN server's answer is outside bytes, read field by field with lengths
// that the sender chose. The reading must never step outside the datagram,
// must accept only a datagram as long as its header says and carrying the
// request's transaction id, and an address it gives must be one that the
// page could show. The input is read twice: against a fixed id, which only
// the header check meets, and against the id it carries itself, so that the
// attributes behind a matching header are explored as well.
#include "platform/PublishableAddress.h"
#include "probe/StunMessage.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void Check(std::string_view datagram, const tavro::StunTransactionId& id) {
  const tavro::StunAnswer answer = tavro::ParseStunAnswer(datagram, id);
  if (!answer.AnswersRequest()) {
    if (!answer.Address.empty()) {
      std::abort();
    }
    return;
  }
  // Only a whole message of ours answers: header, cookie, id, length.
  const auto* bytes = reinterpret_cast<const unsigned char*>(datagram.data());
  if (datagram.size() < tavro::kStunHeaderSize ||
      tavro::kStunHeaderSize + (bytes[2] << 8 | bytes[3]) != datagram.size() ||
      std::memcmp(bytes + 4, "\x21\x12\xa4\x42", 4) != 0 ||
      std::memcmp(bytes + 8, id.data(), id.size()) != 0) {
    std::abort();
  }
  const bool mapped = answer.Result == tavro::StunAnswer::Kind::Mapped;
  if (mapped != !answer.Address.empty() ||
      (mapped && tavro::PublishableAddress(answer.Address) != answer.Address)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  tavro::StunTransactionId fixed{};
  fixed.fill(0x5A);
  Check(datagram, fixed);
  if (size >= tavro::kStunHeaderSize) {
    tavro::StunTransactionId own{};
    std::memcpy(own.data(), data + 8, own.size());
    Check(datagram, own);
  }
  return 0;
}
