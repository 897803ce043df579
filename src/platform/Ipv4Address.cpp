#include "platform/Ipv4Address.h"

namespace tavro {

std::string Ipv4Address::ToString() const {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) {
      text += '.';
    }
    text += std::to_string((Value >> shift) & 0xFF);
  }
  return text;
}

}  // namespace tavro
