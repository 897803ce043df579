// The application object: runs the main window and ends the program with it.
#pragma once

namespace tavro {

class CMainDialog;

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

  // The window while it runs.
  CMainDialog* MainWindow() const { return Main; }

private:
  CMainDialog* Main = nullptr;
};

}  // namespace tavro
