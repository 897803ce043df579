// CFtpThread over SFTP against OpenSSH's own sftp client (in batch mode, by
// key) on one sshd: a 64 MiB upload each. Prints the ratio of the throughputs at the
// end (goal 0.8 or more). Needs root, as the SFTP tests do.
#include "publish/CFtpThread.h"

#include "servers/SshdServer.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t FileSize = 64u << 20;

class ResultSink : public tavro::IReportSink {
public:
  void OnReport(const tavro::WorkerReport& report) override {
    std::lock_guard lock(Mutex);
    if (report.Message == tavro::kWmFtpThreadMessage && report.Code != tavro::FTPMSG_TEXT &&
        !report.Entry()) {
      Results.push_back(report.Succeeded());
      Changed.notify_all();
    }
  }
  bool Next() {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [&] { return Taken < Results.size(); });
    return Results[Taken++];
  }

private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<bool> Results;
  std::size_t Taken = 0;
};

// OpenSSH's client logs on with a key of its own: in batch mode it offers
// no password.
fs::path ClientKey() {
  static const fs::path key = [] {
    const fs::path path =
        fs::temp_directory_path() / ("tavro-sftp-bench-key-" + std::to_string(::getpid()));
    fs::remove(path);
    fs::remove(path.string() + ".pub");
    const std::string command = "ssh-keygen -q -t ed25519 -N '' -f " + path.string();
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "ssh-keygen failed\n");
    }
    return path;
  }();
  return key;
}

tavro::test::SshdOptions WithClientKey() {
  tavro::test::SshdOptions options;
  options.AuthorizedKey = ClientKey().string() + ".pub";
  return options;
}

struct Setup {
  tavro::test::SshdServer Server{WithClientKey()};
  fs::path Local;
  std::shared_ptr<ResultSink> Sink = std::make_shared<ResultSink>();
  tavro::CFtpThread Ftp;
  bool Ready = false;

  Setup() {
    if (!Server.Started()) {
      std::fprintf(stderr, "sshd: %s\n", Server.Error().c_str());
      return;
    }
    Local = fs::temp_directory_path() / ("tavro-sftp-bench-" + std::to_string(::getpid()));
    fs::create_directories(Local);
    std::vector<char> bytes(FileSize);
    std::mt19937 random(64);
    for (auto& b : bytes) {
      b = static_cast<char>(random());
    }
    std::ofstream(Local / "source.bin", std::ios::binary).write(bytes.data(), bytes.size());
    std::ofstream(Local / "known_hosts") << Server.KnownHostsLine();
    std::ofstream(Local / "batch")
        << "put " << (Local / "source.bin").string() << " /pub/up-openssh.bin\n";
    Ftp.SetOwner(Sink);
    Ftp.SetKnownHostsFile((Local / "known_hosts").string());
    Ftp.Start();
    Ftp.QueueConnect(Server.Address(), Server.User(), Server.Password());
    Ready = Sink->Next();
  }
  ~Setup() {
    std::error_code ignored;
    fs::remove_all(Local, ignored);
    fs::remove(ClientKey(), ignored);
    fs::remove(ClientKey().string() + ".pub", ignored);
  }
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

bool RunSftp(const Setup& s) {
  std::vector<std::string> arguments = {"sftp",
                                        "-q",
                                        "-b",
                                        (s.Local / "batch").string(),
                                        "-F",
                                        "/dev/null",
                                        "-i",
                                        ClientKey().string(),
                                        "-o",
                                        "IdentitiesOnly=yes",
                                        "-o",
                                        "UserKnownHostsFile=" + (s.Local / "known_hosts").string(),
                                        "-o",
                                        "StrictHostKeyChecking=yes",
                                        "-P",
                                        std::to_string(s.Server.Port()),
                                        s.Server.User() + "@127.0.0.1"};
  std::vector<char*> argv;
  for (auto& a : arguments) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, "sftp", nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::map<std::string, double> MeanSeconds;

void Note(benchmark::State& state, const std::string& name, double seconds, double& total,
          int& count) {
  state.SetIterationTime(seconds);
  total += seconds;
  ++count;
  MeanSeconds[name] = total / count;
}

void UploadTavro(benchmark::State& state) {
  auto& s = Shared();
  if (!s.Ready) {
    state.SkipWithError("no SFTP session");
    return;
  }
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    s.Ftp.QueueUpload((s.Local / "source.bin").string(), "/pub/up-tavro.bin");
    if (!s.Sink->Next()) {
      state.SkipWithError("upload failed");
      return;
    }
    Note(state, "upload tavro", std::chrono::duration<double>(Clock::now() - start).count(), total,
         count);
  }
  if (fs::file_size(s.Server.Pub() / "up-tavro.bin") != FileSize) {
    state.SkipWithError("the uploaded file is incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
}

void UploadOpenSsh(benchmark::State& state) {
  auto& s = Shared();
  if (!s.Ready) {
    state.SkipWithError("no SFTP session");
    return;
  }
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!RunSftp(s)) {
      state.SkipWithError("sftp failed");
      return;
    }
    Note(state, "upload openssh", std::chrono::duration<double>(Clock::now() - start).count(),
         total, count);
  }
  if (fs::file_size(s.Server.Pub() / "up-openssh.bin") != FileSize) {
    state.SkipWithError("the uploaded file is incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
}

BENCHMARK(UploadTavro)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(UploadOpenSsh)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double tavro = MeanSeconds["upload tavro"];
  const double openssh = MeanSeconds["upload openssh"];
  if (tavro > 0 && openssh > 0) {
    std::printf("upload throughput, tavro / openssh sftp: %.2f (goal >= 0.8)\n", openssh / tavro);
  }
  return 0;
}
