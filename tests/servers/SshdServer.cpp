#include "servers/SshdServer.h"

#include "servers/ChildProcess.h"
#include "support/TextFiles.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace tavro::test {
namespace {

constexpr const char* SshdBinary = "/usr/sbin/sshd";

std::uint16_t FreePort() {
  return Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
}

bool Accepts(std::uint16_t port) {
  try {
    Poco::Net::StreamSocket(Poco::Net::SocketAddress("127.0.0.1", port)).close();
    return true;
  } catch (const Poco::Exception&) {
    return false;
  }
}

// Runs a tool to its end with its output in `log`; true where it exited 0.
bool Run(const std::vector<std::string>& args, const std::filesystem::path& log) {
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const pid_t pid = SpawnProcess(args, fd, fd);
  ::close(fd);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::string RandomText(std::size_t length) {
  static constexpr char letters[] = "abcdefghijkmnopqrstuvwxyz23456789";
  std::random_device device;
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += letters[device() % (sizeof letters - 1)];
  }
  return text;
}

std::string FirstLine(const std::filesystem::path& file) {
  std::string line;
  std::getline(std::ifstream(file), line);
  return line;
}

// Every process below root. sshd's session processes start sessions of
// their own (setsid), so the fixture's process group does not reach them.
std::vector<pid_t> Descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::string stat;
    std::getline(std::ifstream(entry.path() / "stat"), stat);
    // "pid (command) state ppid ...": the command may hold blanks and parentheses.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    pid_t parent = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
      parents.emplace_back(std::stoi(name), parent);
    }
  }
  std::vector<pid_t> found{root};
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (const auto& [pid, parent] : parents) {
      if (parent == found[i]) {
        found.push_back(pid);
      }
    }
  }
  found.erase(found.begin());
  return found;
}

}  // namespace

SshdServer::SshdServer(SshdOptions options) : Options(options) {
  if (::access(SshdBinary, X_OK) != 0) {
    Failure = "sshd is not installed (Debian package openssh-server)";
    return;
  }
  if (::geteuid() != 0) {
    Failure =
        "the SFTP tests need root: sshd checks the password against an account that "
        "the fixture makes for the test";
    return;
  }
  // Every folder above a chroot must belong to root and be writable by no one
  // else, which the system's temporary folder is not.
  std::string pattern = "/run/tavro-sshd-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    Failure = "cannot make a folder under /run";
    return;
  }
  BaseDir = pattern;
  ::chmod(BaseDir.c_str(), 0755);
  RootDir = BaseDir / "root";
  PubDir = RootDir / "pub";
  std::filesystem::create_directory(RootDir);
  ::chmod(RootDir.c_str(), 0755);
  std::filesystem::create_directory(PubDir);
  // The folder privilege separation needs; the package's own is made at boot.
  ::mkdir("/run/sshd", 0755);

  static std::atomic<unsigned> fixtures{0};
  Account = "tavro-t" + std::to_string(::getpid()) + "-" + std::to_string(fixtures++);
  Secret = RandomText(20);
  const auto setupLog = BaseDir / "setup.log";
  if (!Run({"useradd", "--no-create-home", "--home-dir", "/pub", "--shell", "/usr/sbin/nologin",
            "--user-group", Account},
           setupLog)) {
    Failure = "useradd failed: " + ReadFileBytes(setupLog);
    Account.clear();
    return;
  }
  if (FILE* pipe = ::popen("chpasswd", "w"); pipe != nullptr) {
    std::fprintf(pipe, "%s:%s\n", Account.c_str(), Secret.c_str());
    if (::pclose(pipe) != 0) {
      Failure = "chpasswd failed";
      return;
    }
  }
  if (const passwd* entry = ::getpwnam(Account.c_str()); entry != nullptr) {
    AccountUid = entry->pw_uid;
    AccountGid = entry->pw_gid;
  }
  ::chown(PubDir.c_str(), AccountUid, AccountGid);
  if (!Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (BaseDir / "host_key").string()},
           setupLog)) {
    Failure = "ssh-keygen failed: " + ReadFileBytes(setupLog);
    return;
  }
  for (int attempt = 0; attempt < 3 && Pid <= 0; ++attempt) {
    if (!Launch()) {
      Stop();
    }
  }
  if (Pid <= 0 && Failure.empty()) {
    Failure = "sshd did not start: " + Log();
  }
}

SshdServer::~SshdServer() {
  Stop();
  if (!Account.empty()) {
    Run({"userdel", Account}, "/dev/null");
  }
  if (!BaseDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(BaseDir, ignored);
  }
}

std::string SshdServer::Address() const {
  return "sftp://127.0.0.1:" + std::to_string(ListenPort);
}

void SshdServer::Share(const std::filesystem::path& path) const {
  ::chown(path.c_str(), AccountUid, AccountGid);
  std::error_code ignored;
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
      ::chown(entry.path().c_str(), AccountUid, AccountGid);
    }
  }
}

std::string SshdServer::KnownHostsLine() const {
  // "ssh-ed25519 AAAA... comment"
  const std::string key = FirstLine(BaseDir / "host_key.pub");
  const auto blank = key.find(' ', key.find(' ') + 1);
  return "[127.0.0.1]:" + std::to_string(ListenPort) + " " + key.substr(0, blank) + "\n";
}

std::string SshdServer::Fingerprint() const {
  const std::string command = "ssh-keygen -l -E sha256 -f " + (BaseDir / "host_key.pub").string();
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r"); pipe != nullptr) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
      output += buffer;
    }
    ::pclose(pipe);
  }
  // "256 SHA256:... comment (ED25519)"
  const auto begin = output.find("SHA256:");
  return begin == std::string::npos ? std::string()
                                    : output.substr(begin, output.find(' ', begin) - begin);
}

std::string SshdServer::ForeignKnownHostsLine() const {
  const auto other = BaseDir / ("other_key_" + RandomText(6));
  Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", other.string()}, "/dev/null");
  std::string key = FirstLine(other.string() + ".pub");
  const auto blank = key.find(' ', key.find(' ') + 1);
  return "[127.0.0.1]:" + std::to_string(ListenPort) + " " + key.substr(0, blank) + "\n";
}

std::string SshdServer::Log() const {
  return ReadFileBytes(BaseDir / "sshd.log");
}

void SshdServer::Pause() const {
  if (Pid > 0) {
    for (const pid_t pid : Descendants(Pid)) {
      ::kill(pid, SIGSTOP);
    }
    ::kill(Pid, SIGSTOP);
  }
}

void SshdServer::Resume() const {
  if (Pid > 0) {
    ::kill(Pid, SIGCONT);
    for (const pid_t pid : Descendants(Pid)) {
      ::kill(pid, SIGCONT);
    }
  }
}

bool SshdServer::Launch() {
  ListenPort = Options.Port != 0 ? Options.Port : FreePort();
  const auto config = BaseDir / "sshd_config";
  {
    std::ofstream out(config, std::ios::trunc);
    out << "Port " << ListenPort << "\n"
        << "ListenAddress 127.0.0.1\n"
        << "HostKey " << (BaseDir / "host_key").string() << "\n"
        << "PidFile none\n"
        << "LogLevel DEBUG1\n"
        << "AllowUsers " << Account << "\n"
        << "PermitRootLogin no\n"

        << "MaxAuthTries 100\n"
        << "MaxStartups 100\n"
        << "UseDNS no\n"
        << "PrintMotd no\n"
        << "ChrootDirectory " << RootDir.string() << "\n"
        << "ForceCommand internal-sftp\n"
        << "Subsystem sftp internal-sftp\n"
        << "AllowTcpForwarding no\n"
        << "X11Forwarding no\n";
    if (Options.AuthorizedKey.empty()) {
      out << "PubkeyAuthentication no\n"
          << "AuthorizedKeysFile none\n";
    } else {
      // sshd reads it as the account, and only from folders that no one but
      // root can write to.
      const auto keys = BaseDir / "authorized_keys";
      std::filesystem::copy_file(Options.AuthorizedKey, keys,
                                 std::filesystem::copy_options::overwrite_existing);
      ::chmod(keys.c_str(), 0644);  // read as the account
      out << "PubkeyAuthentication yes\n"
          << "AuthorizedKeysFile " << keys.string() << "\n";
    }
    if (Options.KeyboardInteractive) {
      out << "UsePAM yes\n"
          << "PasswordAuthentication no\n"
          << "KbdInteractiveAuthentication yes\n";
    } else {
      out << "UsePAM no\n"
          << "PasswordAuthentication yes\n"
          << "KbdInteractiveAuthentication no\n";
    }
  }
  const std::string output = (BaseDir / "output.log").string();
  const int outputFd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  // -D: in the foreground, so the fixture holds its process; -E: the log.
  Pid =
      SpawnProcess({SshdBinary, "-D", "-f", config.string(), "-E", (BaseDir / "sshd.log").string()},
                   outputFd, outputFd);
  ::close(outputFd);
  if (Pid <= 0) {
    Failure = "cannot start sshd";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(Pid, &status, WNOHANG) == Pid) {
      Pid = -1;
      return false;
    }
    if (Accepts(ListenPort)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void SshdServer::Stop() {
  if (Pid > 0) {
    Resume();
    const auto sessions = Descendants(Pid);
    EndProcessGroup(Pid, std::chrono::seconds(5));
    for (const pid_t pid : sessions) {
      ::kill(pid, SIGKILL);
    }
    Pid = -1;
  }
}

}  // namespace tavro::test
