// A way for scripts to drive the running program, off unless asked for: with
// TAVRO_AUTOMATION set, each line read on standard input is carried out:
//   answer N    the next message box is answered with N (6 Yes, 7 No, 2 Cancel)
//   command N   the window runs command N as if chosen from its menu
//   click N     the button with control id N of the dialog open on top (the
//               settings dialog, say) is clicked
// Boxes answered so are not shown; each is written to stderr as "box: text".
// Together with TAVRO_LOG_TO_STDERR this is how the end-to-end test runs the
// real program.
#pragma once

#include <QByteArray>
#include <QObject>

namespace tavro {

class CMainDialog;

class Automation : public QObject {
public:
  // Starts reading standard input where TAVRO_AUTOMATION is set; the object
  // belongs to the window.
  static void AttachIfAsked(CMainDialog& window);

private:
  explicit Automation(CMainDialog& window);
  void ReadInput();
  void Run(const QByteArray& line);
  void Click(int id);

  CMainDialog& Window;
  QByteArray Pending;
};

}  // namespace tavro
