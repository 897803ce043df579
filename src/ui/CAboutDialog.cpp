#include "ui/CAboutDialog.h"

#include "ui/WebPages.h"

#include <QLabel>

namespace tavro {

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setModal(true);
  Builder.Build(this, IDD_ABOUT, [this](int id) { OnCommand(id); });
}

void CAboutDialog::setVisible(bool visible) {
  if (visible && !isVisible()) {
    Builder.Control<QLabel>(IDC_VERSION)->setText(VersionString);
  }
  QDialog::setVisible(visible);
}

void CAboutDialog::OnCommand(int id) {
  switch (id) {
    case IDOK:
      accept();
      break;
    case IDCANCEL:
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
