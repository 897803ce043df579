// The system's own words for an errno value, for the cause lines.
#pragma once

#include <string>

namespace tavro {

// strerror's text ("Connection refused"), without its shared buffer.
std::string SystemErrorText(int error);

}  // namespace tavro
