// A windowed program that a benchmark starts and watches: its stderr is read
// line by line on a thread of the benchmark (a program that logs quickly must
// never block on a full pipe), and /proc tells what it costs. Header only;
// the GUI benchmarks include it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" char** environ;

namespace tavro::bench {

// A field of /proc/<pid>/status ("VmRSS:", "voluntary_ctxt_switches:"), or of
// one thread's status when `pid` is a "<pid>/task/<tid>" path.
inline long StatusField(const std::string& pid, const std::string& name) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string key;
  while (status >> key) {
    if (key == name) {
      long value = 0;
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

inline long ResidentKiB(pid_t pid) {
  return StatusField(std::to_string(pid), "VmRSS:");
}

inline std::vector<std::string> Threads(pid_t pid) {
  std::vector<std::string> tasks;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      if (entry->d_name[0] != '.') {
        tasks.push_back(std::to_string(pid) + "/task/" + entry->d_name);
      }
    }
    ::closedir(d);
  }
  return tasks;
}

// What the process has cost so far, summed over the threads alive now.
struct Usage {
  double CpuMillis = 0;         // utime + stime, in clock ticks' resolution
  std::uint64_t RunMicros = 0;  // time on a CPU by the scheduler's count
  long Switches = 0;            // voluntary + involuntary: each is a wake-up
  std::size_t ThreadCount = 0;
};

inline Usage UsageOf(pid_t pid) {
  Usage usage;
  {
    // The command name may hold blanks; the fields after it are counted from
    // its closing parenthesis. utime and stime are fields 14 and 15.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close != std::string::npos) {
      std::istringstream fields(text.substr(close + 2));
      std::string field;
      long ticks = 0;
      for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) {
          ticks += std::stol(field);
        }
      }
      usage.CpuMillis = 1000.0 * double(ticks) / double(::sysconf(_SC_CLK_TCK));
    }
  }
  for (const auto& task : Threads(pid)) {
    usage.Switches += StatusField(task, "voluntary_ctxt_switches:") +
                      StatusField(task, "nonvoluntary_ctxt_switches:");
    std::ifstream schedstat("/proc/" + task + "/schedstat");
    std::uint64_t runNanos = 0;
    if (schedstat >> runNanos) {
      usage.RunMicros += runNanos / 1000;
    }
    ++usage.ThreadCount;
  }
  return usage;
}

class GuiProcess {
public:
  // Starts `program` with the benchmark's environment plus `extraEnv`. Each
  // stderr line that contains one of `markers` is counted for that marker.
  GuiProcess(const std::string& program, const std::vector<std::string>& extraEnv,
             std::vector<std::string> markers)
      : Markers(std::move(markers)), Counts(Markers.size(), 0) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
    std::vector<std::string> storage(extraEnv);
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
    Start = std::chrono::steady_clock::now();
    const int rc = posix_spawn(&Id, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (rc != 0) {
      Id = 0;
      ::close(pipe[0]);
      return;
    }
    Reader = std::thread([this, fd = pipe[0]] { Read(fd); });
  }

  ~GuiProcess() {
    if (Id > 0) {
      ::kill(Id, SIGTERM);
      int status = 0;
      ::waitpid(Id, &status, 0);
    }
    if (Reader.joinable()) {
      Reader.join();
    }
  }
  GuiProcess(const GuiProcess&) = delete;
  GuiProcess& operator=(const GuiProcess&) = delete;

  pid_t Pid() const { return Id; }
  std::chrono::steady_clock::time_point Started() const { return Start; }

  std::size_t Count(std::size_t marker) const {
    std::lock_guard lock(Mutex);
    return Counts[marker];
  }
  std::size_t Lines() const {
    std::lock_guard lock(Mutex);
    return AllLines;
  }

  // Waits until `done` holds for the marker counts; false when the program
  // ended or the time ran out first.
  template <class Predicate>
  bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    Changed.wait_for(lock, timeout, [&] { return done(Counts) || Ended; });
    return done(Counts);
  }
  bool WaitFor(std::size_t marker, std::size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([&](const std::vector<std::size_t>& c) { return c[marker] >= count; },
                     timeout);
  }

private:
  void Read(int fd) {
    std::string pending;
    char buffer[1 << 14];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      pending.append(buffer, std::size_t(n));
      std::size_t begin = 0;
      std::lock_guard lock(Mutex);
      for (auto end = pending.find('\n'); end != std::string::npos;
           begin = end + 1, end = pending.find('\n', begin)) {
        const std::string_view line(pending.data() + begin, end - begin);
        ++AllLines;
        for (std::size_t i = 0; i < Markers.size(); ++i) {
          Counts[i] += line.find(Markers[i]) != std::string_view::npos;
        }
      }
      pending.erase(0, begin);
      Changed.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(Mutex);
    Ended = true;
    Changed.notify_all();
  }

  pid_t Id = 0;
  std::chrono::steady_clock::time_point Start;
  const std::vector<std::string> Markers;
  mutable std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<std::size_t> Counts;
  std::size_t AllLines = 0;
  bool Ended = false;
  std::thread Reader;
};

}  // namespace tavro::bench
