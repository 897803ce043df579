// Small pieces of POSIX file work that every layer needs the same way.
#pragma once

#include <string_view>

namespace tavro {

// Writes every byte, going on after a signal interrupted the call; false on
// an error or where the system takes no byte at all (a full disk may say so).
bool WriteAll(int fd, std::string_view bytes);

}  // namespace tavro
