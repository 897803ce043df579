// Every network time-out of the program, in one place. The Windows program set
// none; a server that accepts and never answers must not hold a worker for
// ever. Tests shorten them through the workers' SetTimeouts.
#pragma once

#include <chrono>

namespace tavro {

struct SmtpTimeouts {
  std::chrono::milliseconds Connect{10'000};
  std::chrono::milliseconds Receive{15'000};
  std::chrono::milliseconds Send{10'000};
  // A STUN exchange in all, every retransmission of the request included.
  std::chrono::milliseconds Stun{10'000};
};

struct FtpTimeouts {
  // Each control reply and each data connection (accept, read, write).
  std::chrono::milliseconds Reply{30'000};

  // A whole listing's data, however steadily it comes: ten minutes at the
  // default, time for a million entries on a slow line.
  static constexpr int ListingReplies = 20;
  std::chrono::milliseconds Listing() const { return Reply * ListingReplies; }
};

}  // namespace tavro
