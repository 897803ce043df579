// The listening half of the scripted peers: 127.0.0.1 on a port of the
// system's choosing, each connection served on a thread of its own. A
// conversation waits through WaitReadable, which gives up once the server
// stops, so the destructor ends every conversation within a tick.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace tavro::test {

class LoopbackServer {
public:
  using Conversation = std::function<void(Poco::Net::StreamSocket&)>;

  explicit LoopbackServer(Conversation converse);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t Port() const { return Listener.address().port(); }
  bool Stopping() const { return Stop; }
  // True once the socket has something to read (or has been closed).
  bool WaitReadable(const Poco::Net::Socket& socket) const;
  // The next line without its CR LF, from what `pending` holds and what comes;
  // nothing once the client has gone or the server stops. 64 KiB without a
  // line end count as a line.
  std::optional<std::string> ReadLine(Poco::Net::StreamSocket& socket, std::string& pending) const;
  // False where the client has gone.
  static bool SendAll(Poco::Net::StreamSocket& socket, const std::string& bytes);

private:
  struct Running {
    std::thread Thread;
    std::shared_ptr<std::atomic<bool>> Done;
  };
  void Accept();

  Poco::Net::ServerSocket Listener;
  Conversation Converse;
  std::atomic<bool> Stop{false};
  // Finished conversations are joined as new ones come, so that a benchmark's
  // thousands of connections do not pile up threads.
  std::list<Running> Conversations;
  std::thread Acceptor;
};

}  // namespace tavro::test
