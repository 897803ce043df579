// The FTP browser: a modal dialog in which the user logs on to an FTP server,
// walks its folders, picks the remote file the page is published to, and on
// the way uploads, downloads, renames, deletes and creates entries.
//
// Use:
//   CFtpBrowserDialog browser(server, user, password);
//   if (browser.exec() == QDialog::Accepted) {        // IDOK: Open
//     server = browser.GetServer(); ...               // the edits as they stood
//     ftpFile = browser.ResultPath();                 // directory + "/" + name
//   }
//
// All server work runs on the dialog's own CFtpThread; the dialog only queues
// requests and reacts to the worker's reports, and never waits for it. On
// Open and Cancel the worker is told to stop and its reports are cut off, so
// a transfer still running finishes (or fails) on its own without reporting
// to a dialog that has gone; a connection still open is not disconnected.
#pragma once

#include "platform/ReportSink.h"
#include "platform/Timeouts.h"
#include "publish/CFtpThread.h"
#include "ui/DialogBuilder.h"
#include "ui/ResourceIds.h"

#include <QDialog>
#include <QHash>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

class QMenu;

namespace tavro {

class CRemoteFileList;
class BrowserReportSink;

class CFtpBrowserDialog : public QDialog {
  Q_OBJECT

public:
  explicit CFtpBrowserDialog(QWidget* parent = nullptr);
  CFtpBrowserDialog(const QString& server, const QString& user, const QString& password,
                    QWidget* parent = nullptr);
  ~CFtpBrowserDialog() override;

  // Before the dialog is shown. The start directory cannot be preset.
  void SetServer(const QString& text);
  void SetUser(const QString& text);
  void SetPassword(const QString& text);
  // After Open: the texts of the three edits as the dialog closed, and the
  // chosen path (always directory + "/" + file name).
  QString GetServer() const { return Server; }
  QString GetUser() const { return User; }
  QString GetPassword() const { return Password; }
  QString ResultPath() const { return ChosenPath; }
  QString GetResultPath() const { return ChosenPath; }

  // Before the dialog is shown; tests use short ones.
  void SetFtpTimeouts(FtpTimeouts timeouts);

  // For tests and the caller's inspection.
  const DialogBuilder& Controls() const { return Ui; }
  CRemoteFileList* FileList() const { return List; }
  QMenu* ContextMenu() const { return Menu; }
  QAction* ContextMenuItem(int id) const { return MenuItems.value(id); }
  const CFtpThread& Worker() const { return *Ftp; }
  bool IsConnected() const;
  // The command ids as the buttons, menu and list send them.
  void OnCommand(int id);
  // Shows the context menu at a screen position, as a right click or the
  // menu key asks for; only while the list has the keyboard focus. True where
  // it was shown.
  bool OnContextMenu(const QPoint& screenPos);

signals:
  // The worker has finished a listing, with or without success, and the
  // folder it lists is shown.
  void ListingDone();

protected:
  void showEvent(QShowEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void done(int result) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Initialize();
  void OnReport(const WorkerReport& report);
  void ShowBrowsingView(bool browsing);
  void ShowLoggedOff();
  void Navigate(const QString& path);
  void GoUp();
  // The root has no parent: Up is greyed there, on the button and in the menu.
  bool AtRoot() const;
  void UpdateUpButton();
  void GoDown();
  void StartLabelEdit(int command);
  void OnLabelEditEnded(int row, const QString& text);
  void OnListClicked();
  void OnListDoubleClicked();
  void Download();
  void Upload();
  void Delete();
  // Open's check of the file-name field: empty where the name may be taken,
  // else what is wrong with it, as the box tells the user.
  QString ProblemWithChosenName(const QString& name) const;
  void Open();
  void AddStatus(const QString& text);
  // A row change waits for its command's result; results come in the order
  // the commands were queued, so each takes the oldest change of its code.
  struct RowChange {
    std::uint32_t Code = 0;  // FTPCMD_DELETE, _RMDIR, _RENAME or _MKDIR
    QString Name;            // the row's name when queued ("" for a new folder)
    QString NewName;         // rename and new folder
  };
  std::optional<RowChange> TakeRowChange(std::uint32_t code);
  int RowNamed(const QString& name) const;
  QString Directory() const;
  std::string Bytes(const QString& text) const { return text.toStdString(); }

  DialogBuilder Ui;
  CRemoteFileList* List = nullptr;
  QMenu* Menu = nullptr;
  QHash<int, QAction*> MenuItems;
  std::unique_ptr<CFtpThread> Ftp;
  std::shared_ptr<BrowserReportSink> Sink;
  FtpTimeouts Timeouts;
  bool Initialized = false;

  QString Server;
  QString User;
  QString Password;
  QString StartDirectory;
  int PendingEdit = 0;  // the command the open label edit is for
  // By name, not by row: a row removed before another result comes moves
  // the rows below it.
  std::deque<RowChange> PendingRows;
  QString ChosenPath;  // ResultPath: empty until Open
};

}  // namespace tavro
