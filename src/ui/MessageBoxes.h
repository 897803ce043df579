// Message boxes, behind a seam that tests answer in advance.
//
// Every box is owned by a window and carries the application's name (the
// executable's base name) as its caption. Styles and answers use the values
// the windows were written with, so a handler reads as its description does:
// Show(this, text, MB_YESNOCANCEL | MB_ICONINFORMATION) == IDYES.
#pragma once

#include "ui/ResourceIds.h"

#include <QList>
#include <QString>
#include <QWidget>

namespace tavro {

inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;

// OK and Cancel answer as the dialogs' own buttons do, IDOK and IDCANCEL;
// Yes and No only a box offers.
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

class MessageBoxes {
public:
  // What a box showed, kept while answers are given in advance.
  struct Record {
    QWidget* Owner = nullptr;
    QString Caption;
    QString Text;
    unsigned Style = 0;
  };

  // Shows a modal box owned by `owner` and returns the button chosen (IDOK,
  // IDCANCEL, IDYES, IDNO); closing it with Escape or its close box counts as
  // Cancel, or as No where there is no Cancel, or as OK where there is only OK.
  static int Show(QWidget* owner, const QString& text, unsigned style = MB_OK);

  // Test seam. Once answering in advance is on, no box is shown: each Show
  // takes the next queued answer and is recorded. A Show with the queue empty
  // returns 0 and is recorded too, so a test sees a box it did not expect
  // instead of hanging on it.
  static void AnswerInAdvance(bool on);
  static void SetNextAnswer(int answer);
  static QList<Record> TakeShown();
  static int PendingAnswers();
};

}  // namespace tavro
