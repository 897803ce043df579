// The version dialog: the version line, the maker's notice and a button that
// opens the project's web site while the dialog stays open.
#pragma once

#include "ui/DialogBuilder.h"
#include "ui/ResourceIds.h"

#include <QDialog>
#include <QString>

namespace tavro {

class CAboutDialog : public QDialog {
  Q_OBJECT

public:
  explicit CAboutDialog(QWidget* parent = nullptr);

  // The whole version line, "Tavro version 1.21"; shown as it stands, so an
  // empty one leaves the line empty.
  QString VersionString;

  const DialogBuilder& Ui() const { return Builder; }

  // Each opening shows the VersionString of that moment.
  void setVisible(bool visible) override;

private:
  void OnCommand(int id);

  DialogBuilder Builder;
};

}  // namespace tavro
