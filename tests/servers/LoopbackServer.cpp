#include "servers/LoopbackServer.h"

#include <Poco/Exception.h>

namespace tavro::test {

LoopbackServer::LoopbackServer(Conversation converse)
    : Listener(Poco::Net::SocketAddress("127.0.0.1", 0)), Converse(std::move(converse)) {
  Acceptor = std::thread([this] { Accept(); });
}

LoopbackServer::~LoopbackServer() {
  Stop = true;
  Acceptor.join();
}

void LoopbackServer::Accept() {
  while (WaitReadable(Listener)) {
    Poco::Net::StreamSocket connection;
    try {
      connection = Listener.acceptConnection();
    } catch (const Poco::Exception&) {
      continue;
    }
    Conversations.remove_if([](Running& running) {
      if (!*running.Done) {
        return false;
      }
      running.Thread.join();
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    Conversations.push_back({std::thread([this, connection, done]() mutable {
                               try {
                                 Converse(connection);
                               } catch (const Poco::Exception&) {
                               }
                               *done = true;
                             }),
                             done});
  }
  for (auto& running : Conversations) {
    running.Thread.join();
  }
}

bool LoopbackServer::WaitReadable(const Poco::Net::Socket& socket) const {
  while (!Stop) {
    try {
      if (socket.poll(Poco::Timespan(0, 20'000), Poco::Net::Socket::SELECT_READ)) {
        return true;
      }
    } catch (const Poco::Exception&) {
      return false;
    }
  }
  return false;
}

std::optional<std::string> LoopbackServer::ReadLine(Poco::Net::StreamSocket& socket,
                                                    std::string& pending) const {
  for (;;) {
    if (const auto end = pending.find("\r\n"); end != std::string::npos || pending.size() > 65536) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end == std::string::npos ? end : end + 2);
      return line;
    }
    char buffer[4096];
    int n = 0;
    try {
      n = WaitReadable(socket) ? socket.receiveBytes(buffer, sizeof buffer) : 0;
    } catch (const Poco::Exception&) {
    }
    if (n <= 0) {
      return std::nullopt;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
  }
}

bool LoopbackServer::SendAll(Poco::Net::StreamSocket& socket, const std::string& bytes) {
  try {
    for (std::size_t sent = 0; sent < bytes.size();) {
      sent += static_cast<std::size_t>(
          socket.sendBytes(bytes.data() + sent, static_cast<int>(bytes.size() - sent)));
    }
    return true;
  } catch (const Poco::Exception&) {
    return false;
  }
}

}  // namespace tavro::test
