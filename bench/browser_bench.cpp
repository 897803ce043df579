// The FTP browser showing a folder of 10,000 files, from the moment the
// listing is asked for to the last row drawn, against the curl command line
// fetching the same LIST from the same vsftpd (log-on included for curl, so
// the comparison leans against the browser). Prints the ratio of the mean
// times at the end (goal: 3 or less).
//
// Then the memory of a listing as long as a listing may be (a million rows,
// FtpSession::MaxListEntries): the peak resident size of this process while
// the browser takes it in, against curl's peak for the same LIST, both from a
// scripted peer that makes the lines up as it sends them (goal: under 200 MB
// for the browser; the ratio is for reading).
#include "ftp/FtpSession.h"
#include "servers/ScriptedFtpPeer.h"
#include "servers/VsftpdServer.h"
#include "ui/CFtpBrowserDialog.h"
#include "ui/RemoteFileList.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tavro::CFtpBrowserDialog;
using tavro::test::VsftpdServer;

constexpr int ListedFiles = 10'000;
constexpr int Rounds = 10;

// A field of /proc/<process>/status in KiB ("self" or a process id).
long StatusKiB(const std::string& process, const char* field) {
  std::ifstream status("/proc/" + process + "/status");
  std::string key;
  while (status >> key) {
    if (key == field) {
      long value = 0;
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Runs curl to its end. Where asked, its peak resident size in KiB goes to
// `peakKiB`, read from /proc every millisecond while it runs: the kernel's
// own count for a spawned child (ru_maxrss) starts from the parent's, whose
// memory the child shared until its exec.
bool RunCurl(std::vector<std::string> arguments, long* peakKiB = nullptr) {
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
  if (peakKiB == nullptr) {
    ::waitpid(pid, &status, 0);
  } else {
    *peakKiB = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      *peakKiB = std::max(*peakKiB, StatusKiB(std::to_string(pid), "VmHWM:"));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// From here on VmHWM counts from the resident size now.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Sends `count` listing lines, made up chunk by chunk, then the final reply.
void StreamListing(tavro::test::ScriptedFtpPeer::Session& s, std::size_t count) {
  s.Reply("150 Here comes the directory listing.");
  auto data = s.OpenData();
  if (!data) {
    return;
  }
  std::string chunk;
  for (std::size_t i = 0; i < count; ++i) {
    chunk += "-rw-r--r--    1 0        0            1234 May 07  2003 page-";
    chunk += std::to_string(1'000'000 + i);
    chunk += ".html\r\n";
    if (chunk.size() >= (256u << 10) || i + 1 == count) {
      if (!tavro::test::LoopbackServer::SendAll(*data, chunk)) {
        return;
      }
      chunk.clear();
    }
  }
  data->close();
  s.Reply("226 Directory send OK.");
}

bool ListAfter(CFtpBrowserDialog& dialog, const std::function<void()>& command) {
  QSignalSpy done(&dialog, &CFtpBrowserDialog::ListingDone);
  command();
  return done.wait(60000);
}

int MillionRows() {
  constexpr std::size_t rows = tavro::FtpSession::MaxListEntries;
  tavro::test::ScriptedFtpPeer peer;
  peer.On("LIST", [](tavro::test::ScriptedFtpPeer::Session& s, const std::string&) {
    StreamListing(s, rows);
  });
  long curlKiB = 0;
  const auto curlStart = Clock::now();
  if (!RunCurl({"-u", "user:pw", "-o", "/dev/null", "ftp://" + peer.Address() + "/"}, &curlKiB)) {
    std::fprintf(stderr, "curl failed on the scripted peer\n");
    return 1;
  }
  const double curlSeconds = std::chrono::duration<double>(Clock::now() - curlStart).count();

  long beforeKiB = 0;
  long peakKiB = 0;
  double seconds = 0;
  {
    CFtpBrowserDialog dialog(QString::fromStdString(peer.Address()), QStringLiteral("user"),
                             QStringLiteral("pw"));
    dialog.show();
    QCoreApplication::processEvents();
    beforeKiB = StatusKiB("self", "VmRSS:");
    ResetPeak();
    const auto start = Clock::now();
    if (!ListAfter(dialog,
                   [&] { dialog.Controls().Control<QPushButton>(tavro::IDC_TOGGLE)->click(); })) {
      std::fprintf(stderr, "the million-row listing did not end\n");
      return 1;
    }
    tavro::CRemoteFileList& list = *dialog.FileList();
    list.CurrentView()->viewport()->repaint();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    peakKiB = StatusKiB("self", "VmHWM:");
    if (static_cast<std::size_t>(list.Count()) != rows) {
      std::fprintf(stderr, "the million-row listing was incomplete: %d rows\n", list.Count());
      return 1;
    }
  }
  std::printf(
      "browser listing of %zu entries: %.1f s, peak resident %.1f MB (%.1f MB before, "
      "%.0f bytes a row; goal: under 200 MB); curl: %.1f s, peak %.1f MB; "
      "memory vs curl: %.1f\n",
      rows, seconds, peakKiB / 1024.0, beforeKiB / 1024.0,
      double(peakKiB - beforeKiB) * 1024.0 / double(rows), curlSeconds, curlKiB / 1024.0,
      double(peakKiB) / double(curlKiB));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // "memory" runs the million-row listing alone.
  if (argc > 1 && std::string(argv[1]) == "memory") {
    return MillionRows();
  }
  VsftpdServer server;
  if (!server.Started()) {
    std::fprintf(stderr, "vsftpd: %s\n", server.Error().c_str());
    return 1;
  }
  const fs::path many = server.Pub() / "x" / "many";
  fs::create_directories(many);
  for (int i = 0; i < ListedFiles; ++i) {
    std::ofstream(many / ("page-" + std::to_string(i) + ".html")) << i;
  }

  CFtpBrowserDialog dialog(QString::fromStdString(server.Address()), VsftpdServer::User,
                           VsftpdServer::Password);
  dialog.show();
  dialog.Controls().Control<QLineEdit>(tavro::IDC_STARTDIR)->setText(QStringLiteral("/pub/x"));
  if (!ListAfter(dialog,
                 [&] { dialog.Controls().Control<QPushButton>(tavro::IDC_TOGGLE)->click(); })) {
    std::fprintf(stderr, "the browser did not connect\n");
    auto* box = dialog.Controls().Control<QListWidget>(tavro::IDC_STATUS);
    for (int i = 0; i < box->count(); ++i) {
      std::fprintf(stderr, "%s\n", qPrintable(box->item(i)->text()));
    }
    return 1;
  }
  tavro::CRemoteFileList& list = *dialog.FileList();
  double ours = 0;
  for (int round = 0; round < Rounds; ++round) {
    // Down into /pub/x/many; the clock stops once its rows have been painted.
    list.Select(0);
    const auto start = Clock::now();
    if (!ListAfter(dialog, [&] { dialog.OnCommand(tavro::IDC_SUBDIR); }) ||
        list.Count() != ListedFiles) {
      std::fprintf(stderr, "the listing was incomplete: %d rows\n", list.Count());
      return 1;
    }
    list.CurrentView()->viewport()->repaint();
    ours += std::chrono::duration<double>(Clock::now() - start).count();
    // Back up to /pub/x for the next round.
    ListAfter(dialog, [&] { dialog.OnCommand(tavro::IDC_UP); });
  }

  double theirs = 0;
  const std::string account = std::string(VsftpdServer::User) + ":" + VsftpdServer::Password;
  for (int round = 0; round < Rounds; ++round) {
    const auto start = Clock::now();
    if (!RunCurl(
            {"-u", account, "-o", "/dev/null", "ftp://" + server.Address() + "/pub/x/many/"})) {
      std::fprintf(stderr, "curl failed\n");
      return 1;
    }
    theirs += std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::printf("browser listing of %d entries: %.1f ms, curl: %.1f ms, time vs curl: %.2f\n",
              ListedFiles, ours / Rounds * 1000, theirs / Rounds * 1000, ours / theirs);
  std::fflush(stdout);
  return MillionRows();
}
