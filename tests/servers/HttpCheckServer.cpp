#include "servers/HttpCheckServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern "C" char** environ;

namespace tavro::test {

HttpCheckServer::HttpCheckServer() {
  Launch({});
}

HttpCheckServer::HttpCheckServer(const std::filesystem::path& certificate,
                                 const std::filesystem::path& key)
    : Tls(true) {
  Launch({"--cert", certificate.string(), "--key", key.string()});
}

void HttpCheckServer::Launch(const std::vector<std::string>& extra) {
  std::string base = (std::filesystem::temp_directory_path() / "tavro-http-XXXXXX").string();
  if (::mkdtemp(base.data()) == nullptr) {
    Failure = "cannot make a temporary folder";
    return;
  }
  BaseDir = base;
  std::ofstream(BaseDir / "requests.log").flush();
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    Failure = "no pipe";
    return;
  }
  std::vector<std::string> args{"python3", TAVRO_TEST_SERVERS_DIR "/check_service.py", "--log",
                                (BaseDir / "requests.log").string()};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const std::string errors = (BaseDir / "stderr.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    Failure = "cannot start python3 (Debian package python3)";
    return;
  }
  Pid = pid;
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
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
    Pid = -1;
    return;
  }
  ListenPort = static_cast<std::uint16_t>(port);
}

HttpCheckServer::~HttpCheckServer() {
  if (Pid > 0) {
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
  }
  if (!BaseDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(BaseDir, ignored);
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
