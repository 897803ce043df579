// The mail server's answer to HELO is outside bytes, and the WAN address is
// cut from it. The cut must never read outside the answer and must give
// exactly the text between the first "[" and the "]" that closes it, whether
// it sees the whole input or only what the probe's 512-byte receive keeps (up
// to the first NUL). The mail server setting is split the same way the probe
// splits it, so its host and port parser runs here too.
#include "probe/MailServerAddress.h"
#include "probe/SmtpAnswer.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void CheckCut(std::string_view answer) {
  const auto address = tavro::BracketedText(answer);
  const std::size_t open = answer.find('[');
  if (!address) {
    if (open != std::string_view::npos && answer.find(']', open + 1) != std::string_view::npos) {
      std::abort();
    }
    return;
  }
  const std::size_t close = open + 1 + address->size();
  if (open == std::string_view::npos || close >= answer.size() || answer[close] != ']' ||
      answer.substr(open + 1, address->size()) != *address ||
      address->find(']') != std::string::npos) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckCut(input);
  const std::string_view received = input.substr(0, 512);
  CheckCut(received.substr(0, received.find('\0')));

  const auto server = tavro::MailServerAddress::Parse(input);
  if (server.Host.size() > tavro::MailServerAddress::MaxLength ||
      server.Host.find_first_of(std::string_view(":\0", 2)) != std::string::npos ||
      input.substr(0, server.Host.size()) != server.Host) {
    std::abort();
  }
  return 0;
}
