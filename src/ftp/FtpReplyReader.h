// Reads FTP control replies from bytes as they arrive, in pieces of any size,
// so that the rules live apart from the socket and can be driven from a
// buffer. A reply is one line "NNN text", or a first line "NNN-text", any
// lines, and a last line that starts with the same code and a blank. A line
// that does not start with a code is taken as a reply of its own with code 0,
// which no caller accepts: the server answered, only not in the protocol.
//
// A reply larger than MaxReply bytes (line ends included) is a failure: no
// server needs that much to answer a command, and a peer that never ends its
// reply must not make the program hold it all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavro {

struct FtpReply {
  int Code = 0;
  // Every line with its code, without line ends, joined by "\n".
  std::string Text;
};

class FtpReplyReader {
public:
  static constexpr std::size_t MaxReply = 64 * 1024;

  enum class State { Reading, Complete, TooLong };

  // Takes bytes up to and including the end of the reply and returns how many
  // it took: what follows belongs to the next reply. Takes nothing once the
  // reply is complete or too long.
  std::size_t Feed(std::string_view bytes);
  State Status() const { return Current; }
  // The complete reply; the reader starts on the next one.
  FtpReply Take();

private:
  void EndLine();

  State Current = State::Reading;
  std::size_t Size = 0;
  std::string Line;
  bool MultiLine = false;
  FtpReply Reply;
};

}  // namespace tavro
