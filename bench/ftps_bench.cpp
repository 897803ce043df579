// A 64 MiB upload over FTP with TLS (ftpes://, active mode) by FtpSession
// against the curl command line with --ssl-reqd, to the same vsftpd, which
// requires TLS and session reuse on the data connection. curl runs in passive
// mode: Debian 12's curl 7.88 cannot upload over TLS in active mode (it fails
// on the accepted data connection). Each iteration runs
// both and times one. Prints the throughput relative to curl (goal 0.8 or
// more).
#include "ftp/FtpSession.h"
#include "servers/TestCertificates.h"
#include "servers/VsftpdServer.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;
constexpr std::size_t FileSize = 64u << 20;

struct Setup {
  tavro::test::TestCertificates Certificates;
  std::unique_ptr<tavro::test::VsftpdServer> Server;
  fs::path Local;
  std::string Port;
  tavro::FtpSession Session;
  bool Ready = false;

  Setup() {
    if (!Certificates.Made()) {
      std::fprintf(stderr, "%s\n", Certificates.Error().c_str());
      return;
    }
    Certificates.TrustTestCa();
    Server = std::make_unique<tavro::test::VsftpdServer>(
        tavro::test::VsftpdOptions{Certificates.Localhost(), Certificates.Key(), false});
    if (!Server->Started()) {
      std::fprintf(stderr, "vsftpd: %s\n", Server->Error().c_str());
      return;
    }
    Port = Server->Address().substr(Server->Address().rfind(':') + 1);
    Local = fs::temp_directory_path() / ("tavro-ftps-bench-" + std::to_string(::getpid()));
    fs::create_directories(Local);
    std::vector<char> bytes(FileSize);
    std::mt19937 random(64);
    for (auto& b : bytes) {
      b = static_cast<char>(random());
    }
    std::ofstream(Local / "source.bin", std::ios::binary).write(bytes.data(), bytes.size());
    Ready = Session.Open("ftpes://127.0.0.1:" + Port, tavro::test::VsftpdServer::User,
                         tavro::test::VsftpdServer::Password);
  }
  ~Setup() {
    std::error_code ignored;
    fs::remove_all(Local, ignored);
  }

  bool Curl() {
    std::vector<std::string> arguments{
        "curl",
        "-sS",
        "--ssl-reqd",
        "--cacert",
        Certificates.Ca().string(),
        "-u",
        std::string(tavro::test::VsftpdServer::User) + ":" + tavro::test::VsftpdServer::Password,
        "-T",
        (Local / "source.bin").string(),
        "ftp://127.0.0.1:" + Port + "/pub/up-curl.bin"};
    std::vector<char*> argv;
    for (auto& a : arguments) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
      return false;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  bool Tavro() { return Session.Upload((Local / "source.bin").string(), "/pub/up-tavro.bin"); }
};

Setup* Shared = nullptr;
std::map<std::string, double> Seconds;

// The median of each side: on a shared machine a few uploads take several
// times as long as the rest, on either side.
double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void UploadAndCurl(benchmark::State& state, bool timeTavro) {
  std::vector<double> times;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = timeTavro ? Shared->Tavro() : Shared->Curl();
    const auto middle = std::chrono::steady_clock::now();
    const bool other = timeTavro ? Shared->Curl() : Shared->Tavro();
    if (!ok || !other) {
      state.SkipWithError("an upload failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(middle - start).count();
    state.SetIterationTime(seconds);
    times.push_back(seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
  Seconds[timeTavro ? "tavro" : "curl"] = Median(times);
}

void BM_UploadFtpSession(benchmark::State& state) {
  UploadAndCurl(state, true);
}
BENCHMARK(BM_UploadFtpSession)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

void BM_UploadCurl(benchmark::State& state) {
  UploadAndCurl(state, false);
}
BENCHMARK(BM_UploadCurl)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Shared = new Setup();
  if (!Shared->Ready) {
    std::fprintf(stderr, "the FTPS session could not be opened\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  if (Seconds["tavro"] > 0 && Seconds["curl"] > 0) {
    const double mib = static_cast<double>(FileSize) / (1 << 20);
    std::printf(
        "FTPS upload throughput vs curl, medians: %.2f (goal >= 0.8; FtpSession %.0f MiB/s, "
        "curl %.0f MiB/s)\n",
        Seconds["curl"] / Seconds["tavro"], mib / Seconds["tavro"], mib / Seconds["curl"]);
  }
  delete Shared;
  benchmark::Shutdown();
  return 0;
}
