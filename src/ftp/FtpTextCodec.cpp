#include "ftp/FtpTextCodec.h"

#include "platform/CodePage932.h"

namespace tavro {
namespace {

void AppendEscape(std::string& out, unsigned char byte) {
  // U+F700 + byte in UTF-8: EF, 9C + (byte >> 6), 80 + (byte & 0x3F).
  out += static_cast<char>(0xEF);
  out += static_cast<char>(0x9C + (byte >> 6));
  out += static_cast<char>(0x80 + (byte & 0x3F));
}

// The byte an escape character stands for, where text[i..i+3) is one.
std::optional<unsigned char> EscapeAt(std::string_view text, std::size_t i) {
  if (i + 3 > text.size()) {
    return std::nullopt;
  }
  const auto b0 = static_cast<unsigned char>(text[i]);
  const auto b1 = static_cast<unsigned char>(text[i + 1]);
  const auto b2 = static_cast<unsigned char>(text[i + 2]);
  if (b0 != 0xEF || b1 < 0x9C || b1 > 0x9F || (b2 & 0xC0) != 0x80) {
    return std::nullopt;
  }
  return static_cast<unsigned char>(((b1 - 0x9C) << 6) | (b2 & 0x3F));
}

// Length of the well-formed UTF-8 sequence at bytes[i], 0 where there is none.
std::size_t Utf8SequenceAt(std::string_view bytes, std::size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  if (c < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) {
    return 0;
  }
  return cp932::IsValidUtf8(bytes.substr(i, length)) ? length : 0;
}

// Length of one code page 932 character at bytes[i] by its lead byte; whether
// the pair maps is for iconv to say.
std::size_t Cp932CharAt(std::string_view bytes, std::size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
  return lead && i + 1 < bytes.size() ? 2 : 1;
}

bool HasEscapes(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (EscapeAt(text, i)) {
      return true;
    }
  }
  return false;
}

bool IsAscii(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

// Code page 932 bytes to text where they map and map back to the same bytes
// (a few characters have two byte forms; only one of them survives a round
// trip).
std::optional<std::string> Cp932Exact(std::string_view bytes) {
  auto text = cp932::ToUtf8(bytes);
  if (!text || HasEscapes(*text)) {
    return std::nullopt;
  }
  const auto back = cp932::FromUtf8(*text);
  if (!back || *back != bytes) {
    return std::nullopt;
  }
  return text;
}

}  // namespace

FtpTextCodec::FtpTextCodec(FtpTextEncoding encoding) : Mode(encoding) {}

std::string FtpTextCodec::ToText(std::string_view wire) const {
  if (IsAscii(wire)) {
    return std::string(wire);
  }
  std::string out;
  out.reserve(wire.size() * 3 / 2);
  if (Mode == FtpTextEncoding::Utf8) {
    std::size_t i = 0;
    while (i < wire.size()) {
      const std::size_t length = Utf8SequenceAt(wire, i);
      if (length == 0 || EscapeAt(wire, i)) {
        // An escape character among the server's own bytes is escaped too,
        // or it would come back as a single byte.
        const std::size_t count = length == 0 ? 1 : length;
        for (std::size_t k = 0; k < count; ++k) {
          AppendEscape(out, static_cast<unsigned char>(wire[i + k]));
        }
        i += count;
      } else {
        out.append(wire.substr(i, length));
        i += length;
      }
    }
    return out;
  }
  if (auto whole = Cp932Exact(wire)) {
    return *whole;
  }
  std::size_t i = 0;
  while (i < wire.size()) {
    const auto c = static_cast<unsigned char>(wire[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t length = Cp932CharAt(wire, i);
    if (auto one = Cp932Exact(wire.substr(i, length))) {
      out += *one;
      i += length;
    } else {
      // Only the lead byte is escaped: what follows may be a character of
      // its own.
      AppendEscape(out, c);
      ++i;
    }
  }
  return out;
}

std::optional<std::string> FtpTextCodec::ToWire(std::string_view text) const {
  if (!cp932::IsValidUtf8(text)) {
    return std::nullopt;
  }
  if (IsAscii(text)) {
    return std::string(text);
  }
  std::string out;
  out.reserve(text.size());
  std::size_t plainBegin = 0;
  auto flushPlain = [&](std::size_t end) -> bool {
    const std::string_view plain = text.substr(plainBegin, end - plainBegin);
    if (plain.empty()) {
      return true;
    }
    if (Mode == FtpTextEncoding::Utf8 || IsAscii(plain)) {
      out.append(plain);
      return true;
    }
    const auto bytes = cp932::FromUtf8(plain);
    if (!bytes) {
      return false;
    }
    out += *bytes;
    return true;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    if (const auto byte = EscapeAt(text, i)) {
      if (!flushPlain(i)) {
        return std::nullopt;
      }
      out += static_cast<char>(*byte);
      i += 3;
      plainBegin = i;
    } else {
      ++i;
    }
  }
  if (!flushPlain(text.size())) {
    return std::nullopt;
  }
  return out;
}

}  // namespace tavro
