// Filling a 64 MiB template into its page, file to file, next to GNU sed doing
// the same replacement and adding the CRs of the line ends. Each iteration runs
// both and times one, so that the load of a shared machine falls on both alike.
#include "publish/PageGenerator.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr const char* Address = "192.0.2.17";
fs::path Dir;
std::string Template;

// An HTML page of 64 MiB: short lines, colours written with "#", a placeholder
// every few lines, LF line ends (the CRs are what both sides add).
void MakeTemplate() {
  std::ofstream out(Template, std::ios::binary);
  std::size_t size = 0;
  for (int i = 0; size < (std::size_t{64} << 20); ++i) {
    std::ostringstream line;
    line << "<tr><td style=\"color:#3a6ea5\">row " << i << "</td><td>";
    if (i % 5 == 0) {
      line << "http://#####:8080/";
    } else {
      line << "text of the row, a little longer than the rest";
    }
    line << "</td></tr>\n";
    out << line.str();
    size += line.str().size();
  }
}

bool RunSed(const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, Template.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string replace = std::string("s/#####/") + Address + "/g";
  const char* argv[] = {"sed", "-e", replace.c_str(), "-e", "s/$/\r/", nullptr};
  // Bytes, not characters: the template is code page 932, and sed is fastest
  // so.
  static char cLocale[] = "LC_ALL=C";
  char* env[] = {cLocale, nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "sed", &actions, nullptr, const_cast<char**>(argv), env);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

bool RunTavro() {
  return tavro::GeneratePage(Template, Address).has_value();
}

void FillAndSed(benchmark::State& state, bool timeTavro) {
  const std::string sedOutput = (Dir / "sed.html").string();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool first = timeTavro ? RunTavro() : RunSed(sedOutput);
    const auto middle = std::chrono::steady_clock::now();
    const bool second = timeTavro ? RunSed(sedOutput) : RunTavro();
    if (!first || !second) {
      state.SkipWithError("a run failed");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(middle - start).count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(Template)));
}

void BM_GeneratePage(benchmark::State& state) {
  FillAndSed(state, true);
}
BENCHMARK(BM_GeneratePage)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_Sed(benchmark::State& state) {
  FillAndSed(state, false);
}
BENCHMARK(BM_Sed)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

class CollectingReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
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

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Dir = fs::temp_directory_path() / ("tavro-page-bench-" + std::to_string(::getpid()));
  fs::create_directories(Dir);
  Template = (Dir / "index.html").string();
  MakeTemplate();
  // Both sides must make the same page, or the comparison means nothing.
  if (!RunTavro() || !RunSed((Dir / "sed.html").string()) ||
      Read(Template + ".tmp") != Read(Dir / "sed.html")) {
    std::printf("the page and sed's output differ\n");
    fs::remove_all(Dir);
    return 1;
  }
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double tavro = reporter.Times["BM_GeneratePage"];
  const double sed = reporter.Times["BM_Sed"];
  if (tavro > 0 && sed > 0) {
    std::printf("64 MiB template, page / sed: %.2f (goal <= 1.0; sed is %.1f times slower)\n",
                tavro / sed, sed / tavro);
  }
  fs::remove_all(Dir);
  benchmark::Shutdown();
  return 0;
}
