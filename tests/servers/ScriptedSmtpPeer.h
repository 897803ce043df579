// A mail server on a loopback port that follows a script, for the probe's
// tests: it greets (in as many segments as asked), reads the HELO line and
// answers, or closes at once, or stays silent. Listens on 127.0.0.1 on a port
// of the system's choosing; the destructor stops it and every connection.
#pragma once

#include "servers/LoopbackServer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavro::test {

struct SmtpScript {
  enum class Behaviour { Converse, CloseAtOnce, Silent };
  Behaviour Mode = Behaviour::Converse;
  // Each segment is sent on its own.
  std::vector<std::string> Greeting{"220 peer.test ESMTP ready\r\n"};
  // Runs on the peer's thread before each greeting segment but the first, so
  // that a test can hold the next segment until the client has read the last
  // one. Without it the peer pauses a little.
  std::function<void()> BeforeNextSegment;
  // The answer to HELO. Without one the peer answers as a mail server does,
  // with the caller's address in square brackets.
  std::optional<std::string> Answer;

  static SmtpScript Behaving(Behaviour mode) {
    SmtpScript script;
    script.Mode = mode;
    return script;
  }
};

class ScriptedSmtpPeer {
public:
  explicit ScriptedSmtpPeer(SmtpScript script = {});
  ~ScriptedSmtpPeer();
  ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
  ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;

  std::uint16_t Port() const { return Server.Port(); }
  // Applies to the connections that come after.
  void SetScript(SmtpScript script);

  std::size_t Connections() const;
  // Each HELO line as received, CR LF included.
  std::vector<std::string> HeloLines() const;
  // Waits until this many connections have been closed by the client.
  bool WaitForClientCloses(std::size_t count, std::chrono::milliseconds timeout) const;

private:
  void Serve(Poco::Net::StreamSocket& connection);

  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  SmtpScript Script;
  std::size_t Accepted = 0;
  std::size_t ClientCloses = 0;
  std::vector<std::string> Helos;
  // Last, so that every conversation has ended before the rest goes.
  LoopbackServer Server{[this](Poco::Net::StreamSocket& connection) { Serve(connection); }};
};

}  // namespace tavro::test
