// The FTP browser showing a folder of 10,000 files, from the moment the
// listing is asked for to the last row drawn, against the curl command line
// fetching the same LIST from the same vsftpd (log-on included for curl, so
// the comparison leans against the browser). Prints the ratio of the mean
// times at the end (goal: 3 or less).
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

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tavro::CFtpBrowserDialog;
using tavro::test::VsftpdServer;

constexpr int ListedFiles = 10'000;
constexpr int Rounds = 10;

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

bool ListAfter(CFtpBrowserDialog& dialog, const std::function<void()>& command) {
  QSignalSpy done(&dialog, &CFtpBrowserDialog::ListingDone);
  command();
  return done.wait(60000);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
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
  dialog.Controls()
      .Control<QLineEdit>(CFtpBrowserDialog::IDC_STARTDIR)
      ->setText(QStringLiteral("/pub/x"));
  if (!ListAfter(dialog, [&] {
        dialog.Controls().Control<QPushButton>(CFtpBrowserDialog::IDC_TOGGLE)->click();
      })) {
    std::fprintf(stderr, "the browser did not connect\n");
    auto* box = dialog.Controls().Control<QListWidget>(CFtpBrowserDialog::IDC_STATUS);
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
    if (!ListAfter(dialog, [&] { dialog.OnCommand(CFtpBrowserDialog::IDC_SUBDIR); }) ||
        list.Count() != ListedFiles) {
      std::fprintf(stderr, "the listing was incomplete: %d rows\n", list.Count());
      return 1;
    }
    list.CurrentView()->viewport()->repaint();
    ours += std::chrono::duration<double>(Clock::now() - start).count();
    // Back up to /pub/x for the next round.
    ListAfter(dialog, [&] { dialog.OnCommand(CFtpBrowserDialog::IDC_UP); });
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
  return 0;
}
