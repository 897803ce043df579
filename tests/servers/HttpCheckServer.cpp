#include "servers/HttpCheckServer.h"

#include "servers/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace tavro::test {

HttpCheckServer::HttpCheckServer(const std::filesystem::path& certificate,
                                 const std::filesystem::path& key)
    : Tls(!certificate.empty()) {
  std::ofstream(BaseDir / "requests.log").flush();
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    Failure = "no pipe";
    return;
  }
  std::vector<std::string> args{"python3", TAVRO_TEST_SERVERS_DIR "/check_service.py", "--log",
                                (BaseDir / "requests.log").string()};
  if (Tls) {
    args.insert(args.end(), {"--cert", certificate.string(), "--key", key.string()});
  }
  const std::string errors = (BaseDir / "stderr.log").string();
  const int errorsFd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Pid = SpawnProcess(args, out[1], errorsFd);
  ::close(errorsFd);
  ::close(out[1]);
  if (Pid <= 0) {
    ::close(out[0]);
    Failure = "cannot start python3 (Debian package python3)";
    return;
  }
  // The first line of its output is the port it listens on.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{out[0], POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) {
      continue;
    }
    char buffer[64];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got <= 0) {
      break;
    }
    line.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  const int port = std::atoi(line.c_str());
  if (port <= 0 || port > 65535) {
    Failure = "the check service did not start; see " + errors;
    EndProcessGroup(Pid, {});
    Pid = -1;
    return;
  }
  ListenPort = static_cast<std::uint16_t>(port);
}

HttpCheckServer::~HttpCheckServer() {
  if (Pid > 0) {
    EndProcessGroup(Pid, {});
  }
}

std::string HttpCheckServer::Url(const std::string& path) const {
  return std::string(Tls ? "https" : "http") + "://localhost:" + std::to_string(ListenPort) + path;
}

std::vector<std::string> HttpCheckServer::Requests() const {
  std::vector<std::string> paths;
  std::ifstream in(BaseDir / "requests.log");
  for (std::string line; std::getline(in, line);) {
    paths.push_back(line);
  }
  return paths;
}

}  // namespace tavro::test
