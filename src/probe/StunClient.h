// One Binding transaction over UDP with a STUN server (RFC 5389): the request
// goes out again after 500 ms, then after twice as long each time, up to seven
// times, and the whole exchange ends at its time limit (10 s by default)
// whatever the schedule would still allow. Only datagrams from the server
// reach the socket (it is connected), and only an answer that carries the
// request's transaction id and reads in full ends the wait; anything else is
// ignored and counted.
#pragma once

#include "platform/Ipv4Address.h"
#include "probe/StunMessage.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tavro {

inline constexpr std::uint16_t kStunPort = 3478;
inline constexpr std::chrono::milliseconds kStunFirstRetransmit{500};
inline constexpr int kStunMaxRequests = 7;

struct StunExchange {
  // Set where an answer to the request came (Mapped, NoMapping or Error);
  // Malformed where none did, the socket failed or the run was abandoned.
  StunAnswer Answer;
  bool Answered = false;
  // Where nothing answered: why ("timed out after 10 s", with the datagrams
  // that were ignored and why the last one was; or the system's error, such
  // as "Connection refused" from a port nobody listens on).
  std::string Cause;
  int RequestsSent = 0;
};

class StunClient {
public:
  StunClient() = default;
  ~StunClient();
  StunClient(const StunClient&) = delete;
  StunClient& operator=(const StunClient&) = delete;

  // False with the system's error in FailureCause.
  bool Open();
  const std::string& FailureCause() const { return Failure; }

  // Returns within `limit` (plus one poll slice where abandoned() turns true).
  StunExchange Ask(Ipv4Address server, std::uint16_t port, std::chrono::milliseconds limit,
                   const std::function<bool()>& abandoned = {});

private:
  int Socket = -1;
  std::string Failure;
};

// A fresh random id (getrandom), so that an off-path sender cannot guess it.
StunTransactionId NewStunTransactionId();

}  // namespace tavro
