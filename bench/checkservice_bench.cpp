// A whole probe whose WAN step asks the loopback check service over HTTP,
// against the curl command line fetching the same page. Each iteration runs
// both and times one, so that the load of a shared machine falls on both
// alike. Prints the ratio (goal 1.5 or less).
#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "servers/HttpCheckServer.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

extern "C" char** environ;

namespace {

tavro::test::HttpCheckServer* Server = nullptr;
std::map<std::string, double> Seconds;

bool Curl(const std::string& url) {
  std::string command = "curl", silent = "-sS", out = "-o", devNull = "/dev/null", target = url;
  char* argv[] = {command.data(), silent.data(), out.data(),
                  devNull.data(), target.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv, environ) != 0) {
    return false;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void ProbeAndCurl(benchmark::State& state, bool timeProbe) {
  std::int64_t found = 0;
  tavro::AddressProbe probe(
      std::make_shared<tavro::SystemNameResolver>(),
      [&](std::uint32_t code, const std::string*) { found += code == tavro::TE_WAN_ADDRESS; });
  // An address, so that neither side spends its time on name lookups.
  const std::string url = "http://127.0.0.1:" + std::to_string(Server->Port()) + "/plain";
  const tavro::ProbeSettings settings{url, "WAN", {}};
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = timeProbe ? (probe.ProbeAddresses(settings), true) : Curl(url);
    const auto middle = std::chrono::steady_clock::now();
    if (timeProbe) {
      Curl(url);
    } else {
      probe.ProbeAddresses(settings);
    }
    if (!ok) {
      state.SkipWithError("curl failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(middle - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  if (found != state.iterations()) {
    state.SkipWithError("a probe found no WAN address");
  }
  Seconds[timeProbe ? "probe" : "curl"] = total / static_cast<double>(state.iterations());
}

void BM_ProbeOverHttp(benchmark::State& state) {
  ProbeAndCurl(state, true);
}
BENCHMARK(BM_ProbeOverHttp)->UseManualTime()->Iterations(200);

void BM_CurlSamePage(benchmark::State& state) {
  ProbeAndCurl(state, false);
}
BENCHMARK(BM_CurlSamePage)->UseManualTime()->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Server = new tavro::test::HttpCheckServer();
  if (!Server->Started()) {
    std::fprintf(stderr, "check service: %s\n", Server->Error().c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  if (Seconds["probe"] > 0 && Seconds["curl"] > 0) {
    std::printf("probe over HTTP / curl: %.2f (goal <= 1.5; probe %.2f ms, curl %.2f ms)\n",
                Seconds["probe"] / Seconds["curl"], Seconds["probe"] * 1000,
                Seconds["curl"] * 1000);
  }
  delete Server;
  benchmark::Shutdown();
  return 0;
}
