#include "ftp/FtpReplyReader.h"

#include <utility>

namespace tavro {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The code of a line that starts like a reply: three digits, the first 1 to 5,
// then a blank, a hyphen or the end of the line. 0 for any other line.
int CodeOf(std::string_view line) {
  if (line.size() < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2]) ||
      (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
    return 0;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

std::size_t FtpReplyReader::Feed(std::string_view bytes) {
  std::size_t taken = 0;
  while (Current == State::Reading && taken < bytes.size()) {
    const std::string_view rest = bytes.substr(taken);
    const std::size_t newline = rest.find('\n');
    const std::size_t piece = newline == std::string_view::npos ? rest.size() : newline + 1;
    if (Size + piece > MaxReply) {
      Current = State::TooLong;
      Line.clear();
      Reply = {};
      return taken;
    }
    Size += piece;
    taken += piece;
    if (newline == std::string_view::npos) {
      Line.append(rest);
    } else {
      Line.append(rest.substr(0, newline));
      EndLine();
    }
  }
  return taken;
}

void FtpReplyReader::EndLine() {
  if (!Line.empty() && Line.back() == '\r') {
    Line.pop_back();
  }
  const int code = CodeOf(Line);
  if (!Reply.Text.empty()) {
    Reply.Text += '\n';
  }
  Reply.Text += Line;
  if (!MultiLine) {
    Reply.Code = code;
    MultiLine = code != 0 && Line.size() > 3 && Line[3] == '-';
    if (!MultiLine) {
      Current = State::Complete;
    }
  } else if (code == Reply.Code && (Line.size() == 3 || Line[3] == ' ')) {
    // Lines between may start with any code, even this one with a hyphen;
    // only the code and a blank end the reply.
    Current = State::Complete;
  }
  Line.clear();
}

FtpReply FtpReplyReader::Take() {
  FtpReply reply = std::move(Reply);
  *this = FtpReplyReader();
  return reply;
}

}  // namespace tavro
