#include "ui/CAboutDialog.h"

#include "ui/WebPages.h"

#include <QLabel>

namespace tavro {

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setModal(true);
  Builder.Build(this, IDD, [this](int id) { OnCommand(id); });
}

void CAboutDialog::setVisible(bool visible) {
  if (visible && !isVisible()) {
    Builder.Control<QLabel>(IDC_VERSION)->setText(VersionString);
  }
  QDialog::setVisible(visible);
}

void CAboutDialog::OnCommand(int id) {
  switch (id) {
    case 1:
      accept();
      break;
    case 2:
      reject();
      break;
    case IDC_FERNO:
      // The site opens beside the dialog, which stays for another look.
      WebPages::Open(ProjectPageUrl());
      break;
    default:
      break;
  }
}

}  // namespace tavro
