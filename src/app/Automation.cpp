#include "app/Automation.h"

#include "app/CMainDialog.h"
#include "ui/DialogBuilder.h"
#include "ui/MessageBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>
#include <cstdio>

namespace tavro {

void Automation::AttachIfAsked(CMainDialog& window) {
  if (qEnvironmentVariableIsSet("TAVRO_AUTOMATION")) {
    new Automation(window);
  }
}

Automation::Automation(CMainDialog& window) : QObject(&window), Window(window) {
  MessageBoxes::AnswerInAdvance(true);
  auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      notifier->setEnabled(false);  // end of input: nothing more to do
      return;
    }
    Pending.append(buffer, n);
    ReadInput();
  });
}

void Automation::ReadInput() {
  const qsizetype end = Pending.indexOf('\n');
  if (end < 0) {
    return;
  }
  const QByteArray line = Pending.left(end).trimmed();
  Pending.remove(0, end + 1);
  // A line that opens a dialog returns only once it closes; the next line is
  // meant for that dialog, so it runs from the dialog's own event loop.
  if (Pending.contains('\n')) {
    QTimer::singleShot(0, this, [this] { ReadInput(); });
  }
  Run(line);
}

void Automation::Run(const QByteArray& line) {
  const QList<QByteArray> words = line.split(' ');
  bool ok = false;
  const int value = words.size() == 2 ? words[1].toInt(&ok) : 0;
  if (!ok) {
    std::fprintf(stderr, "automation: cannot read \"%s\"\n", line.constData());
  } else if (words[0] == "answer") {
    MessageBoxes::SetNextAnswer(value);
  } else if (words[0] == "command") {
    Window.OnCommand(value);
  } else if (words[0] == "click") {
    Click(value);
  } else {
    std::fprintf(stderr, "automation: unknown \"%s\"\n", line.constData());
  }
  for (const MessageBoxes::Record& box : MessageBoxes::TakeShown()) {
    std::fprintf(stderr, "box: %s\n", box.Text.toUtf8().constData());
  }
  std::fflush(stderr);
}

void Automation::Click(int id) {
  QWidget* top = QApplication::activeModalWidget();
  if (top == nullptr) {
    top = &Window;
  }
  for (QAbstractButton* button : top->findChildren<QAbstractButton*>()) {
    if (button->property(kControlIdProperty).toInt() == id) {
      // A button that opens a dialog returns only once that has closed; the
      // lines read meanwhile are carried out in the dialog.
      button->click();
      return;
    }
  }
  std::fprintf(stderr, "automation: no button %d in \"%s\"\n", id,
               top->windowTitle().toUtf8().constData());
}

}  // namespace tavro
