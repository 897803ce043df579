#include "servers/ScriptedSmtpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tavro::test {

using namespace std::chrono_literals;

ScriptedSmtpPeer::ScriptedSmtpPeer(SmtpScript script) : Script(std::move(script)) {
  if (::pipe2(StopPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(Listener, 16) != 0 ||
      ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  ListenPort = ntohs(address.sin_port);
  Acceptor = std::thread([this] { AcceptLoop(); });
}

ScriptedSmtpPeer::~ScriptedSmtpPeer() {
  // The pipe stays readable from now on, which ends every wait below.
  const char stop = 1;
  [[maybe_unused]] const auto written = ::write(StopPipe[1], &stop, 1);
  Acceptor.join();
  for (auto& conversation : Conversations) {
    conversation.Thread.join();
  }
  ::close(Listener);
  ::close(StopPipe[0]);
  ::close(StopPipe[1]);
}

void ScriptedSmtpPeer::SetScript(SmtpScript script) {
  std::lock_guard lock(Mutex);
  Script = std::move(script);
}

std::size_t ScriptedSmtpPeer::Connections() const {
  std::lock_guard lock(Mutex);
  return Accepted;
}

std::vector<std::string> ScriptedSmtpPeer::HeloLines() const {
  std::lock_guard lock(Mutex);
  return Helos;
}

bool ScriptedSmtpPeer::WaitForClientCloses(std::size_t count,
                                           std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] { return ClientCloses >= count; });
}

// True when fd is ready, false once the peer is being stopped.
bool ScriptedSmtpPeer::WaitReady(int fd, short events) const {
  pollfd entries[2] = {{fd, events, 0}, {StopPipe[0], POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(entries, 2, -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    return ready > 0 && entries[1].revents == 0;
  }
}

void ScriptedSmtpPeer::AcceptLoop() {
  while (WaitReady(Listener, POLLIN)) {
    const int connection = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0) {
      continue;
    }
    Conversations.remove_if([](Conversation& c) {
      if (!c.Done->load()) {
        return false;
      }
      c.Thread.join();
      return true;
    });
    std::lock_guard lock(Mutex);
    ++Accepted;
    auto done = std::make_shared<std::atomic<bool>>(false);
    Conversations.push_back({std::thread([this, connection, script = Script, done] {
                               Serve(connection, script);
                               done->store(true);
                             }),
                             done});
  }
}

bool ScriptedSmtpPeer::SendAll(int fd, const std::string& data) const {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t sent = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
    } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitReady(fd, POLLOUT)) {
        return false;
      }
    } else {
      return false;
    }
  }
  return true;
}

std::optional<std::string> ScriptedSmtpPeer::ReadLine(int fd) const {
  std::string line;
  while (line.find("\r\n") == std::string::npos && line.size() < 4096) {
    char buffer[512];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      line.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitReady(fd, POLLIN)) {
        return std::nullopt;
      }
    } else {
      return line.empty() ? std::nullopt : std::optional(line);
    }
  }
  return line;
}

// Holds the connection until the client closes it (counted) or the peer stops.
void ScriptedSmtpPeer::AwaitClientClose(int fd) {
  for (;;) {
    char buffer[512];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got > 0 || (got < 0 && errno == EINTR)) {
      continue;
    }
    if (got < 0 && errno == EAGAIN) {
      if (!WaitReady(fd, POLLIN)) {
        return;
      }
      continue;
    }
    // End of stream, or a reset from a client that closed with data unread.
    {
      std::lock_guard lock(Mutex);
      ++ClientCloses;
    }
    Changed.notify_all();
    return;
  }
}

void ScriptedSmtpPeer::Serve(int connection, SmtpScript script) {
  if (script.Mode == SmtpScript::Behaviour::CloseAtOnce) {
    ::close(connection);
    return;
  }
  if (script.Mode == SmtpScript::Behaviour::Converse) {
    bool open = true;
    for (std::size_t i = 0; open && i < script.Greeting.size(); ++i) {
      if (i > 0) {
        if (script.BeforeNextSegment) {
          script.BeforeNextSegment();
        } else {
          std::this_thread::sleep_for(100ms);
        }
      }
      open = SendAll(connection, script.Greeting[i]);
    }
    const std::optional<std::string> helo = open ? ReadLine(connection) : std::nullopt;
    if (helo) {
      {
        std::lock_guard lock(Mutex);
        Helos.push_back(*helo);
      }
      std::string answer;
      if (script.Answer) {
        answer = *script.Answer;
      } else {
        sockaddr_in client{};
        socklen_t length = sizeof client;
        ::getpeername(connection, reinterpret_cast<sockaddr*>(&client), &length);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &client.sin_addr, text, sizeof text);
        const std::string argument =
            helo->size() > 5 ? helo->substr(5, helo->find("\r\n") - 5) : std::string();
        answer = "250 peer.test Hello " + argument + " [" + text + "]\r\n";
      }
      SendAll(connection, answer);
    }
  }
  AwaitClientClose(connection);
  ::close(connection);
}

}  // namespace tavro::test
