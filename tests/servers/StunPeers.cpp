#include "servers/StunPeers.h"

#include "servers/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace tavro::test {
namespace {

constexpr const char* TurnserverBinary = "/usr/bin/turnserver";

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A UDP socket bound to 127.0.0.1 on `port` (0: the system's choice); -1
// where that fails.
int BoundUdpSocket(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

// Whether anything answers a Binding request on the port within `wait`: the
// fixture's own bytes, so that readiness does not rest on the code under test.
bool AnswersBinding(std::uint16_t port, std::chrono::milliseconds wait) {
  const int fd = BoundUdpSocket(0);
  if (fd < 0) {
    return false;
  }
  const std::string request("\x00\x01\x00\x00\x21\x12\xa4\x42tavro-ready!", 20);
  const sockaddr_in server = Loopback(port);
  ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&server),
           sizeof server);
  pollfd ready{fd, POLLIN, 0};
  char buffer[512];
  const bool answered = ::poll(&ready, 1, static_cast<int>(wait.count())) > 0 &&
                        ::recv(fd, buffer, sizeof buffer, 0) >= 20;
  ::close(fd);
  return answered;
}

std::string Be16(std::uint16_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string Be32(std::uint32_t value) {
  return Be16(static_cast<std::uint16_t>(value >> 16)) +
         Be16(static_cast<std::uint16_t>(value & 0xFFFF));
}

}  // namespace

CoturnServer::CoturnServer() {
  if (::access(TurnserverBinary, X_OK) != 0) {
    Failure = "turnserver is not installed (Debian package coturn)";
    return;
  }
  for (int attempt = 0; attempt < 3 && Pid <= 0; ++attempt) {
    if (!Launch() && Pid > 0) {
      EndProcessGroup(Pid, std::chrono::seconds(2));
      Pid = -1;
    }
  }
  if (Pid <= 0 && Failure.empty()) {
    Failure = "turnserver did not answer; see " + (BaseDir / "turn.log").string();
  }
}

CoturnServer::~CoturnServer() {
  if (Pid > 0) {
    EndProcessGroup(Pid, std::chrono::seconds(5));
  }
}

bool CoturnServer::Launch() {
  // A port free now; the server binds it a moment later.
  const int probe = BoundUdpSocket(0);
  ListenPort = LocalPort(probe);
  ::close(probe);
  const auto config = BaseDir / "turnserver.conf";
  std::ofstream(config, std::ios::trunc)
      << "listening-ip=127.0.0.1\n"
      << "listening-port=" << ListenPort << "\n"
      << "stun-only\n"
      << "no-tcp\n"
      << "no-tls\n"
      << "no-dtls\n"
      << "no-cli\n"
      << "no-software-attribute\n"
      << "userdb=" << (BaseDir / "turndb").string() << "\n"
      << "pidfile=" << (BaseDir / "turnserver.pid").string() << "\n"
      << "log-file=" << (BaseDir / "turn.log").string() << "\n"
      << "simple-log\n";
  const std::string output = (BaseDir / "output.log").string();
  const int outputFd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  Pid = SpawnProcess({TurnserverBinary, "-c", config.string()}, outputFd, outputFd);
  ::close(outputFd);
  if (Pid <= 0) {
    Failure = "cannot start turnserver";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(Pid, nullptr, WNOHANG) == Pid) {
      Pid = -1;  // exited: most likely the port was taken meanwhile
      return false;
    }
    if (AnswersBinding(ListenPort, std::chrono::milliseconds(200))) {
      return true;
    }
  }
  return false;
}

std::string StunAttribute(std::uint16_t type, const std::string& value) {
  std::string attribute = Be16(type) + Be16(static_cast<std::uint16_t>(value.size())) + value;
  attribute.append((4 - value.size() % 4) % 4, '\0');
  return attribute;
}

std::string StunIpv4Address(bool xored, std::uint32_t address, std::uint16_t port) {
  const std::uint32_t cookie = 0x2112A442;
  const std::uint16_t wirePort = xored ? static_cast<std::uint16_t>(port ^ (cookie >> 16)) : port;
  const std::uint32_t wireAddress = xored ? address ^ cookie : address;
  return StunAttribute(xored ? 0x0020 : 0x0001,
                       std::string("\x00\x01", 2) + Be16(wirePort) + Be32(wireAddress));
}

std::string StunSuccessFor(const std::string& request, const std::string& attributes) {
  return Be16(0x0101) + Be16(static_cast<std::uint16_t>(attributes.size())) +
         request.substr(4, 16) + attributes;
}

ScriptedStunPeer::ScriptedStunPeer(Script script) : Answers(std::move(script)) {
  Socket = BoundUdpSocket(0);
  ListenPort = LocalPort(Socket);
  Server = std::thread([this] { Serve(); });
}

ScriptedStunPeer::~ScriptedStunPeer() {
  Stop = true;
  Server.join();
  ::close(Socket);
}

void ScriptedStunPeer::SetScript(Script script) {
  std::lock_guard lock(Mutex);
  Answers = std::move(script);
}

std::vector<std::string> ScriptedStunPeer::Requests() const {
  std::lock_guard lock(Mutex);
  return Received;
}

void ScriptedStunPeer::Serve() {
  char buffer[2048];
  while (!Stop) {
    pollfd ready{Socket, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) {
      continue;
    }
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got =
        ::recvfrom(Socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0) {
      continue;
    }
    const std::string request(buffer, static_cast<std::size_t>(got));
    Script script;
    {
      std::lock_guard lock(Mutex);
      Received.push_back(request);
      script = Answers;
    }
    if (!script) {
      continue;
    }
    for (const std::string& answer : script(request)) {
      ::sendto(Socket, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               fromSize);
    }
  }
}

}  // namespace tavro::test
