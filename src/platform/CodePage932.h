// Conversion between the program's UTF-8 text and code page 932, the byte form
// of every stored or external text (registry values, the password's key, the
// exported log). CP932 and not plain Shift_JIS: the vendor rows (circled
// digits, Roman numerals, IBM extensions) are in common use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavro::cp932 {

// The CP932 bytes of a text, only where they convert back to exactly the same
// text: nullopt where the text holds a character that CP932 has no byte form
// for, or one that iconv maps to another character without error ("¥" to a
// backslash, "‾" to "~", "〜" U+301C to "～", "‖ − ¢ £ ¬ —" to their full-width
// forms), or is not valid UTF-8. Never substitutes "?". Whatever it returns is
// therefore safe to store or send and read back as the text the user typed.
std::optional<std::string> FromUtf8(std::string_view utf8);

// The first character (as UTF-8) for which FromUtf8 fails, so that a message
// can name it; nullopt where FromUtf8 succeeds or the text is not valid UTF-8.
std::optional<std::string> FirstUnrepresentable(std::string_view utf8);

// nullopt where the bytes are not valid CP932.
std::optional<std::string> ToUtf8(std::string_view bytes);

// True where the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

}  // namespace tavro::cp932
