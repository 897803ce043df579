#include "ui/FileDialogs.h"

#include <QFileDialog>

#include <deque>

namespace tavro {
namespace {

struct Advance {
  bool On = false;
  // A path, or an empty text for Cancel (a dialog never returns an empty
  // path): a plain text keeps the compiler's flow analysis quiet.
  std::deque<QString> Answers;
  QList<FileDialogRequest> Shown;
};

Advance& Seam() {
  static Advance seam;
  return seam;
}

std::optional<QString> Run(FileDialogRequest request) {
  Advance& seam = Seam();
  if (seam.On) {
    seam.Shown.append(request);
    if (seam.Answers.empty()) {
      return std::nullopt;
    }
    const QString answer = seam.Answers.front();
    seam.Answers.pop_front();
    if (answer.isEmpty()) {
      return std::nullopt;
    }
    return answer;
  }
  const bool save = request.Type == FileDialogRequest::Kind::Save;
  QFileDialog dialog(request.Owner);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (!request.Filters.isEmpty()) {
    dialog.setNameFilters(request.Filters);
  }
  dialog.setDefaultSuffix(request.DefaultSuffix);
  if (!request.InitialName.isEmpty()) {
    dialog.selectFile(request.InitialName);
  }
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.ConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return dialog.selectedFiles().constFirst();
}

}  // namespace

std::optional<QString> FileDialogs::Open(const FileDialogRequest& request) {
  FileDialogRequest open = request;
  open.Type = FileDialogRequest::Kind::Open;
  return Run(open);
}

std::optional<QString> FileDialogs::Save(const FileDialogRequest& request) {
  FileDialogRequest save = request;
  save.Type = FileDialogRequest::Kind::Save;
  return Run(save);
}

void FileDialogs::AnswerInAdvance(bool on) {
  Seam().On = on;
  Seam().Answers.clear();
  Seam().Shown.clear();
}

void FileDialogs::SetNextAnswer(std::optional<QString> path) {
  Seam().On = true;
  Seam().Answers.push_back(path.value_or(QString()));
}

QList<FileDialogRequest> FileDialogs::TakeShown() {
  QList<FileDialogRequest> shown;
  shown.swap(Seam().Shown);
  return shown;
}

}  // namespace tavro
