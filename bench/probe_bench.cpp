// The address probe against the scripted mail server on loopback, next to a
// minimal blocking client doing the same exchange; then the CPU time of a
// trace thread that waits with no interval.
#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "probe/CTraceThread.h"
#include "servers/ScriptedSmtpPeer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

tavro::test::ScriptedSmtpPeer* Peer = nullptr;

// connect, recv, send, recv, close: the exchange of a probe, and nothing else.
bool BlockingExchange() {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(Peer->Port());
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  static constexpr char helo[] = "HELO 127.0.0.1\r\n";
  char buffer[512];
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
  benchmark::DoNotOptimize(::recv(s, buffer, sizeof buffer, 0));
  benchmark::DoNotOptimize(::send(s, helo, sizeof helo - 1, MSG_NOSIGNAL));
  benchmark::DoNotOptimize(::recv(s, buffer, sizeof buffer, 0));
  ::close(s);
  return connected;
}

// Each iteration does both exchanges and times one of them, so that the load
// of a shared machine falls on both sides alike.
void ProbeAndClient(benchmark::State& state, bool timeProbe) {
  std::int64_t found = 0;
  tavro::AddressProbe probe(
      std::make_shared<tavro::SystemNameResolver>(),
      [&](std::uint32_t code, const std::string*) { found += code == tavro::TE_WAN_ADDRESS; });
  const tavro::ProbeSettings settings{"127.0.0.1:" + std::to_string(Peer->Port()), "WAN", {}};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (timeProbe) {
      probe.ProbeAddresses(settings);
    } else if (!BlockingExchange()) {
      state.SkipWithError("connect failed");
    }
    const auto middle = std::chrono::steady_clock::now();
    if (timeProbe) {
      BlockingExchange();
    } else {
      probe.ProbeAddresses(settings);
    }
    state.SetIterationTime(std::chrono::duration<double>(middle - start).count());
  }
  if (found != state.iterations()) {
    state.SkipWithError("a probe found no WAN address");
  }
}

void BM_Probe(benchmark::State& state) {
  ProbeAndClient(state, true);
}
BENCHMARK(BM_Probe)->UseManualTime();

void BM_BlockingClient(benchmark::State& state) {
  ProbeAndClient(state, false);
}
BENCHMARK(BM_BlockingClient)->UseManualTime();

// The part of a probe that the blocking client does not do: finding the LAN
// address (host name, its addresses, and here the interface list as well).
void BM_LanLookup(benchmark::State& state) {
  tavro::SystemNameResolver resolver;
  for (auto _ : state) {
    benchmark::DoNotOptimize(resolver.ResolveIPv4(resolver.HostName()));
    benchmark::DoNotOptimize(resolver.InterfaceAddresses());
  }
}
BENCHMARK(BM_LanLookup);

class CollectingReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the benchmark; without, the run.
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration ? !Times.count(run.run_name.function_name)
                                            : run.aggregate_name == "median") {
        Times[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Times;
};

std::set<std::string> Tasks() {
  std::set<std::string> tasks;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') {
        tasks.insert(entry->d_name);
      }
    }
    ::closedir(dir);
  }
  return tasks;
}

struct TaskUsage {
  double CpuSeconds = 0;
  long Switches = 0;
};

TaskUsage Usage(const std::string& tid) {
  TaskUsage usage;
  std::ifstream stat("/proc/self/task/" + tid + "/stat");
  std::string line;
  std::getline(stat, line);
  // Fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14)
      utime = std::stoul(field);
    if (i == 15)
      stime = std::stoul(field);
  }
  usage.CpuSeconds =
      static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::ifstream status("/proc/self/task/" + tid + "/status");
  while (std::getline(status, line)) {
    if (line.starts_with("voluntary_ctxt_switches:") ||
        line.starts_with("nonvoluntary_ctxt_switches:")) {
      usage.Switches += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return usage;
}

void MeasureIdleWait() {
  const auto before = Tasks();
  tavro::CTraceThread thread;
  thread.SetMailServer("127.0.0.1:1");
  thread.SetInterval(tavro::CTraceThread::NoInterval);
  thread.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string tid;
  for (const auto& t : Tasks()) {
    if (!before.count(t)) {
      tid = t;
    }
  }
  if (tid.empty()) {
    std::printf("trace thread not found in /proc/self/task\n");
    return;
  }
  const TaskUsage start = Usage(tid);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const TaskUsage end = Usage(tid);
  std::printf(
      "idle trace thread over 5 s (Interval 0xFFFFFFFF): CPU %.3f s, context switches %ld\n",
      end.CpuSeconds - start.CpuSeconds, end.Switches - start.Switches);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Peer = new tavro::test::ScriptedSmtpPeer();
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double probe = reporter.Times["BM_Probe"];
  const double client = reporter.Times["BM_BlockingClient"];
  if (probe > 0 && client > 0) {
    std::printf("probe / blocking client: %.2f (goal <= 1.5)\n", probe / client);
    const double lan = reporter.Times["BM_LanLookup"];
    std::printf("probe without its LAN lookup / blocking client: %.2f\n", (probe - lan) / client);
  }
  delete Peer;
  MeasureIdleWait();
  benchmark::Shutdown();
  return 0;
}
