#include "app/CPublisherApp.h"

#include "app/Automation.h"
#include "app/CMainDialog.h"
#include "app/SingleInstance.h"
#include "ui/ResourceIds.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tavro {
namespace {

// A signal handler may only write a byte; the GUI thread reads it from the
// other end and ends the window there.
int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(SignalPipe[0], &byte, 1);
}

bool HasDisplay() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

void CPublisherApp::ChooseDisplay() {
  if (!HasDisplay()) {
    std::fputs("tavro: no display found; running without a window (Qt offscreen platform)\n",
               stderr);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform warns on every window that it cannot size it;
    // the line above has said all there is to say.
    static const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (!message.contains(QLatin1String("propagateSizeHints"))) {
            previous(type, context, message);
          }
        });
  }
}

bool CPublisherApp::InitInstance() {
  CMainDialog dialog;
  Main = &dialog;
  if (Instance) {
    // Answered once the window's event loop runs; until then a later start
    // waits for its answer.
    Instance->Listen([&dialog] { dialog.OnCommand(IDM_VIEW); });
    // A start while this one is on its way out waits for it to end rather
    // than bring back a window that is closing.
    QObject::connect(&dialog, &QDialog::finished, &dialog, [this] { Instance->StopListening(); });
  }

  QSocketNotifier* notifier = nullptr;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) == 0) {
    notifier = new QSocketNotifier(SignalPipe[1], QSocketNotifier::Read, &dialog);
    QObject::connect(notifier, &QSocketNotifier::activated, &dialog, [&dialog] {
      char byte = 0;
      [[maybe_unused]] const auto read = ::read(SignalPipe[1], &byte, 1);
      dialog.EndWithoutQuestion();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
  }

  // The log-off question: Cancel refuses the log-off. Where the session
  // manager allows no interaction, nothing is asked and the log-off goes on.
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, &dialog,
                   [&dialog](QSessionManager& manager) {
                     if (manager.allowsInteraction()) {
                       const bool proceed = dialog.OnQueryEndSession();
                       manager.release();
                       if (!proceed) {
                         manager.cancel();
                       }
                     }
                   });

  Automation::AttachIfAsked(dialog);
  dialog.DoModal();

  // From here on a signal has nothing left to end.
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  Main = nullptr;
  return false;
}

}  // namespace tavro
