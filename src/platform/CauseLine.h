// The line that follows a failure's fixed text and says what happened: the
// server's reply, the system's error, a time-out or a certificate problem.
// What a server wrote is untrusted, so it is shown as one bounded line of
// plain text, never as markup or control characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavro {

inline constexpr std::size_t MaxCauseBytes = 200;
inline constexpr std::string_view kCausePrefix = "Err: 原因: ";

// The first line of text (up to CR, LF or NUL), with other control characters
// as blanks, decoded as UTF-8 where valid, else as code page 932, else with
// each undecodable byte as "?", cut at a character boundary to MaxCauseBytes.
std::string BoundedCause(std::string_view text);

// kCausePrefix + BoundedCause(cause).
std::string CauseLine(std::string_view cause);

// "timed out after 30 s" (whole seconds, at least 1).
std::string TimedOutCause(long long milliseconds);

}  // namespace tavro
