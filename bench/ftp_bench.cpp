// CFtpThread against the curl command line on one vsftpd instance, both in
// active mode: a 64 MiB upload and download, and the listing of a folder of
// 10,000 files (until the last entry has been reported). Prints each ratio at
// the end: transfers as throughput relative to curl (goal 0.8 or more), the
// listing as time relative to curl (goal 2 or less).
#include "publish/CFtpThread.h"

#include "ftp/FtpEntry.h"
#include "servers/VsftpdServer.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
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
constexpr int ListedFiles = 10'000;

// Waits for command results and notes when the last listing entry arrived.
class TimingSink : public tavro::IReportSink {
public:
  void OnReport(const tavro::WorkerReport& report) override {
    std::lock_guard lock(Mutex);
    if (report.Entry()) {
      ++Entries;
      LastEntry = Clock::now();
    } else if (report.Message == tavro::kWmFtpThreadMessage && report.Code != tavro::FTPMSG_TEXT) {
      Results.push_back({report.Code, report.Succeeded() ? 1 : 0});
      Changed.notify_all();
    }
  }
  // The result of the next command to finish.
  std::pair<std::uint32_t, std::int64_t> Next() {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [&] { return Taken < Results.size(); });
    return Results[Taken++];
  }
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<std::pair<std::uint32_t, std::int64_t>> Results;
  std::size_t Taken = 0;
  std::size_t Entries = 0;
  Clock::time_point LastEntry;
};

struct Setup {
  tavro::test::VsftpdServer Server;
  fs::path Local;
  std::shared_ptr<TimingSink> Sink = std::make_shared<TimingSink>();
  tavro::CFtpThread Ftp;
  bool Ready = false;

  Setup() {
    if (!Server.Started()) {
      std::fprintf(stderr, "vsftpd: %s\n", Server.Error().c_str());
      return;
    }
    Local = fs::temp_directory_path() / ("tavro-ftp-bench-" + std::to_string(::getpid()));
    fs::create_directories(Local);
    std::vector<char> bytes(FileSize);
    std::mt19937 random(64);
    for (auto& b : bytes) {
      b = static_cast<char>(random());
    }
    std::ofstream(Local / "source.bin", std::ios::binary).write(bytes.data(), bytes.size());
    std::ofstream(Server.Pub() / "remote.bin", std::ios::binary).write(bytes.data(), bytes.size());
    fs::create_directory(Server.Pub() / "many");
    for (int i = 0; i < ListedFiles; ++i) {
      std::ofstream(Server.Pub() / "many" / ("file-" + std::to_string(i) + ".html")) << i;
    }
    Server.Share(Server.Pub());
    Ftp.SetOwner(Sink);
    Ftp.Start();
    Ftp.QueueConnect(Server.Address(), tavro::test::VsftpdServer::User,
                     tavro::test::VsftpdServer::Password);
    Ready = Sink->Next().second == 1;
  }
  ~Setup() {
    std::error_code ignored;
    fs::remove_all(Local, ignored);
  }

  std::string Url(const std::string& path) const { return "ftp://" + Server.Address() + path; }
  std::string Account() const {
    return std::string(tavro::test::VsftpdServer::User) + ":" + tavro::test::VsftpdServer::Password;
  }
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

bool RunCurl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"curl", "-s", "-S", "-P", "-"});
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

std::map<std::string, double> MeanSeconds;

// Keeps the mean of the run so far; the last (longest) run of each benchmark
// is the one printed.
void Note(benchmark::State& state, const std::string& name, double seconds, double& total,
          int& count) {
  state.SetIterationTime(seconds);
  total += seconds;
  ++count;
  MeanSeconds[name] = total / count;
}

void UploadTavro(benchmark::State& state) {
  auto& s = Shared();
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    s.Ftp.QueueUpload((s.Local / "source.bin").string(), "/pub/up-tavro.bin");
    if (s.Sink->Next().second != 1) {
      state.SkipWithError("upload failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Note(state, "upload tavro", seconds, total, count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
}

void UploadCurl(benchmark::State& state) {
  auto& s = Shared();
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!RunCurl({"-u", s.Account(), "-T", (s.Local / "source.bin").string(),
                  s.Url("/pub/up-curl.bin")})) {
      state.SkipWithError("curl failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Note(state, "upload curl", seconds, total, count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
}

void DownloadTavro(benchmark::State& state) {
  auto& s = Shared();
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    fs::remove(s.Local / "down-tavro.bin");
    const auto start = Clock::now();
    s.Ftp.QueueDownload("/pub/remote.bin", (s.Local / "down-tavro.bin").string());
    if (s.Sink->Next().second != 1) {
      state.SkipWithError("download failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Note(state, "download tavro", seconds, total, count);
  }
  if (fs::file_size(s.Local / "down-tavro.bin") != FileSize) {
    state.SkipWithError("the downloaded file is incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
}

void DownloadCurl(benchmark::State& state) {
  auto& s = Shared();
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    fs::remove(s.Local / "down-curl.bin");
    const auto start = Clock::now();
    if (!RunCurl({"-u", s.Account(), "-o", (s.Local / "down-curl.bin").string(),
                  s.Url("/pub/remote.bin")})) {
      state.SkipWithError("curl failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Note(state, "download curl", seconds, total, count);
  }
  if (fs::file_size(s.Local / "down-curl.bin") != FileSize) {
    state.SkipWithError("the downloaded file is incomplete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FileSize));
}

void ListTavro(benchmark::State& state) {
  auto& s = Shared();
  s.Ftp.QueueChangeDirectory("/pub/many");
  s.Sink->Next();
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(s.Sink->Mutex);
      s.Sink->Entries = 0;
    }
    const auto start = Clock::now();
    s.Ftp.QueueList();
    const bool ok = s.Sink->Next().second == 1;
    std::lock_guard lock(s.Sink->Mutex);
    if (!ok || s.Sink->Entries != ListedFiles) {
      state.SkipWithError("listing incomplete");
      return;
    }
    const double seconds = std::chrono::duration<double>(s.Sink->LastEntry - start).count();
    Note(state, "list tavro", seconds, total, count);
  }
}

void ListCurl(benchmark::State& state) {
  auto& s = Shared();
  double total = 0;
  int count = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!RunCurl({"-u", s.Account(), "-o", "/dev/null", s.Url("/pub/many/")})) {
      state.SkipWithError("curl failed");
      return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Note(state, "list curl", seconds, total, count);
  }
}

BENCHMARK(UploadTavro)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(UploadCurl)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DownloadTavro)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DownloadCurl)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ListTavro)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ListCurl)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void PrintRatio(const char* what, const std::string& ours, const std::string& theirs,
                bool throughput) {
  if (!MeanSeconds.count(ours) || !MeanSeconds.count(theirs)) {
    return;
  }
  const double ratio = throughput ? MeanSeconds[theirs] / MeanSeconds[ours]
                                  : MeanSeconds[ours] / MeanSeconds[theirs];
  std::printf("%-9s %s: %.2f (CFtpThread %.1f ms, curl %.1f ms)\n", what,
              throughput ? "throughput vs curl" : "time vs curl", ratio, MeanSeconds[ours] * 1000,
              MeanSeconds[theirs] * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Shared().Ready) {
    std::fprintf(stderr, "the FTP setup failed\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintRatio("upload", "upload tavro", "upload curl", true);
  PrintRatio("download", "download tavro", "download curl", true);
  PrintRatio("listing", "list tavro", "list curl", false);
  return 0;
}
