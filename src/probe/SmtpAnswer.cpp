#include "probe/SmtpAnswer.h"

namespace tavro {

// Searching the "]" only after the "[" also covers answers in which a "]"
// comes first.
std::optional<std::string> BracketedText(std::string_view answer) {
  const std::size_t open = answer.find('[');
  if (open == std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t close = answer.find(']', open + 1);
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(answer.substr(open + 1, close - open - 1));
}

}  // namespace tavro
