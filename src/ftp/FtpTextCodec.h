// How the program's texts (UTF-8) and an FTP server's bytes convert into each
// other. A server that lists UTF8 in its FEAT reply gets UTF-8; any other gets
// code page 932, as a Windows client of this kind sends.
//
// Names that come from a server must go back to it as the very bytes it sent,
// even where they are not valid in the session's encoding (a server that
// announces UTF8 and still stores names in code page 932, or bytes that code
// page 932 does not map one to one). ToText therefore never loses a byte: each
// byte it cannot carry as a character becomes one private-use character,
// U+F700 plus the byte, and ToWire turns such a character back into its byte.
// The texts stay valid UTF-8, can be shown, and can be joined into paths
// ("/pub/" + name) that still convert back exactly.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavro {

enum class FtpTextEncoding { Cp932, Utf8 };

class FtpTextCodec {
public:
  explicit FtpTextCodec(FtpTextEncoding encoding = FtpTextEncoding::Cp932);

  FtpTextEncoding Encoding() const { return Mode; }

  // Server bytes to program text; total, and ToWire(ToText(b)) == b for any b.
  std::string ToText(std::string_view wire) const;

  // Program text to server bytes; nullopt where the text is not valid UTF-8 or
  // holds a character that the encoding cannot carry.
  std::optional<std::string> ToWire(std::string_view text) const;

private:
  FtpTextEncoding Mode;
};

}  // namespace tavro
