// Start-up of the real program against a bare Qt dialog with one list box:
// the time from starting the process to the first line in its log, and the
// resident memory once that line is there. Both programs run alternately in
// the same run, on the same display; run it under Xvfb:
//   xvfb-run -a -s '-screen 0 1024x768x24' build/default/bench/gui_startup_bench
// Tavro runs on an empty settings file, so its first line is the probe's
// report that no mail server is set: no network is involved.
#include "GuiProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Sample {
  double Millis = 0;
  long RssKiB = 0;
};

// Starts the program, waits for its first log line, measures, ends it.
bool Measure(const std::string& program, const std::vector<std::string>& env, Sample& sample) {
  // A log line carries "Msg: " or "Err: "; Qt's own warnings do not.
  tavro::bench::GuiProcess process(program, env, {"Msg: ", "Err: "});
  const bool found =
      process.WaitUntil([](const std::vector<std::size_t>& seen) { return seen[0] + seen[1] > 0; },
                        std::chrono::seconds(20));
  sample.Millis = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                            process.Started())
                      .count();
  // Memory once the window has settled after its first line.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sample.RssKiB = tavro::bench::ResidentKiB(process.Pid());
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
