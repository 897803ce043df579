// The settings dialog: edits a copy of the whole settings record.
//
// The main window hands it the record before each opening and takes the
// record back only when the dialog closed with OK, so Cancel leaves the
// program's settings exactly as they were. Texts move between the fields and
// the controls only at the data exchanges (opening, OK, the browse buttons),
// and every browse first takes in what was typed, so nothing typed is lost.
#pragma once

#include "settings/Settings.h"
#include "ui/DialogBuilder.h"
#include "ui/ResourceIds.h"

#include <QDialog>

#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;

namespace tavro {

// The account the FTP browser opens with and, when it closes with Open, the
// account as the user left it there and the remote path chosen.
struct FtpAccount {
  std::string Server;
  std::string User;
  std::string Password;
};
struct FtpBrowseResult {
  FtpAccount Account;
  std::string Path;
};

// Runs the FTP browser modally over `owner`; nothing when it was cancelled.
using FtpBrowserOpener =
    std::function<std::optional<FtpBrowseResult>(QWidget* owner, const FtpAccount& account)>;

class CSettingsDialog : public QDialog {
  Q_OBJECT

public:
  explicit CSettingsDialog(QWidget* parent = nullptr);

  // The fields the dialog edits. Set them before each opening; read them
  // back only after the dialog was accepted.
  void SetSettings(const Settings& settings) { Fields = settings; }
  const Settings& GetSettings() const { return Fields; }

  // Sets the record, runs the dialog modally and returns the edited record
  // when it closed with OK; nothing otherwise.
  std::optional<Settings> Edit(const Settings& settings);

  // How the remote browse button reaches the FTP browser. Without one the
  // button changes nothing.
  void SetFtpBrowserOpener(FtpBrowserOpener opener) { OpenFtpBrowser = std::move(opener); }

  const DialogBuilder& Ui() const { return Builder; }

  // Opening a dialog that is already built starts it from the current fields.
  void setVisible(bool visible) override;

public slots:
  // OK: takes the controls in and closes only when the record would load back
  // as typed; otherwise names the field and stays open.
  void accept() override;

private:
  void OnCommand(int id);
  void InitDialog();
  // true: fields into controls; false: controls into fields.
  void Exchange(bool toControls);
  void ApplyIpGetOnly();
  void BrowseLocalFile(std::string Settings::*field);
  void BrowseRemoteFile();

  DialogBuilder Builder;
  Settings Fields;
  FtpBrowserOpener OpenFtpBrowser;
  QCheckBox* IpGetOnlyBox = nullptr;
  QComboBox* SleepList = nullptr;
  QCheckBox* CreateWwwOpenBox = nullptr;
  QComboBox* IpModeList = nullptr;
};

}  // namespace tavro
