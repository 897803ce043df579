// The application object: runs the main window and ends the program with it.
#pragma once

namespace tavro {

class CMainDialog;
class SingleInstance;

class CPublisherApp {
public:
  // Where there is no display, says so in one line on stderr and chooses Qt's
  // offscreen platform, on which Tavro still probes and publishes. Call before
  // the QApplication is made.
  static void ChooseDisplay();

  // Makes the main window, runs it until it ends and returns false: the
  // program ends when the window does. SIGTERM and SIGINT end the window
  // without the unpublish question; the session manager's log-off request
  // asks it.
  bool InitInstance();

  // The first start's answer to later ones: each asks the window to show
  // itself, until the window ends. Call before InitInstance.
  void AnswerLaterStarts(SingleInstance& instance) { Instance = &instance; }

  // The window while it runs.
  CMainDialog* MainWindow() const { return Main; }

private:
  CMainDialog* Main = nullptr;
  SingleInstance* Instance = nullptr;
};

}  // namespace tavro
