#include "support/NetworkNamespace.h"

#include "servers/ChildProcess.h"

#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

namespace tavro::test {

namespace {

using namespace std::chrono_literals;

constexpr const char* kInNamespace = "TAVRO_TEST_IN_NETNS";

bool Run(const std::vector<std::string>& args) {
  const pid_t pid = SpawnProcess(args, 1, 2);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace

bool InOwnNetworkNamespace() {
  return std::getenv(kInNamespace) != nullptr;
}

int RerunInNetworkNamespace(const std::vector<std::string>& arguments, std::string& why) {
  const std::vector<std::string> unshare = {"unshare", ::geteuid() == 0 ? "-n" : "-rn"};
  auto probe = unshare;
  probe.push_back("true");
  if (!Run(probe)) {
    why = "no network namespace can be made here (`" + unshare[0] + " " + unshare[1] +
          " true` failed)";
    return -1;
  }
  auto args = unshare;
  std::error_code ignored;
  args.push_back(std::filesystem::read_symlink("/proc/self/exe", ignored).string());
  args.insert(args.end(), arguments.begin(), arguments.end());
  ::setenv(kInNamespace, "1", 1);
  const pid_t pid = SpawnProcess(args, 1, 2);
  ::unsetenv(kInNamespace);
  if (pid < 0) {
    why = "unshare cannot be started";
    return -1;
  }
  // Bounded, so that a hung copy fails the test rather than holding it.
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      EndProcessGroup(pid, 1s);
      std::fprintf(stderr, "the namespaced copy did not end\n");
      return 1;
    }
    std::this_thread::sleep_for(20ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool Ip(const std::string& command) {
  std::vector<std::string> args = {"ip"};
  for (std::size_t at = 0; at < command.size();) {
    const std::size_t space = command.find(' ', at);
    args.push_back(command.substr(at, space - at));
    at = space == std::string::npos ? command.size() : space + 1;
  }
  const bool ok = Run(args);
  if (!ok) {
    std::fprintf(stderr, "failed: ip %s\n", command.c_str());
  }
  return ok;
}

void Ipv6Sysctl(const std::string& interface, const std::string& name, const std::string& value) {
  std::ofstream("/proc/sys/net/ipv6/conf/" + interface + "/" + name) << value << '\n';
}

VethPair MakeVethPair() {
  VethPair pair;
  if (!Run({"ip", "link", "add", pair.Low, "type", "veth", "peer", "name", pair.High})) {
    std::fprintf(stderr, "ip link add ... type veth failed\n");
    std::_Exit(kNoInterfaces);
  }
  if (::if_nametoindex(pair.Low.c_str()) > ::if_nametoindex(pair.High.c_str())) {
    std::swap(pair.Low, pair.High);
  }
  Ipv6Sysctl(pair.Low, "dad_transmits", "100");
  Ipv6Sysctl(pair.High, "accept_dad", "0");
  Ipv6Sysctl(pair.High, "use_tempaddr", "2");
  Ip("link set " + pair.Low + " up");
  Ip("link set " + pair.High + " up");
  return pair;
}

}  // namespace tavro::test
