// The address cut of the probe: a mail server that echoes its caller's address
// puts it in square brackets in its answer to HELO. Kept apart from the socket
// code so that it can be driven from any bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// The text between the first "[" and the first "]" after it; none where the
// answer has no such pair. The answer may hold any bytes, NUL included.
std::optional<std::string> BracketedText(std::string_view answer);

}  // namespace tavro
