// The settings file as the registry editor's REGEDIT4 text: parsed into keys,
// values and comment lines, and written back in the editor's own layout.
// Names and texts are code page 932 bytes and stay bytes throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavro {

// One line of a key's section: a value, or a comment line kept as it stood.
struct RegEntry {
  bool Comment = false;
  std::string Name;  // value name; empty for the default value ("@")
  std::uint32_t Type = 0;
  std::string Data;  // value bytes; for a comment, the whole line

  bool operator==(const RegEntry&) const = default;
};

struct RegKeySection {
  std::string Path;  // full path as written, e.g. HKEY_CURRENT_USER\Software\...
  std::vector<RegEntry> Entries;

  bool operator==(const RegKeySection&) const = default;
};

class RegFile {
public:
  // Never read more than this: a larger file is left alone as damaged.
  static constexpr std::size_t kMaxFileBytes = 16u << 20;

  // Reads whatever parses; anything that does not is skipped and leaves the
  // result marked damaged. Never fails.
  static RegFile Parse(std::string_view bytes);

  // REGEDIT4 with CR LF line ends, as the registry editor exports it.
  std::string Serialise() const;

  // Some part of the input did not parse (or the file was too large to read).
  bool Damaged() const { return DamageFound; }
  void MarkDamaged() { DamageFound = true; }

  // The names of that key's values that stood on lines that did not parse,
  // so that their data is not in the key (a later good line of the same name
  // may still be), in file order.
  std::vector<std::string> UnreadValues(std::string_view keyPath) const;

  const std::vector<RegKeySection>& Keys() const { return Sections; }
  const std::vector<std::string>& Preamble() const { return PreambleLines; }

  // Key paths and value names compare without regard to ASCII case.
  RegKeySection* FindKey(std::string_view path);
  RegKeySection& AddKey(std::string path);

  static const RegEntry* FindValue(const RegKeySection& key, std::string_view name);
  // Replaces the value in place or appends it; true where anything changed.
  static bool SetValue(RegKeySection& key, std::string_view name, std::uint32_t type,
                       std::string_view data);

  // What the file can hold as a value name (and, with backslashes between
  // non-empty parts, as a key path): code page 932 text without control
  // characters other than tab.
  static bool IsValidName(std::string_view name);
  static bool IsValidKeyPath(std::string_view path);

  // The comparison form of a name: ASCII letters folded, the second byte of a
  // double-byte character left alone (it may fall in the ASCII letter range).
  static std::string Fold(std::string_view name);

  // Content equality; whether the source was damaged does not count.
  bool SameContent(const RegFile& other) const {
    return PreambleLines == other.PreambleLines && Sections == other.Sections;
  }

private:
  class Parser;
  struct UnreadValue {
    std::string Key;
    std::string Name;
  };

  std::vector<std::string> PreambleLines;  // comment lines before the first key
  std::vector<RegKeySection> Sections;
  bool DamageFound = false;
  std::vector<UnreadValue> Unread;  // named values on lines that did not parse
};

}  // namespace tavro
