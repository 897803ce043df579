#include "ui/MessageBoxes.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

#include <deque>

namespace tavro {
namespace {

struct Advance {
  bool On = false;
  std::deque<int> Answers;
  QList<MessageBoxes::Record> Shown;
};

// Boxes are shown on the GUI thread only, so the seam needs no lock.
Advance& Seam() {
  static Advance seam;
  return seam;
}

QMessageBox::Icon IconOf(unsigned style) {
  switch (style & 0xF0) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

}  // namespace

int MessageBoxes::Show(QWidget* owner, const QString& text, unsigned style) {
  const QString caption = QCoreApplication::applicationName();
  Advance& seam = Seam();
  if (seam.On) {
    seam.Shown.append({owner, caption, text, style});
    if (seam.Answers.empty()) {
      return 0;
    }
    const int answer = seam.Answers.front();
    seam.Answers.pop_front();
    return answer;
  }

  QMessageBox box(IconOf(style), caption, text, QMessageBox::NoButton, owner);
  box.setTextFormat(Qt::PlainText);
  QList<std::pair<QAbstractButton*, int>> buttons;
  auto add = [&](QMessageBox::StandardButton button, int answer) {
    buttons.append({box.addButton(button), answer});
  };
  int escape = IDOK;
  switch (style & 0xF) {
    case MB_OKCANCEL:
      add(QMessageBox::Ok, IDOK);
      add(QMessageBox::Cancel, IDCANCEL);
      escape = IDCANCEL;
      break;
    case MB_YESNOCANCEL:
      add(QMessageBox::Yes, IDYES);
      add(QMessageBox::No, IDNO);
      add(QMessageBox::Cancel, IDCANCEL);
      escape = IDCANCEL;
      break;
    case MB_YESNO:
      add(QMessageBox::Yes, IDYES);
      add(QMessageBox::No, IDNO);
      escape = IDNO;
      break;
    default:
      add(QMessageBox::Ok, IDOK);
      break;
  }
  box.exec();
  for (const auto& [button, answer] : buttons) {
    if (box.clickedButton() == button) {
      return answer;
    }
  }
  return escape;
}

void MessageBoxes::AnswerInAdvance(bool on) {
  Advance& seam = Seam();
  seam.On = on;
  seam.Answers.clear();
  seam.Shown.clear();
}

void MessageBoxes::SetNextAnswer(int answer) {
  Seam().On = true;
  Seam().Answers.push_back(answer);
}

QList<MessageBoxes::Record> MessageBoxes::TakeShown() {
  QList<Record> shown;
  shown.swap(Seam().Shown);
  return shown;
}

int MessageBoxes::PendingAnswers() {
  return int(Seam().Answers.size());
}

}  // namespace tavro
