// The open and save file dialogs, behind a seam that tests answer in advance.
#pragma once

#include <QList>
#include <QString>
#include <QWidget>

#include <optional>

namespace tavro {

struct FileDialogRequest {
  enum class Kind { Open, Save };
  Kind Type = Kind::Open;
  QWidget* Owner = nullptr;
  QString InitialName;    // file name the dialog starts with
  QString DefaultSuffix;  // appended to a name typed without one ("txt")
  QStringList Filters;    // "TXT (*.txt)"; empty: every file
  bool ConfirmOverwrite = false;
};

class FileDialogs {
public:
  // The chosen path, or nothing when the user cancelled.
  static std::optional<QString> Open(const FileDialogRequest& request);
  static std::optional<QString> Save(const FileDialogRequest& request);

  // Test seam: once an answer is queued no dialog is shown; each call takes
  // the next answer (a path, or nullopt for Cancel) and is recorded. A call
  // with the queue empty is recorded and answers Cancel.
  static void AnswerInAdvance(bool on);
  static void SetNextAnswer(std::optional<QString> path);
  static QList<FileDialogRequest> TakeShown();
};

}  // namespace tavro
