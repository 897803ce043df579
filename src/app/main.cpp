#include "app/CPublisherApp.h"
#include "app/ProbeCommand.h"
#include "platform/ProcessHardening.h"
#include "ui/Translations.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  tavro::HardenProcess();  // no core dump or same-user ptrace can read the password
  // `tavro --probe` and the like run without a window.
  if (const auto status = tavro::RunCommandLine(argc, argv)) {
    return *status;
  }
  tavro::CPublisherApp::ChooseDisplay();
  QApplication application(argc, argv);
  tavro::InstallJapaneseTexts(application);
  tavro::CPublisherApp publisher;
  publisher.InitInstance();
  // The settings are saved and the window is gone. The workers may still be
  // blocked on a server until their time-outs; they hold nothing that needs
  // an orderly end, so the process ends now rather than wait for them.
  std::fflush(nullptr);
  std::_Exit(EXIT_SUCCESS);
}
