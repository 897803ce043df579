// The REGEDIT4 text on its own. That whatever parses writes back and reads the
// same is left to fuzz/regfile_fuzz.cpp; these pin the exact text and what a
// damaged or hand-edited file reads as.
#include "registry/RegFile.h"

#include "registry/RegistryStore.h"
#include "support/TextFiles.h"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace tavro;
using tavro::test::Crlf;

namespace {

std::string Counting(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += static_cast<char>(i);
  }
  return out;
}

}  // namespace

// The registry editor's folding: after each byte but the last comes a comma;
// once the line has reached 77 columns it ends in a backslash and goes on
// after two spaces, so a continuation line holds 25 bytes. A value that is no
// plain text (one string and its NUL, whole double-byte characters, no line
// break) or four-byte number is written as hex, so that it reads back as it
// was.
TEST(RegFile, WritesValuesAsTheRegistryEditorDoes) {
  using namespace std::string_literals;
  const std::string n66(66, 'n'), n67(67, 'n'), n80(80, 'n');
  // 表 (95 5C) and ソ (83 5C) end in the byte of a backslash: no escape there.
  const std::string hyou = "\x95\x5c", so = "\x83\x5c";
  const struct {
    std::string Name;
    std::uint32_t Type;
    std::string Data;
    std::string Lines;
  } kCases[] = {
      {"Blob", kRegBinary, Counting(72),  // three full lines: no backslash at the end
       "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
       "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\n"
       "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,46,47"},
      // A prefix of 73 columns leaves room for two bytes on the first line, one
      // of 74 for one; a longer one still carries a byte.
      {n66, kRegBinary, Counting(3), "\"" + n66 + "\"=hex:00,01,\\\n  02"},
      {n67, kRegBinary, Counting(3), "\"" + n67 + "\"=hex:00,\\\n  01,02"},
      {n80, kRegBinary, Counting(3), "\"" + n80 + "\"=hex:00,\\\n  01,02"},
      {"a\"b\\c" + hyou, kRegSz, hyou + "\\" + so + "\"" + '\0',
       "\"a\\\"b\\\\c" + hyou + "\"=\"" + hyou + "\\\\" + so + "\\\"\""},
      {"a", kRegSz, "\0"s, "\"a\"=\"\""},
      {"a", kRegSz, "tab\there\0"s, "\"a\"=\"tab\there\""},
      {"a", kRegDword, "\x01\x02\x03\x04", "\"a\"=dword:04030201"},
      {"a", kRegSz, "ab", "\"a\"=hex(1):61,62"},
      {"a", kRegSz, "", "\"a\"=hex(1):"},
      {"a", kRegSz, "a\0b\0"s, "\"a\"=hex(1):61,00,62,00"},
      {"a", kRegSz, "x\r\ny\0"s, "\"a\"=hex(1):78,0d,0a,79,00"},
      {"a", kRegSz, "\x82\0"s, "\"a\"=hex(1):82,00"},  // a lead byte alone
      {"a", kRegDword, "\x01\x02\x03", "\"a\"=hex(4):01,02,03"},
      {"a", kRegBinary, "", "\"a\"=hex:"},
      {"a", kRegNone, "\xff", "\"a\"=hex(0):ff"},
      {"a", 0xabcdef12u, "\x01", "\"a\"=hex(abcdef12):01"},
  };
  for (const auto& c : kCases) {
    RegFile file;
    RegFile::SetValue(file.AddKey("HKEY_CURRENT_USER\\K"), c.Name, c.Type, c.Data);
    EXPECT_EQ(file.Serialise(), Crlf("REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n" + c.Lines + "\n\n"));
  }
}

// ム (83 5D) ends in the byte of ']', ソ (83 5C) in that of a backslash.
TEST(RegFile, ReadsDoubleByteCharactersAsWholes) {
  const std::string so = "\x83\x5c", mu = "\x83\x5d";
  const RegFile file = RegFile::Parse(
      Crlf("REGEDIT4\n\n[HKEY_CURRENT_USER\\" + mu + "]\n\"" + so + "\"=\"" + so + "\\\"\"\n"));
  EXPECT_FALSE(file.Damaged());
  ASSERT_EQ(file.Keys().size(), 1u);
  EXPECT_EQ(file.Keys()[0].Path, "HKEY_CURRENT_USER\\" + mu);
  ASSERT_EQ(file.Keys()[0].Entries.size(), 1u);
  EXPECT_EQ(file.Keys()[0].Entries[0], (RegEntry{false, so, kRegSz, so + "\"" + '\0'}));

  // ア (83 41) and ヂ (83 61) differ only as ASCII A and a would: two names.
  RegKeySection section{"K", {}};
  EXPECT_TRUE(RegFile::SetValue(section, "\x83\x41", kRegSz, "1"));
  EXPECT_TRUE(RegFile::SetValue(section, "\x83\x61", kRegSz, "2"));
  EXPECT_EQ(section.Entries.size(), 2u);
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
  EXPECT_EQ(file.Serialise(),
            Crlf("REGEDIT4\n\n[hkey_current_user\\software\\quillbet\\tavro]\n"
                 "\"Server\"=\"a\"\n\"Sleep\"=dword:0000abcd\n\"Short\"=dword:00000001\n"
                 "\"Bin\"=hex:0a,0b,0c,0d\n\"Three\"=hex:ff\n\"Comma\"=hex:01\n"
                 "@=\"default\"\n\"User\"=\"b\"\n\n"));
}

TEST(RegFile, DamagedInputGivesWhatParses) {
  const std::string good = "[HKEY_CURRENT_USER\\K]\n\"Good\"=\"yes\"\n";
  const std::string after = "\"After\"=dword:00000002\n";
  const std::string kBad[] = {
      "junk line\n",
      "\"Odd\"=hex:0,12\n",
      "\"Odd\"=hex:12,,34\n",
      "\"Junk\"=hex:12,zz\n",
      "\"Junk\"=hex(7x):12\n",
      "\"Junk\"=hex(123456789):12\n",
      "\"Junk\"\n",
      "\"Junk\"=\"text\" trailing\n",
      "\"Junk\"=\"unterminated\n",
      "@junk=\"x\"\n",
      "\"Junk\"=\"bad \\n escape\"\n",
      "\"Junk\"=dword:123456789\n",
      "\"Junk\"=dword:\n",
      "\"Junk\"=str:\"x\"\n",
      "\"Junk\"=hex:01,\\\n",  // continuation cut off by the next value
      std::string("\"Nul\"=\"a\0b\"\n", 12),
      "\x82\xff\xfe\x01\x02\n",
  };
  for (const std::string& bad : kBad) {
    RegFile file = RegFile::Parse(Crlf("REGEDIT4\n\n" + good + bad + after));
    EXPECT_TRUE(file.Damaged()) << bad;
    EXPECT_EQ(file.Serialise(), Crlf("REGEDIT4\n\n" + good + after + "\n")) << bad;
  }
  // No header, a value before any key, a key line without its bracket; a
  // continuation cut off by a key line, which stays.
  for (const auto& [text, left] :
       {std::pair{"\"Lost\"=\"x\"\n" + good + "[HKEY_CURRENT_USER\\L\n" + after, good + "\n"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"Cut\"=hex:01,\\\n[HKEY_CURRENT_USER\\L]\n" + after,
         "[HKEY_CURRENT_USER\\K]\n\n[HKEY_CURRENT_USER\\L]\n" + after + "\n"}}) {
    RegFile file = RegFile::Parse(text);
    EXPECT_TRUE(file.Damaged()) << text;
    EXPECT_EQ(file.Serialise(), Crlf("REGEDIT4\n\n" + left)) << text;
  }

  // Cut off anywhere: a value comes whole, or the file counts as damaged (a
  // last line without its line end may have been cut).
  const std::string whole = Crlf("REGEDIT4\n\n" + good + "\"Bin\"=hex:01,02,\\\n  03,04\n");
  EXPECT_FALSE(RegFile::Parse(whole).Damaged());
  for (std::size_t length = 1; length < whole.size(); ++length) {
    RegFile part = RegFile::Parse(whole.substr(0, length));
    const std::string text = part.Serialise();
    if (whole[length - 1] != '\n' ||
        (text.find("\"Bin\"") != std::string::npos &&
         text.find("\"Bin\"=hex:01,02,03,04\r\n") == std::string::npos)) {
      EXPECT_TRUE(part.Damaged()) << length;
    }
  }
}

TEST(RegFile, AppliesDeletionsAndMergesRepeats) {
  RegFile file =
      RegFile::Parse(Crlf("REGEDIT4\n\n"
                          "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"X\"=-\n\"gone\"=-\n"
                          "[HKEY_CURRENT_USER\\A\\Sub]\n\"s\"=\"3\"\n"
                          "[HKEY_CURRENT_USER\\AB]\n\"ab\"=\"4\"\n"
                          "[HKEY_CURRENT_USER\\C]\n\"c\"=\"5\"\n"
                          "[-HKEY_CURRENT_USER\\c]\n"
                          "[HKEY_CURRENT_USER\\C]\n\"again\"=\"6\"\n"
                          "[-HKEY_CURRENT_USER\\Nothing]\n"
                          "[hkey_current_user\\a]\n\"Y\"=dword:00000009\n\"z\"=\"7\"\n"));
  EXPECT_FALSE(file.Damaged());
  // A repeated key or value keeps its first place and spelling.
  EXPECT_EQ(file.Serialise(), Crlf("REGEDIT4\n\n"
                                   "[HKEY_CURRENT_USER\\A]\n\"y\"=dword:00000009\n\"z\"=\"7\"\n\n"
                                   "[HKEY_CURRENT_USER\\A\\Sub]\n\"s\"=\"3\"\n\n"
                                   "[HKEY_CURRENT_USER\\AB]\n\"ab\"=\"4\"\n\n"
                                   "[HKEY_CURRENT_USER\\C]\n\"again\"=\"6\"\n\n"));

  RegFile tree = RegFile::Parse(file.Serialise() + "[-HKEY_CURRENT_USER\\A]\r\n");
  ASSERT_EQ(tree.Keys().size(), 2u);
  EXPECT_EQ(tree.Keys()[0].Path, "HKEY_CURRENT_USER\\AB");  // not below A

  // Values and comments under a deleting key line have nowhere to go.
  for (const char* orphan : {"\"v\"=\"1\"\n", "; where to?\n"}) {
    RegFile lost = RegFile::Parse(std::string("REGEDIT4\n[-HKEY_CURRENT_USER\\A]\n") + orphan);
    EXPECT_TRUE(lost.Damaged()) << orphan;
    EXPECT_TRUE(lost.Keys().empty()) << orphan;
  }
}

// Repeats and deletions are looked up through indexes, so that a file at the
// size bound made of nothing else parses in linear time. Judged by the CPU time
// of this thread (best of three), which other processes on a loaded machine do
// not add to, with a wide margin: 16 times the input must cost well under 64
// times as much, where a list search would cost 256 times.
TEST(RegFile, LargeFilesParseInLinearTime) {
  const auto threadSeconds = [] {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  };
  const auto bestTime = [&](int count) {
    std::string keys = "REGEDIT4\n", deletions, values = "[HKEY_CURRENT_USER\\V]\n", erasures;
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(i);
      keys += "[HKEY_CURRENT_USER\\K\\" + n + "]\n";
      deletions += "[-HKEY_CURRENT_USER\\K\\" + n + "]\n";  // the first first: a list
      values += "\"v" + n + "\"=dword:00000001\n";          // search would walk all others
      erasures += "\"v" + n + "\"=-\n";
    }
    const std::string text = keys + deletions + values + erasures;
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
      const double start = threadSeconds();
      const std::string left = RegFile::Parse(text).Serialise();
      best = std::min(best, threadSeconds() - start);
      EXPECT_EQ(left, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\V]\r\n\r\n");
    }
    return best;
  };
  const double small = bestTime(1000);
  const double large = bestTime(16000);
  EXPECT_LT(large, small * 64) << small << " s against " << large << " s of CPU time";
}

// Old Mac editors end lines with CR alone, and a file converted to CR LF twice
// has CR CR LF: both read line by line, hex continuations included. A last
// line without an LF still counts as possibly cut, so the original is kept.
TEST(RegFile, ReadsCrLineEndsAsLines) {
  const std::string lf =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"A\"=\"1\"\n\"Bin\"=hex:01,02,\\\n  03\n"
      "; note\n\"B\"=dword:00000002\n";
  const std::string expected = RegFile::Parse(Crlf(lf)).Serialise();
  struct Case {
    const char* LineEnd;
    bool Damaged;
  };
  for (const auto& [end, damaged] : {Case{"\r", true}, Case{"\r\r\n", false}}) {
    std::string text;
    for (char c : lf) {
      text += c == '\n' ? std::string(end) : std::string(1, c);
    }
    const RegFile file = RegFile::Parse(text);
    EXPECT_EQ(file.Serialise(), expected) << end;
    EXPECT_EQ(file.Damaged(), damaged) << end;
  }
}

// A value line that does not parse is dropped, and its name is known to the
// reader, by key; a line that names nothing is damage without a name.
TEST(RegFile, NamesTheValuesOnLinesThatDoNotParse) {
  const RegFile file = RegFile::Parse(Crlf(
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"Server\"=dword:123456789\n\"Good\"=\"x\"\n"
      "junk\n\"Cut\"=hex:01,\\\n[HKEY_CURRENT_USER\\L]\n@=\"bad \\q\"\n\"Twice\"=hex:zz\n"
      "\"Twice\"=\"later good\"\n"));
  EXPECT_TRUE(file.Damaged());
  EXPECT_EQ(file.UnreadValues("hkey_current_user\\k"), (std::vector<std::string>{"Server", "Cut"}));
  EXPECT_EQ(file.UnreadValues("HKEY_CURRENT_USER\\L"), (std::vector<std::string>{"", "Twice"}));
  EXPECT_TRUE(file.UnreadValues("HKEY_CURRENT_USER\\M").empty());
}
