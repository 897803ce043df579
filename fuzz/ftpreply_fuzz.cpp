// Replies on the FTP control connection come from a server the program
// cannot trust. The reader must never crash, never hold more than its bound,
// and read the same replies however the bytes are split into receives (the
// input's length picks the size of the pieces, so the seeds stay plain
// replies as servers send them).
#include "ftp/FtpReplyReader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

struct Outcome {
  std::vector<tavro::FtpReply> Replies;
  tavro::FtpReplyReader::State Last = tavro::FtpReplyReader::State::Reading;
};

Outcome ReadAll(std::string_view input, std::size_t piece) {
  Outcome outcome;
  tavro::FtpReplyReader reader;
  std::string pending;
  while (!input.empty() || !pending.empty()) {
    if (pending.empty()) {
      pending.assign(input.substr(0, piece));
      input.remove_prefix(pending.size());
    }
    const std::size_t taken = reader.Feed(pending);
    if (taken > pending.size()) {
      std::abort();
    }
    pending.erase(0, taken);
    if (reader.Status() == tavro::FtpReplyReader::State::TooLong) {
      outcome.Last = reader.Status();
      return outcome;
    }
    if (reader.Status() == tavro::FtpReplyReader::State::Complete) {
      tavro::FtpReply reply = reader.Take();
      if (reply.Text.size() > tavro::FtpReplyReader::MaxReply ||
          (reply.Code != 0 && (reply.Code < 100 || reply.Code > 599))) {
        std::abort();
      }
      outcome.Replies.push_back(std::move(reply));
    } else if (taken == 0 && !pending.empty()) {
      std::abort();  // a reader still reading must take what it is given
    }
  }
  outcome.Last = reader.Status();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t piece = 1 + size % 61;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Outcome whole = ReadAll(input, input.size() + 1);
  const Outcome pieces = ReadAll(input, piece);
  if (whole.Last != pieces.Last || whole.Replies.size() != pieces.Replies.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < whole.Replies.size(); ++i) {
    if (whole.Replies[i].Code != pieces.Replies[i].Code ||
        whole.Replies[i].Text != pieces.Replies[i].Text) {
      std::abort();
    }
  }
  return 0;
}
