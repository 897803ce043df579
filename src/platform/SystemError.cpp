#include "platform/SystemError.h"

#include <array>
#include <cstring>

namespace tavro {

std::string SystemErrorText(int error) {
  std::array<char, 256> buffer{};
  // The GNU strerror_r: it returns the text, which may or may not be in buffer.
  return ::strerror_r(error, buffer.data(), buffer.size());
}

}  // namespace tavro
