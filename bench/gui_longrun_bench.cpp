// The real program over a long run and at rest, each against a bare Qt dialog
// with one list box measured in the same run, under Xvfb:
//   xvfb-run -a -s '-screen 0 1024x768x24' build/default/bench/gui_longrun_bench [probes]
//
// 1. Memory: Tavro polls the loopback mail server with the timer at 0, so the
//    probes follow each other without pause and an hour of polling at the 6 s
//    timer (600 probes; more if asked) passes in moments. Resident memory is
//    read after the first minute's worth (10 probes) and at the end: the goal
//    is no more than 10 % growth. The bare dialog then runs for the same wall
//    time, for the ratio of the two.
// 2. Idle: Tavro with polling stopped, once the start-up probe has settled,
//    and the bare dialog: CPU time and wake-ups (context switches of every
//    thread) over 10 s. The goal is none.
#include "GuiProcess.h"
#include "servers/ScriptedSmtpPeer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavro::bench::GuiProcess;
using tavro::bench::ResidentKiB;
using tavro::bench::Usage;
using tavro::bench::UsageOf;

constexpr std::size_t ProbesPerMinute = 10;  // at the 6 s timer
constexpr auto IdleSpan = 10s;
// Long enough for the window to be drawn and the first probe's notices to be
// handled; anything the program does later counts against it.
constexpr auto Settle = 2s;

// Marker indexes of Tavro's log.
constexpr std::size_t WanFound = 0;
constexpr std::size_t ErrorLine = 1;
const std::vector<std::string> TavroMarkers = {"WANのIPアドレスを収得しました", "Err: "};
const std::vector<std::string> BareMarkers = {"Msg: "};

struct RemovedAtEnd {
  std::filesystem::path Path;
  ~RemovedAtEnd() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
};

void WriteSettings(const std::filesystem::path& config, std::uint16_t port, const char* sleep) {
  std::filesystem::create_directories(config / "Quillbet");
  std::ofstream file(config / "Quillbet" / "Tavro.reg", std::ios::binary | std::ios::trunc);
  file << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Quillbet\\Tavro]\r\n"
       << "\"Trace\"=\"127.0.0.1:" << port << "\"\r\n"
       << "\"Sleep\"=dword:" << sleep << "\r\n\r\n";
}

std::string Ratio(double a, double b) {
  if (b <= 0) {
    return a <= 0 ? "n/a (both 0)" : "n/a (bare 0)";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", a / b);
  return text;
}

struct IdleFigures {
  Usage Spent;
  std::size_t Probes = 0;
};

IdleFigures MeasureIdle(GuiProcess& process, tavro::test::ScriptedSmtpPeer* peer) {
  std::this_thread::sleep_for(Settle);
  const std::size_t probesBefore = peer ? peer->Connections() : 0;
  const Usage before = UsageOf(process.Pid());
  std::this_thread::sleep_for(IdleSpan);
  const Usage after = UsageOf(process.Pid());
  IdleFigures figures;
  figures.Spent.CpuMillis = after.CpuMillis - before.CpuMillis;
  figures.Spent.RunMicros = after.RunMicros - before.RunMicros;
  figures.Spent.Switches = after.Switches - before.Switches;
  figures.Spent.ThreadCount = after.ThreadCount;
  figures.Probes = peer ? peer->Connections() - probesBefore : 0;
  return figures;
}

void PrintIdle(const char* name, const IdleFigures& figures) {
  std::printf("  %-12s CPU %.0f ms (run time %llu us), wake-ups %ld over %lld s, %zu threads\n",
              name, figures.Spent.CpuMillis,
              static_cast<unsigned long long>(figures.Spent.RunMicros), figures.Spent.Switches,
              static_cast<long long>(IdleSpan.count()), figures.Spent.ThreadCount);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "run under Xvfb: xvfb-run -a -s '-screen 0 1024x768x24' %s\n", argv[0]);
    return 2;
  }
  const std::size_t probes = argc > 1 ? std::size_t(std::atol(argv[1])) : 60 * ProbesPerMinute;
  if (probes <= ProbesPerMinute) {
    std::fprintf(stderr, "more than %zu probes, please\n", ProbesPerMinute);
    return 2;
  }
  const auto config = std::filesystem::temp_directory_path() /
                      ("tavro-longrun-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(config);
  const RemovedAtEnd removeConfig{config};
  const std::vector<std::string> tavroEnv = {"XDG_CONFIG_HOME=" + config.string(),
                                             "TAVRO_LOG_TO_STDERR=1"};
  tavro::test::ScriptedSmtpPeer peer;

  // 1. Memory over an hour's worth of probes.
  WriteSettings(config, peer.Port(), "00000000");
  long firstMinuteKiB = 0, endKiB = 0, bareKiB = 0;
  std::size_t done = 0, found = 0, errors = 0;
  std::chrono::duration<double> span{};
  {
    GuiProcess tavro(TAVRO_PROGRAM, tavroEnv, TavroMarkers);
    if (!tavro.WaitFor(WanFound, ProbesPerMinute, 60s)) {
      std::fprintf(stderr, "tavro found no address in its first %zu probes (%zu errors)\n",
                   ProbesPerMinute, tavro.Count(ErrorLine));
      return 1;
    }
    firstMinuteKiB = ResidentKiB(tavro.Pid());
    std::printf("memory over %zu probes with the timer at 0 (%zu probes = an hour at 6 s)\n",
                probes, 60 * ProbesPerMinute);
    std::printf("  after %zu probes: tavro %ld KiB\n", ProbesPerMinute, firstMinuteKiB);
    const std::size_t step = probes / 10;
    std::size_t nextReport = step;
    // The peer counts connections, so a probe is counted whether or not the
    // program logs it; the log's count of found addresses is the check.
    while ((done = peer.Connections()) < probes) {
      if (!tavro.WaitFor(WanFound, std::min(done + 1, probes), 30s)) {
        std::fprintf(stderr, "tavro found no address for 30 s after %zu probes (%zu errors)\n",
                     done, tavro.Count(ErrorLine));
        return 1;
      }
      if (done >= nextReport) {
        std::printf("  after %zu probes: tavro %ld KiB\n", done, ResidentKiB(tavro.Pid()));
        std::fflush(stdout);
        nextReport += step;
      }
    }
    endKiB = ResidentKiB(tavro.Pid());
    span = std::chrono::steady_clock::now() - tavro.Started();
    found = tavro.Count(WanFound);
    errors = tavro.Count(ErrorLine);
  }
  {
    GuiProcess bare(BARE_PROGRAM, {}, BareMarkers);
    if (!bare.WaitFor(0, 1, 20s)) {
      std::fprintf(stderr, "the bare dialog showed no line\n");
      return 1;
    }
    std::this_thread::sleep_until(bare.Started() +
                                  std::chrono::duration_cast<std::chrono::milliseconds>(span));
    bareKiB = ResidentKiB(bare.Pid());
  }
  const double growth = 100.0 * double(endKiB - firstMinuteKiB) / double(firstMinuteKiB);
  std::printf("  %zu probes in %.1f s (%.1f ms each), %zu addresses found, %zu error lines\n", done,
              span.count(), 1000.0 * span.count() / double(done), found, errors);
  std::printf(
      "  tavro %ld KiB after the first minute's worth, %ld KiB at the end: growth %.1f %%"
      " (goal <= 10 %%)\n",
      firstMinuteKiB, endKiB, growth);
  std::printf("  bare dialog %ld KiB after the same %.1f s; tavro/bare %s\n", bareKiB, span.count(),
              Ratio(double(endKiB), double(bareKiB)).c_str());

  // 2. At rest with polling stopped: the start-up probe runs, then nothing.
  WriteSettings(config, peer.Port(), "ffffffff");
  IdleFigures tavroIdle, bareIdle;
  {
    GuiProcess tavro(TAVRO_PROGRAM, tavroEnv, TavroMarkers);
    if (!tavro.WaitFor(WanFound, 1, 20s)) {
      std::fprintf(stderr, "tavro's start-up probe found no address\n");
      return 1;
    }
    tavroIdle = MeasureIdle(tavro, &peer);
  }
  {
    GuiProcess bare(BARE_PROGRAM, {}, BareMarkers);
    if (!bare.WaitFor(0, 1, 20s)) {
      std::fprintf(stderr, "the bare dialog showed no line\n");
      return 1;
    }
    bareIdle = MeasureIdle(bare, nullptr);
  }
  std::printf("idle with polling stopped, %lld s after %lld s to settle (goal: no wake-ups)\n",
              static_cast<long long>(IdleSpan.count()),
              static_cast<long long>(std::chrono::seconds(Settle).count()));
  PrintIdle("tavro", tavroIdle);
  PrintIdle("bare dialog", bareIdle);
  std::printf("  tavro/bare: run time %s, wake-ups %s; probes while idle: %zu\n",
              Ratio(double(tavroIdle.Spent.RunMicros), double(bareIdle.Spent.RunMicros)).c_str(),
              Ratio(double(tavroIdle.Spent.Switches), double(bareIdle.Spent.Switches)).c_str(),
              tavroIdle.Probes);
  return 0;
}
