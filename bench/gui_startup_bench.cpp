// Start-up of the real program against a bare Qt dialog with one list box:
// the time from starting the process to the first line in its log, and the
// resident memory once that line is there. Both programs run alternately in
// the same run, on the same display; run it under Xvfb:
//   xvfb-run -a -s '-screen 0 1024x768x24' build/default/bench/gui_startup_bench
// Tavro runs on an empty settings file, so its first line is the probe's
// report that no mail server is set: no network is involved.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" char** environ;

namespace {

struct Sample {
  double Millis = 0;
  long RssKiB = 0;
};

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Starts the program, waits for its first stderr line, measures, ends it.
bool Measure(const std::string& program, const std::vector<std::string>& env, Sample& sample) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
  std::vector<std::string> storage(env);
  for (char** e = environ; *e; ++e) {
    storage.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& s : storage) {
    envp.push_back(s.data());
  }
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (rc != 0) {
    ::close(pipe[0]);
    return false;
  }
  std::string seen;
  bool found = false;
  while (!found) {
    pollfd fd{pipe[0], POLLIN, 0};
    if (::poll(&fd, 1, 20000) <= 0) {
      break;
    }
    char buffer[4096];
    const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    seen.append(buffer, std::size_t(n));
    // A log line carries "Msg: " or "Err: "; Qt's own warnings do not.
    found = seen.find("Msg: ") != std::string::npos || seen.find("Err: ") != std::string::npos;
  }
  const auto end = std::chrono::steady_clock::now();
  sample.Millis = std::chrono::duration<double, std::milli>(end - start).count();
  // Memory once the window has settled after its first line.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sample.RssKiB = ResidentKiB(pid);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(pipe[0]);
  return found;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "run under Xvfb: xvfb-run -a -s '-screen 0 1024x768x24' %s\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
  const auto config = std::filesystem::temp_directory_path() / "tavro-startup-bench";
  std::filesystem::remove_all(config);
  std::filesystem::create_directories(config);
  const std::vector<std::string> tavroEnv = {"XDG_CONFIG_HOME=" + config.string(),
                                             "TAVRO_LOG_TO_STDERR=1"};
  std::vector<double> tavroMs, bareMs, tavroKiB, bareKiB;
  // One unmeasured start of each warms the caches for both alike.
  Sample sample;
  Measure(TAVRO_PROGRAM, tavroEnv, sample);
  Measure(BARE_PROGRAM, {}, sample);
  for (int i = 0; i < rounds; ++i) {
    if (!Measure(TAVRO_PROGRAM, tavroEnv, sample)) {
      std::fprintf(stderr, "tavro showed no log line\n");
      return 1;
    }
    tavroMs.push_back(sample.Millis);
    tavroKiB.push_back(double(sample.RssKiB));
    if (!Measure(BARE_PROGRAM, {}, sample)) {
      std::fprintf(stderr, "the bare dialog showed no line\n");
      return 1;
    }
    bareMs.push_back(sample.Millis);
    bareKiB.push_back(double(sample.RssKiB));
  }
  std::filesystem::remove_all(config);
  const double t = Median(tavroMs), b = Median(bareMs);
  const double tm = Median(tavroKiB), bm = Median(bareKiB);
  std::printf(
      "start to first log line (median of %d): tavro %.1f ms, bare dialog %.1f ms, "
      "ratio %.2f (goal <= 1.5)\n",
      rounds, t, b, t / b);
  std::printf(
      "resident memory after start: tavro %.0f KiB, bare dialog %.0f KiB, ratio %.2f "
      "(goal <= 1.3)\n",
      tm, bm, tm / bm);
  return 0;
}
