#include "platform/RegFile.h"

#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

using namespace tavro;

namespace {

const std::string kTavroKey = "HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro";

// Test texts are written with LF; the file has CR LF.
std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) {
    out += static_cast<char>(v);
  }
  return out;
}

std::string Counting(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += static_cast<char>(i);
  }
  return out;
}

std::string Dword(std::uint32_t v) {
  return Bytes({static_cast<int>(v & 0xff), static_cast<int>((v >> 8) & 0xff),
                static_cast<int>((v >> 16) & 0xff), static_cast<int>(v >> 24)});
}

std::string SerialiseOne(const std::string& name, std::uint32_t type, const std::string& data) {
  RegFile file;
  RegFile::SetValue(file.AddKey("HKEY_CURRENT_USER\\K"), name, type, data);
  return file.Serialise();
}

// The value line(s) alone, without the header and key line around them.
std::string ValueText(const std::string& name, std::uint32_t type, const std::string& data) {
  const std::string all = SerialiseOne(name, type, data);
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n";
  EXPECT_EQ(all.substr(0, head.size()), head);
  EXPECT_EQ(all.substr(all.size() - 2), "\r\n");
  return all.substr(head.size(), all.size() - head.size() - 2);
}

void ExpectRoundTrip(const RegFile& file) {
  const RegFile again = RegFile::Parse(file.Serialise());
  EXPECT_FALSE(again.Damaged());
  EXPECT_TRUE(again.SameContent(file));
}

const RegEntry* Value(RegFile& file, const std::string& key, const std::string& name) {
  RegKeySection* section = file.FindKey(key);
  return section == nullptr ? nullptr : RegFile::FindValue(*section, name);
}

}  // namespace

// The registry editor's folding: after each byte but the last comes a comma;
// once the line has reached 77 columns it ends in a backslash and goes on
// after two spaces, so a continuation line holds 25 bytes.
TEST(RegFile, FoldsLongHexLinesAsTheRegistryEditorDoes) {
  EXPECT_EQ(
      ValueText("Blob", REG_BINARY, Counting(100)),
      Crlf("\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
           "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\n"
           "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,46,47,\\\n"
           "  48,49,4a,4b,4c,4d,4e,4f,50,51,52,53,54,55,56,57,58,59,5a,5b,5c,5d,5e,5f,60,\\\n"
           "  61,62,63\n"));
  // 22 + 25 bytes fill both lines exactly: no backslash after the last one.
  const std::string exact = ValueText("Blob", REG_BINARY, Counting(47));
  EXPECT_EQ(exact.substr(exact.size() - 5), ",2e\r\n") << exact;
  EXPECT_EQ(exact.find("2e,"), std::string::npos);
  // A name longer than the line: each line still carries a byte.
  const std::string name(80, 'n');
  EXPECT_EQ(ValueText(name, REG_BINARY, Counting(3)),
            Crlf("\"" + name + "\"=hex:00,\\\n  01,02\n"));

  // Either side of the boundary: a prefix of 73 columns leaves room for two
  // bytes on the first line, one of 74 for one.
  EXPECT_EQ(ValueText(std::string(66, 'n'), REG_BINARY, Counting(3)),
            Crlf("\"" + std::string(66, 'n') + "\"=hex:00,01,\\\n  02\n"));
  EXPECT_EQ(ValueText(std::string(67, 'n'), REG_BINARY, Counting(3)),
            Crlf("\"" + std::string(67, 'n') + "\"=hex:00,\\\n  01,02\n"));
}

TEST(RegFile, WritesHexWhereTheValueIsNoPlainTextOrDword) {
  EXPECT_EQ(ValueText("a", REG_SZ, "ab"), "\"a\"=hex(1):61,62\r\n");  // no NUL
  EXPECT_EQ(ValueText("a", REG_SZ, std::string("a\0b\0", 4)), "\"a\"=hex(1):61,00,62,00\r\n");
  EXPECT_EQ(ValueText("a", REG_SZ, std::string("a\0\0", 3)), "\"a\"=hex(1):61,00,00\r\n");
  EXPECT_EQ(ValueText("a", REG_SZ, ""), "\"a\"=hex(1):\r\n");
  EXPECT_EQ(ValueText("a", REG_SZ, std::string("\0", 1)), "\"a\"=\"\"\r\n");
  EXPECT_EQ(ValueText("a", REG_SZ, std::string("x\r\ny\0", 5)), "\"a\"=hex(1):78,0d,0a,79,00\r\n");
  EXPECT_EQ(ValueText("a", REG_SZ, std::string("\x82\0", 2)), "\"a\"=hex(1):82,00\r\n");
  EXPECT_EQ(ValueText("a", REG_SZ, std::string("tab\there\0", 9)), "\"a\"=\"tab\there\"\r\n");
  EXPECT_EQ(ValueText("a", REG_DWORD, "\x01\x02\x03"), "\"a\"=hex(4):01,02,03\r\n");
  EXPECT_EQ(ValueText("a", REG_DWORD, Counting(8)), "\"a\"=hex(4):00,01,02,03,04,05,06,07\r\n");
  EXPECT_EQ(ValueText("a", REG_QWORD, Counting(8)), "\"a\"=hex(b):00,01,02,03,04,05,06,07\r\n");
  EXPECT_EQ(ValueText("a", REG_EXPAND_SZ, std::string("%A%\0", 4)), "\"a\"=hex(2):25,41,25,00\r\n");
  EXPECT_EQ(ValueText("a", REG_BINARY, ""), "\"a\"=hex:\r\n");
  EXPECT_EQ(ValueText("a", REG_NONE, "\xff"), "\"a\"=hex(0):ff\r\n");
  EXPECT_EQ(ValueText("a", 0xabcdef12u, "\x01"), "\"a\"=hex(abcdef12):01\r\n");

  RegFile file;
  auto& key = file.AddKey("HKEY_CURRENT_USER\\K");
  RegFile::SetValue(key, "sz", REG_SZ, std::string("a\0b", 3));
  RegFile::SetValue(key, "empty", REG_SZ, "");
  RegFile::SetValue(key, "short", REG_DWORD, "\x01");
  RegFile::SetValue(key, "bin", REG_BINARY, "");
  RegFile::SetValue(key, "odd", 0x20000u, "\x7f");
  ExpectRoundTrip(file);
}

TEST(RegFile, EscapesByCharacterNotByByte) {
  // 表 and ソ end in 0x5C: the second byte of a character, no backslash.
  const std::string hyou = "\x95\x5c", so = "\x83\x5c";
  EXPECT_EQ(ValueText("a\"b\\c", REG_SZ, hyou + "\\" + so + "\"" + std::string(1, '\0')),
            "\"a\\\"b\\\\c\"=\"" + hyou + "\\\\" + so + "\\\"\"\r\n");
  EXPECT_EQ(ValueText(hyou, REG_SZ, std::string("x\0", 2)), "\"" + hyou + "\"=\"x\"\r\n");

  RegFile file;
  auto& key = file.AddKey("HKEY_CURRENT_USER\\Software\\" + hyou + so);
  RegFile::SetValue(key, hyou + so, REG_SZ, hyou + std::string(1, '\0'));
  RegFile::SetValue(key, "q\"\\", REG_SZ, std::string("\\\"\0", 3));
  ExpectRoundTrip(file);

  // ア (83 41) and ヂ (83 61) differ only as ASCII A and a would.
  EXPECT_NE(RegFile::Fold("\x83\x41"), RegFile::Fold("\x83\x61"));
  EXPECT_EQ(RegFile::Fold("Server\x83\x41"), "server\x83\x41");
  RegKeySection section{"K", {}};
  EXPECT_TRUE(RegFile::SetValue(section, "\x83\x41", REG_SZ, "1"));
  EXPECT_TRUE(RegFile::SetValue(section, "\x83\x61", REG_SZ, "2"));
  EXPECT_EQ(section.entries.size(), 2u);
  EXPECT_FALSE(RegFile::SetValue(section, "\x83\x41", REG_SZ, "1"));  // unchanged
  EXPECT_TRUE(RegFile::SetValue(section, "\x83\x41", REG_SZ, "3"));
  EXPECT_EQ(section.entries.size(), 2u);

  EXPECT_FALSE(RegFile::IsValidName("a\nb"));
  EXPECT_FALSE(RegFile::IsValidName(std::string("a\0", 2)));
  EXPECT_FALSE(RegFile::IsValidName("\x82"));      // lead byte alone
  EXPECT_FALSE(RegFile::IsValidName("\x82\x22"));  // lead byte before a quote
  EXPECT_FALSE(RegFile::SetValue(section, "a\rb", REG_SZ, "x"));
  EXPECT_FALSE(RegFile::IsValidKeyPath("\\a"));
  EXPECT_FALSE(RegFile::IsValidKeyPath("a\\"));
  EXPECT_FALSE(RegFile::IsValidKeyPath("a\\\\b"));
  EXPECT_FALSE(RegFile::IsValidKeyPath(""));
  EXPECT_TRUE(RegFile::IsValidKeyPath("a\\" + hyou));
}

TEST(RegFile, ReadsHandEditedFilesLeniently) {
  RegFile file = RegFile::Parse(
      "REGEDIT4\n"
      "[hkey_current_user\\software\\quillbet\\tavro]\n"
      "  \"Server\" = \"a\"   \n"
      "\"Sleep\"=DWORD:0000ABCD\n"
      "\"Short\"=dword:1\n"
      "\"Bin\"=HEX: 0a , 0B,\\\n"
      "\t\t0c,\\\n"
      "   0d\n"
      "\n\n"
      "\"Three\"=hex(3):ff\n"
      "\"Comma\"=hex:01,\n"
      "\"\"=\"default\"\n"
      "[HKEY_CURRENT_USER\\Software\\Quillbet\\TAVRO]   \n"
      "\"User\"=\"b\"\n");
  EXPECT_FALSE(file.Damaged());
  ASSERT_EQ(file.Keys().size(), 1u);
  EXPECT_EQ(file.Keys()[0].path, "hkey_current_user\\software\\quillbet\\tavro");
  const auto expect = [&](const char* name, std::uint32_t type, const std::string& data) {
    const RegEntry* value = Value(file, kTavroKey, name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value->type, type) << name;
    EXPECT_EQ(value->data, data) << name;
  };
  expect("SERVER", REG_SZ, std::string("a\0", 2));
  expect("Sleep", REG_DWORD, Dword(0xabcd));
  expect("Short", REG_DWORD, Dword(1));
  expect("Bin", REG_BINARY, "\x0a\x0b\x0c\x0d");
  expect("Three", REG_BINARY, "\xff");
  expect("Comma", REG_BINARY, "\x01");
  expect("", REG_SZ, std::string("default\0", 8));
  expect("User", REG_SZ, std::string("b\0", 2));
  ExpectRoundTrip(file);
}

TEST(RegFile, DamagedInputGivesWhatParses) {
  const std::string good = "[HKEY_CURRENT_USER\\K]\n\"Good\"=\"yes\"\n";
  const std::string after = "\"After\"=dword:00000002\n";
  const std::string kBad[] = {
      "junk line\n",
      "\"Odd\"=hex:0,12\n",
      "\"Odd\"=hex:abc\n",
      "\"Odd\"=hex:12,,34\n",
      "\"Junk\"=hex:12,zz\n",
      "\"Junk\"=hex(7x):12\n",
      "\"Junk\"=hex(123456789):12\n",
      "\"Junk\"=\"text\" trailing\n",
      "\"Junk\"=\"unterminated\n",
      "\"Junk\"=\"bad \\n escape\"\n",
      "\"Junk\"=dword:123456789\n",
      "\"Junk\"=dword:\n",
      "\"Junk\"=dword:12g\n",
      "\"Junk\"=str:\"x\"\n",
      "\"Junk\"\n",
      "\"Junk\"=hex:01,\\\n",  // continuation cut off by the next value
      "@junk=\"x\"\n",
      std::string("\"Nul\"=\"a\0b\"\n", 12),
      "\x82\xff\xfe\x01\x02\n",
  };
  for (const std::string& bad : kBad) {
    RegFile file = RegFile::Parse(Crlf("REGEDIT4\n\n" + good + bad + after));
    EXPECT_TRUE(file.Damaged()) << bad;
    ASSERT_EQ(file.Keys().size(), 1u) << bad;
    EXPECT_NE(Value(file, "HKEY_CURRENT_USER\\K", "Good"), nullptr) << bad;
    EXPECT_NE(Value(file, "HKEY_CURRENT_USER\\K", "After"), nullptr) << bad;
    EXPECT_EQ(file.Keys()[0].entries.size(), 2u) << bad;
    ExpectRoundTrip(file);
  }

  // No header; a value before any key; a key line without its bracket.
  RegFile headless = RegFile::Parse("\"Lost\"=\"x\"\n" + good + "[HKEY_CURRENT_USER\\L\n" + after);
  EXPECT_TRUE(headless.Damaged());
  ASSERT_EQ(headless.Keys().size(), 1u);
  EXPECT_EQ(headless.Keys()[0].entries.size(), 1u);  // "After" had no key to go to

  // A continuation cut off by a key line leaves that key line alone.
  RegFile cut = RegFile::Parse(
      "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"Cut\"=hex:01,02,\\\n[HKEY_CURRENT_USER\\L]\n" + after);
  EXPECT_TRUE(cut.Damaged());
  EXPECT_EQ(Value(cut, "HKEY_CURRENT_USER\\K", "Cut"), nullptr);
  EXPECT_NE(Value(cut, "HKEY_CURRENT_USER\\L", "After"), nullptr);

  // Cut off anywhere: a value comes whole, or the file counts as damaged (a
  // last line without its line end may have been cut).
  const std::string whole = Crlf("REGEDIT4\n\n" + good + "\"Bin\"=hex:01,02,\\\n  03,04\n");
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    RegFile part = RegFile::Parse(whole.substr(0, length));
    ExpectRoundTrip(part);
    const RegEntry* bin = Value(part, "HKEY_CURRENT_USER\\K", "Bin");
    if (length > 0 && whole[length - 1] != '\n') {
      EXPECT_TRUE(part.Damaged()) << length;
    }
    if (bin != nullptr && bin->data != "\x01\x02\x03\x04") {
      EXPECT_TRUE(part.Damaged()) << length;
    }
  }
  EXPECT_FALSE(RegFile::Parse(whole).Damaged());
  EXPECT_FALSE(RegFile::Parse("").Damaged());
  EXPECT_TRUE(RegFile::Parse("REGEDIT5\n").Damaged());
}

TEST(RegFile, AppliesDeletionLines) {
  RegFile file =
      RegFile::Parse(Crlf("REGEDIT4\n\n"
                          "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"X\"=-\n\"gone\"=-\n"
                          "[HKEY_CURRENT_USER\\A\\Sub]\n\"s\"=\"3\"\n"
                          "[HKEY_CURRENT_USER\\AB]\n\"ab\"=\"4\"\n"
                          "[HKEY_CURRENT_USER\\C]\n\"c\"=\"5\"\n"
                          "[-HKEY_CURRENT_USER\\c]\n"
                          "[HKEY_CURRENT_USER\\C]\n\"again\"=\"6\"\n"
                          "[-HKEY_CURRENT_USER\\Nothing]\n"));
  EXPECT_FALSE(file.Damaged());
  ASSERT_EQ(file.Keys().size(), 4u);
  EXPECT_EQ(file.Keys()[0].entries.size(), 1u);
  EXPECT_EQ(file.Keys()[0].entries[0].name, "y");
  EXPECT_EQ(file.Keys()[3].path, "HKEY_CURRENT_USER\\C");
  EXPECT_EQ(file.Keys()[3].entries.size(), 1u);
  EXPECT_EQ(file.Keys()[3].entries[0].name, "again");

  RegFile tree = RegFile::Parse(file.Serialise() + "[-HKEY_CURRENT_USER\\A]\r\n");
  ASSERT_EQ(tree.Keys().size(), 2u);
  EXPECT_EQ(tree.Keys()[0].path, "HKEY_CURRENT_USER\\AB");  // not below A

  // Values under a deleting key line have nowhere to go.
  RegFile orphans = RegFile::Parse("REGEDIT4\n[-HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n");
  EXPECT_TRUE(orphans.Damaged());
  EXPECT_TRUE(orphans.Keys().empty());
}

TEST(RegFile, RepeatsMergeAndKeepTheFirstPlace) {
  RegFile file = RegFile::Parse(
      "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
      "[HKEY_CURRENT_USER\\B]\n\"z\"=\"3\"\n"
      "[hkey_current_user\\a]\n\"A\"=dword:00000009\n\"c\"=\"4\"\n");
  EXPECT_FALSE(file.Damaged());
  ASSERT_EQ(file.Keys().size(), 2u);
  const auto& a = file.Keys()[0];
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[0].name, "a");
  EXPECT_EQ(a.entries[0].type, REG_DWORD);
  EXPECT_EQ(a.entries[1].name, "b");
  EXPECT_EQ(a.entries[2].name, "c");
}

TEST(RegFile, KeepsCommentsWhereTheyStand) {
  const std::string text = Crlf(
      "REGEDIT4\n\n"
      "; exported by hand\n"
      "  ;; indented\n\n"
      "[HKEY_CURRENT_USER\\A]\n"
      "\"a\"=\"1\"\n"
      "; about b\n"
      "\"b\"=\"2\"\n\n"
      "[HKEY_CURRENT_USER\\B]\n"
      "; last\n\n");
  RegFile file = RegFile::Parse(text);
  EXPECT_FALSE(file.Damaged());
  EXPECT_EQ(file.Serialise(), text);
  ASSERT_EQ(file.Preamble().size(), 2u);
  EXPECT_EQ(file.Preamble()[1], "  ;; indented");
  EXPECT_TRUE(file.Keys()[0].entries[1].comment);

  RegFile orphan = RegFile::Parse("REGEDIT4\n[-HKEY_CURRENT_USER\\A]\n; where to?\n");
  EXPECT_TRUE(orphan.Damaged());
}

// Repeats and deletions are looked up through indexes, so that a file at the
// size bound made of nothing else parses in linear time: four times the input
// takes about four times as long, not sixteen. The best of two runs each.
TEST(RegFile, LargeFilesParseInLinearTime) {
  const auto adversarial = [](int count) {
    std::string keys = "REGEDIT4\n";
    std::string deletions;
    std::string values = "[HKEY_CURRENT_USER\\V]\n";
    std::string valueDeletions;
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(i);
      keys += "[HKEY_CURRENT_USER\\K\\" + n + "]\n";
      deletions += "[-HKEY_CURRENT_USER\\K\\" + n + "]\n";
      values += "\"v" + n + "\"=dword:00000001\n";
      valueDeletions += "\"v" + n + "\"=-\n";
    }
    // Deleting the first key first: a list search would walk all the others.
    return keys + deletions + values + valueDeletions;
  };
  const auto bestTime = [](const std::string& text) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int run = 0; run < 2; ++run) {
      const auto start = std::chrono::steady_clock::now();
      RegFile file = RegFile::Parse(text);
      best = std::min(best, std::chrono::steady_clock::now() - start);
      EXPECT_FALSE(file.Damaged());
      EXPECT_EQ(file.Keys().size(), 1u);
      EXPECT_TRUE(file.Keys()[0].entries.empty());
    }
    return std::chrono::duration<double>(best).count();
  };
  const double small = bestTime(adversarial(5000));
  const double large = bestTime(adversarial(20000));
  EXPECT_LT(large, small * 10) << small << " s against " << large << " s";
}
