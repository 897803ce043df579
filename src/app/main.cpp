#include "app/CPublisherApp.h"
#include "app/ProbeCommand.h"
#include "app/SingleInstance.h"
#include "platform/ProcessHardening.h"
#include "registry/RegistryStore.h"
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
  // One Tavro per settings folder: a second start shows the first one's
  // window and ends before it touches the display or the settings.
  tavro::SingleInstance instance(tavro::DefaultRegistryFilePath());
  if (const auto status = instance.ClaimOrHandOver()) {
    return *status;
  }
  tavro::CPublisherApp::ChooseDisplay();
  QApplication application(argc, argv);
  tavro::InstallJapaneseTexts(application);
  tavro::CPublisherApp publisher;
  publisher.AnswerLaterStarts(instance);
  publisher.InitInstance();
  instance.Release();
  // The settings are saved and the window is gone. The workers may still be
  // blocked on a server until their time-outs; they hold nothing that needs
  // an orderly end, so the process ends now rather than wait for them.
  std::fflush(nullptr);
  std::_Exit(EXIT_SUCCESS);
}
