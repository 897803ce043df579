#include "registry/RegFile.h"
#include "platform/AsciiText.h"

#include "registry/RegistryStore.h"

#include <map>
#include <optional>
#include <unordered_map>

namespace tavro {

namespace {

// The registry editor breaks a hex line once it has reached this many
// columns: a continuation line (two spaces of indent) then holds 25 bytes.
constexpr std::size_t kHexLineWidth = 2 + 25 * 3;

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kLineEnd = "\r\n";

bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
}
bool IsTrailByte(unsigned char c) {
  return (c >= 0x40 && c <= 0x7e) || (c >= 0x80 && c <= 0xfc);
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) {
    s.remove_prefix(1);
  }
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = LowerAscii(c);
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// Text fit to stand between quotes: whole double-byte characters and no
// control character but tab (a line break would end the line).
bool IsQuotable(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (IsLeadByte(c)) {
      if (i + 1 >= s.size() || !IsTrailByte(static_cast<unsigned char>(s[i + 1]))) {
        return false;
      }
      ++i;
    } else if (c < 0x20 && c != '\t') {
      return false;
    }
  }
  return true;
}

// A REG_SZ (kRegSz) that the editor would show as text: one string and its single NUL.
bool IsPlainString(std::string_view data) {
  return !data.empty() && data.find('\0') == data.size() - 1 &&
         IsQuotable(data.substr(0, data.size() - 1));
}

// Escapes backslash and quote; the second byte of a double-byte character can
// be 0x5C and is no backslash, so it passes untouched.
void AppendEscaped(std::string& out, std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (IsLeadByte(c) && i + 1 < s.size()) {
      out += s[i];
      out += s[++i];
      continue;
    }
    if (c == '\\' || c == '"') {
      out += '\\';
    }
    out += s[i];
  }
}

// Reads the quoted text that starts at s[pos]; pos moves past the closing
// quote. Only \\ and \" are escapes; anything else is refused.
std::optional<std::string> ReadQuoted(std::string_view s, std::size_t& pos) {
  std::string out;
  std::size_t i = pos + 1;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (IsLeadByte(c)) {
      if (i + 1 >= s.size() || !IsTrailByte(static_cast<unsigned char>(s[i + 1]))) {
        return std::nullopt;
      }
      out.append(s.substr(i, 2));
      i += 2;
    } else if (c == '"') {
      pos = i + 1;
      return out;
    } else if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
        return std::nullopt;
      }
      out += s[i + 1];
      i += 2;
    } else if (c < 0x20 && c != '\t') {
      return std::nullopt;
    } else {
      out += s[i];
      ++i;
    }
  }
  return std::nullopt;
}

// Comma-separated bytes of exactly two hex digits each, blanks around them and
// one trailing comma allowed.
std::optional<std::string> ParseHexBytes(std::string_view s) {
  std::string out;
  s = TrimLeft(s);
  if (s.empty()) {
    return out;
  }
  std::size_t i = 0;
  for (;;) {
    while (i < s.size() && IsBlank(s[i])) {
      ++i;
    }
    if (i == s.size() && !out.empty()) {
      return out;  // the trailing comma
    }
    if (i + 1 >= s.size()) {
      return std::nullopt;
    }
    const int hi = HexDigit(s[i]);
    const int lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) {
      return std::nullopt;
    }
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
    while (i < s.size() && IsBlank(s[i])) {
      ++i;
    }
    if (i == s.size()) {
      return out;
    }
    if (s[i] != ',') {
      return std::nullopt;
    }
    ++i;
  }
}

// One to eight hex digits and nothing else.
std::optional<std::uint32_t> ParseHexNumber(std::string_view s) {
  if (s.empty() || s.size() > 8) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (char c : s) {
    const int digit = HexDigit(c);
    if (digit < 0) {
      return std::nullopt;
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

struct ParsedData {
  bool Erase = false;  // "name"=-
  std::uint32_t Type = 0;
  std::string Bytes;
};

std::optional<ParsedData> ParseData(std::string_view s) {
  s = TrimRight(TrimLeft(s));
  ParsedData data;
  if (s == "-") {
    data.Erase = true;
    return data;
  }
  if (!s.empty() && s.front() == '"') {
    std::size_t pos = 0;
    auto text = ReadQuoted(s, pos);
    if (!text || pos != s.size()) {
      return std::nullopt;
    }
    data.Type = kRegSz;
    data.Bytes = std::move(*text);
    data.Bytes += '\0';
    return data;
  }
  if (StartsWithNoCase(s, "dword:")) {
    const auto value = ParseHexNumber(s.substr(6));
    if (!value) {
      return std::nullopt;
    }
    data.Type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
      data.Bytes += static_cast<char>((*value >> shift) & 0xff);
    }
    return data;
  }
  std::string_view hex;
  if (StartsWithNoCase(s, "hex:")) {
    data.Type = kRegBinary;
    hex = s.substr(4);
  } else if (StartsWithNoCase(s, "hex(")) {
    const auto close = s.find("):");
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    const auto type = ParseHexNumber(s.substr(4, close - 4));
    if (!type) {
      return std::nullopt;
    }
    data.Type = *type;
    hex = s.substr(close + 2);
  } else {
    return std::nullopt;
  }
  auto bytes = ParseHexBytes(hex);
  if (!bytes) {
    return std::nullopt;
  }
  data.Bytes = std::move(*bytes);
  return data;
}

void AppendHexByte(std::string& out, char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto b = static_cast<unsigned char>(byte);
  out += kDigits[b >> 4];
  out += kDigits[b & 15];
}

void AppendHexBytes(std::string& out, std::string_view data, std::size_t column) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    AppendHexByte(out, data[i]);
    if (i + 1 == data.size()) {
      break;
    }
    out += ',';
    column += 3;
    if (column >= kHexLineWidth) {
      out += "\\\r\n  ";
      column = 2;
    }
  }
}

void AppendValueLine(std::string& out, const RegEntry& value) {
  const std::size_t lineStart = out.size();
  if (value.Name.empty()) {
    out += "@=";
  } else {
    out += '"';
    AppendEscaped(out, value.Name);
    out += "\"=";
  }
  if (value.Type == kRegSz && IsPlainString(value.Data)) {
    out += '"';
    AppendEscaped(out, std::string_view(value.Data).substr(0, value.Data.size() - 1));
    out += '"';
  } else if (value.Type == kRegDword && value.Data.size() == 4) {
    out += "dword:";
    for (int i = 3; i >= 0; --i) {
      AppendHexByte(out, value.Data[static_cast<std::size_t>(i)]);
    }
  } else {
    if (value.Type == kRegBinary) {
      out += "hex:";
    } else {
      static constexpr char kDigits[] = "0123456789abcdef";
      std::string number;
      std::uint32_t type = value.Type;
      do {
        number.insert(number.begin(), kDigits[type & 15]);
        type >>= 4;
      } while (type != 0);
      out += "hex(" + number + "):";
    }
    AppendHexBytes(out, value.Data, out.size() - lineStart);
  }
  out += kLineEnd;
}

class LineReader {
public:
  explicit LineReader(std::string_view text) : Text(text) {}

  // The next line without its line end: LF, CR LF, or CR alone as old Mac
  // editors write it. CRs before an LF belong to that line end, so that a file
  // converted to CR LF twice (CR CR LF) keeps its hex continuations.
  bool Next(std::string_view& line) {
    if (Position >= Text.size()) {
      return false;
    }
    auto end = Text.find_first_of("\r\n", Position);
    if (end == std::string_view::npos) {
      end = Text.size();
    }
    line = Text.substr(Position, end - Position);
    Position = end;
    while (Position < Text.size() && Text[Position] == '\r') {
      ++Position;
    }
    if (Position < Text.size() && Text[Position] == '\n') {
      ++Position;
    }
    return true;
  }

  bool Peek(std::string_view& line) {
    const auto saved = Position;
    const bool got = Next(line);
    Position = saved;
    return got;
  }

private:
  std::string_view Text;
  std::size_t Position = 0;
};

// Keys and values as the file builds them up, with indexes so that a large
// file with many repeats or deletions still parses in linear time.
class SectionBuilder {
public:
  struct Key {
    RegKeySection Section;
    std::unordered_map<std::string, std::size_t> ValueIndex;
    std::vector<bool> Erased;
    bool Removed = false;
  };

  std::size_t OpenKey(std::string_view path) {
    auto folded = RegFile::Fold(path);
    const auto found = SectionIndex.find(folded);
    if (found != SectionIndex.end()) {
      return found->second;
    }
    Sections.push_back(Key{RegKeySection{std::string(path), {}}, {}, {}, false});
    SectionIndex.emplace(std::move(folded), Sections.size() - 1);
    return Sections.size() - 1;
  }

  // The key and every key below it.
  void RemoveKey(std::string_view path) {
    const auto folded = RegFile::Fold(path);
    if (const auto found = SectionIndex.find(folded); found != SectionIndex.end()) {
      Sections[found->second].Removed = true;
      SectionIndex.erase(found);
    }
    const std::string below = folded + '\\';
    auto it = SectionIndex.lower_bound(below);
    while (it != SectionIndex.end() && it->first.compare(0, below.size(), below) == 0) {
      Sections[it->second].Removed = true;
      it = SectionIndex.erase(it);
    }
  }

  const std::string& PathOf(std::size_t key) const { return Sections[key].Section.Path; }

  void AddComment(std::size_t key, std::string_view line) {
    auto& k = Sections[key];
    k.Section.Entries.push_back(RegEntry{true, {}, 0, std::string(line)});
    k.Erased.push_back(false);
  }

  void SetValue(std::size_t key, std::string name, ParsedData data) {
    auto& k = Sections[key];
    auto folded = RegFile::Fold(name);
    const auto found = k.ValueIndex.find(folded);
    if (data.Erase) {
      if (found != k.ValueIndex.end()) {
        k.Erased[found->second] = true;
        k.ValueIndex.erase(found);
      }
      return;
    }
    if (found != k.ValueIndex.end()) {
      auto& entry = k.Section.Entries[found->second];
      entry.Type = data.Type;
      entry.Data = std::move(data.Bytes);
      return;
    }
    k.Section.Entries.push_back(RegEntry{false, std::move(name), data.Type, std::move(data.Bytes)});
    k.Erased.push_back(false);
    k.ValueIndex.emplace(std::move(folded), k.Section.Entries.size() - 1);
  }

  std::vector<RegKeySection> Finish() {
    std::vector<RegKeySection> out;
    for (auto& k : Sections) {
      if (k.Removed) {
        continue;
      }
      RegKeySection section{std::move(k.Section.Path), {}};
      for (std::size_t i = 0; i < k.Section.Entries.size(); ++i) {
        if (!k.Erased[i]) {
          section.Entries.push_back(std::move(k.Section.Entries[i]));
        }
      }
      out.push_back(std::move(section));
    }
    return out;
  }

private:
  std::vector<Key> Sections;
  std::map<std::string, std::size_t> SectionIndex;
};

}  // namespace

// One parse: the lines it reads, the keys it builds and where values go.
class RegFile::Parser {
public:
  explicit Parser(std::string_view bytes) : Bytes(bytes), Lines(bytes) {}

  RegFile Run() {
    std::string_view line;
    bool first = true;
    while (Lines.Next(line)) {
      if (first) {
        first = false;
        HeaderSeen = TrimRight(line) == kHeader;
        if (HeaderSeen) {
          continue;
        }
      }
      const auto text = TrimLeft(line);
      if (TrimRight(text).empty()) {
        continue;
      }
      if (text.front() == ';') {
        CommentLine(line);
      } else if (text.front() == '[') {
        KeyLine(text);
      } else if (text.front() == '"' || text.front() == '@') {
        ValueLine(text);
      } else {
        File.DamageFound = true;
      }
    }
    // Every line of a whole file ends: without its line end the last line may
    // have been cut short, even where what is left parses. That takes in a
    // file of CR line ends too (its last CR may be what is left of a CR LF):
    // it is read line by line, and kept as it was before a save over it.
    if (!Bytes.empty() && (!HeaderSeen || Bytes.back() != '\n')) {
      File.DamageFound = true;
    }
    File.Sections = Builder.Finish();
    return std::move(File);
  }

private:
  static constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);

  void CommentLine(std::string_view line) {
    if (!InSection) {
      File.PreambleLines.emplace_back(line);
    } else if (Current != kNoKey) {
      Builder.AddComment(Current, line);
    } else {
      File.DamageFound = true;
    }
  }

  void KeyLine(std::string_view text) {
    InSection = true;
    Current = kNoKey;
    // The last ']' that is a character of its own closes the path.
    std::size_t close = std::string_view::npos;
    for (std::size_t i = 1; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (IsLeadByte(c)) {
        ++i;
      } else if (c == ']') {
        close = i;
      }
    }
    if (close == std::string_view::npos) {
      File.DamageFound = true;
      return;
    }
    if (!TrimRight(text.substr(close + 1)).empty()) {
      File.DamageFound = true;
    }
    const auto inner = text.substr(1, close - 1);
    if (!inner.empty() && inner.front() == '-') {
      if (IsValidKeyPath(inner.substr(1))) {
        Builder.RemoveKey(inner.substr(1));
      } else {
        File.DamageFound = true;
      }
    } else if (IsValidKeyPath(inner)) {
      Current = Builder.OpenKey(inner);
    } else {
      File.DamageFound = true;
    }
  }

  void ValueLine(std::string_view text) {
    std::string name;
    std::size_t pos = 1;
    if (text.front() == '"') {
      pos = 0;
      auto quoted = ReadQuoted(text, pos);
      if (!quoted) {
        File.DamageFound = true;
        return;
      }
      name = std::move(*quoted);
    }
    while (pos < text.size() && IsBlank(text[pos])) {
      ++pos;
    }
    if (pos >= text.size() || text[pos] != '=') {
      File.DamageFound = true;
      return;
    }
    std::string joined;
    const auto data = DataWithContinuations(TrimRight(text.substr(pos + 1)), joined);
    if (!data || Current == kNoKey) {
      File.DamageFound = true;
      if (Current != kNoKey) {
        // Its name is known: the reader of the value can say which one it lost.
        File.Unread.push_back(UnreadValue{Builder.PathOf(Current), std::move(name)});
      }
      return;
    }
    Builder.SetValue(Current, std::move(name), std::move(*data));
  }

  // Hex data may go on over lines that end in a backslash. A line that
  // starts something else ends it there, so a cut-off value cannot swallow
  // the key line after it.
  std::optional<ParsedData> DataWithContinuations(std::string_view rest, std::string& joined) {
    if (!StartsWithNoCase(TrimLeft(rest), "hex")) {
      return ParseData(rest);
    }
    joined.assign(rest);
    while (!joined.empty() && joined.back() == '\\') {
      joined.pop_back();
      std::string_view next;
      if (!Lines.Peek(next)) {
        return std::nullopt;
      }
      const auto nextText = TrimRight(TrimLeft(next));
      if (nextText.empty() || nextText.front() == '[' || nextText.front() == '"' ||
          nextText.front() == '@' || nextText.front() == ';') {
        return std::nullopt;
      }
      Lines.Next(next);
      joined += nextText;
    }
    return ParseData(joined);
  }

  std::string_view Bytes;
  LineReader Lines;
  RegFile File;
  SectionBuilder Builder;
  bool HeaderSeen = false;
  bool InSection = false;        // a key line (good or not) has been seen
  std::size_t Current = kNoKey;  // where values go; none after a bad or deleting key line
};

RegFile RegFile::Parse(std::string_view bytes) {
  return Parser(bytes).Run();
}

std::string RegFile::Serialise() const {
  std::string out;
  out += kHeader;
  out += kLineEnd;
  out += kLineEnd;
  if (!PreambleLines.empty()) {
    for (const auto& line : PreambleLines) {
      out += line;
      out += kLineEnd;
    }
    out += kLineEnd;
  }
  for (const auto& key : Sections) {
    out += '[';
    out += key.Path;
    out += ']';
    out += kLineEnd;
    for (const auto& entry : key.Entries) {
      if (entry.Comment) {
        out += entry.Data;
        out += kLineEnd;
      } else {
        AppendValueLine(out, entry);
      }
    }
    out += kLineEnd;
  }
  return out;
}

std::vector<std::string> RegFile::UnreadValues(std::string_view keyPath) const {
  const auto key = Fold(keyPath);
  std::vector<std::string> names;
  for (const auto& unread : Unread) {
    if (Fold(unread.Key) == key) {
      names.push_back(unread.Name);
    }
  }
  return names;
}

RegKeySection* RegFile::FindKey(std::string_view path) {
  const auto folded = Fold(path);
  for (auto& key : Sections) {
    if (Fold(key.Path) == folded) {
      return &key;
    }
  }
  return nullptr;
}

RegKeySection& RegFile::AddKey(std::string path) {
  Sections.push_back(RegKeySection{std::move(path), {}});
  return Sections.back();
}

const RegEntry* RegFile::FindValue(const RegKeySection& key, std::string_view name) {
  const auto folded = Fold(name);
  for (const auto& entry : key.Entries) {
    if (!entry.Comment && Fold(entry.Name) == folded) {
      return &entry;
    }
  }
  return nullptr;
}

bool RegFile::SetValue(RegKeySection& key, std::string_view name, std::uint32_t type,
                       std::string_view data) {
  if (!IsValidName(name)) {
    return false;
  }
  const auto folded = Fold(name);
  for (auto& entry : key.Entries) {
    if (!entry.Comment && Fold(entry.Name) == folded) {
      if (entry.Type == type && entry.Data == data) {
        return false;
      }
      entry.Type = type;
      entry.Data.assign(data);
      return true;
    }
  }
  key.Entries.push_back(RegEntry{false, std::string(name), type, std::string(data)});
  return true;
}

bool RegFile::IsValidName(std::string_view name) {
  return IsQuotable(name);
}

bool RegFile::IsValidKeyPath(std::string_view path) {
  if (!IsQuotable(path)) {
    return false;
  }
  std::size_t partLength = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(c)) {
      ++i;
      partLength += 2;
    } else if (c == '\\') {
      if (partLength == 0) {
        return false;
      }
      partLength = 0;
    } else {
      ++partLength;
    }
  }
  return partLength != 0;
}

std::string RegFile::Fold(std::string_view name) {
  std::string out(name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(out[i]))) {
      ++i;
    } else {
      out[i] = LowerAscii(out[i]);
    }
  }
  return out;
}

}  // namespace tavro
