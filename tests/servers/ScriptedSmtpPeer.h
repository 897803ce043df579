// A mail server on a loopback port that follows a script, for the probe's
// tests: it greets (in as many segments as asked), reads the HELO line and
// answers, or closes at once, or stays silent. Listens on 127.0.0.1 on a port
// of the system's choosing; the destructor stops it and every connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

  std::uint16_t Port() const { return ListenPort; }
  // Applies to the connections that come after.
  void SetScript(SmtpScript script);

  std::size_t Connections() const;
  // Each HELO line as received, CR LF included.
  std::vector<std::string> HeloLines() const;
  // Waits until this many connections have been closed by the client.
  bool WaitForClientCloses(std::size_t count, std::chrono::milliseconds timeout) const;

private:
  void AcceptLoop();
  void Serve(int connection, SmtpScript script);
  bool WaitReady(int fd, short events) const;
  bool SendAll(int fd, const std::string& data) const;
  std::optional<std::string> ReadLine(int fd) const;
  void AwaitClientClose(int fd);

  int Listener = -1;
  int StopPipe[2] = {-1, -1};
  std::uint16_t ListenPort = 0;

  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  SmtpScript Script;
  std::size_t Accepted = 0;
  std::size_t ClientCloses = 0;
  std::vector<std::string> Helos;
  // Finished conversations are joined as new ones come, so that a benchmark's
  // thousands of connections do not pile up threads.
  struct Conversation {
    std::thread Thread;
    std::shared_ptr<std::atomic<bool>> Done;
  };
  std::list<Conversation> Conversations;
  std::thread Acceptor;
};

}  // namespace tavro::test
