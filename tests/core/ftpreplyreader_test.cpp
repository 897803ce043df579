// The FTP reply rules, driven from buffers: every case is fed whole and byte
// by byte, which must read the same reply.
#include "ftp/FtpReplyReader.h"

#include <gtest/gtest.h>

using namespace tavro;
using State = FtpReplyReader::State;

namespace {

struct Read {
  State Status;
  int Code;
  std::string Text;
  std::size_t Taken;
  bool operator==(const Read&) const = default;
};

void PrintTo(const Read& r, std::ostream* out) {
  *out << static_cast<int>(r.Status) << " " << r.Code << " " << ::testing::PrintToString(r.Text)
       << " taken " << r.Taken;
}

Read Feed(const std::string& bytes, std::size_t piece) {
  FtpReplyReader reader;
  std::size_t taken = 0;
  for (std::size_t at = 0; at < bytes.size() && reader.Status() == State::Reading; at += piece) {
    const std::string_view chunk = std::string_view(bytes).substr(at, piece);
    const std::size_t n = reader.Feed(chunk);
    taken += n;
    if (n < chunk.size()) {
      break;
    }
  }
  const State status = reader.Status();
  const FtpReply reply = reader.Take();
  return {status, reply.Code, reply.Text, taken};
}

TEST(FtpReplyReader, RepliesEndWhereTheProtocolSaysAndNoLater) {
  const std::string line(FtpReplyReader::MaxReply - 6, 'x');  // "220 " + line + CR LF fills it
  const std::string continued = "220-" + std::string(1000, 'c') + "\r\n";
  std::string endless;
  while (endless.size() <= FtpReplyReader::MaxReply) {
    endless += continued;
  }
  const struct {
    std::string Bytes;
    Read Expected;
  } cases[] = {
      {"220 Ready\r\n230 next", {State::Complete, 220, "220 Ready", 11}},
      {"200\r\n", {State::Complete, 200, "200", 5}},
      // Lines between may look like replies, with this code or another.
      {"211-Features:\r\n EPRT\r\n211-more\r\n213 size\r\n211 End\r\nnext",
       {State::Complete, 211, "211-Features:\n EPRT\n211-more\n213 size\n211 End", 51}},
      {"150-a\n150\n", {State::Complete, 150, "150-a\n150", 10}},
      // Not a reply: one line with code 0, which no caller accepts.
      {"garbage\r\n", {State::Complete, 0, "garbage", 9}},
      {"600 high\r\n", {State::Complete, 0, "600 high", 10}},
      {"220x\r\n", {State::Complete, 0, "220x", 6}},
      {"220-a\r\n220-b\r\n221 other", {State::Reading, 220, "220-a\n220-b", 23}},
      {"220 " + line + "\r\n", {State::Complete, 220, "220 " + line, FtpReplyReader::MaxReply}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Feed(c.Bytes, c.Bytes.size()), c.Expected) << c.Bytes.substr(0, 40);
    EXPECT_EQ(Feed(c.Bytes, 1), c.Expected) << c.Bytes.substr(0, 40);
  }
  // One byte over the bound, in one line or in many, and the reply fails.
  for (const std::string& tooLong : {"220 " + line + "x\r\n", endless, "220 " + line + "xxx"}) {
    EXPECT_EQ(Feed(tooLong, tooLong.size()).Status, State::TooLong);
    EXPECT_EQ(Feed(tooLong, 1).Status, State::TooLong);
  }
}

}  // namespace
