// The main window: both addresses, the message log, the menu bar and the tray
// icon. It owns the settings, the log and the two workers, starts them, turns
// their reports into what the user sees, publishes the page when the address
// changes, and on every way out asks whether to take the page offline first.
#pragma once

#include "platform/ReportSink.h"
#include "platform/Timeouts.h"
#include "probe/CTraceThread.h"
#include "publish/CFtpThread.h"
#include "registry/RegistryStore.h"
#include "settings/Settings.h"
#include "ui/DialogBuilder.h"
#include "ui/GuiReportSink.h"
#include "ui/MessageLog.h"

#include <QDialog>
#include <QHash>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QSessionManager;
class QLineEdit;

namespace tavro {

class CSettingsDialog;

// What a test changes about the window; the program uses the defaults.
struct MainDialogOptions {
  std::unique_ptr<IRegistryStore> Store;  // nullptr: the user's settings file
  bool StartWorkers = true;               // false: handlers are driven by hand
  SmtpTimeouts Smtp;
  FtpTimeouts Ftp;
  // Asked at each minimising: whether the desktop has a tray to retreat to.
  std::function<bool()> TrayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
};

// "%d.%d%d" from the version's (major, minor, patch): 1.2.1 gives 1.21.
std::string FormatVersionText(std::uint32_t productVersionMs, std::uint32_t productVersionLs);

class CMainDialog : public QDialog {
  Q_OBJECT

public:
  explicit CMainDialog(MainDialogOptions options = {});
  ~CMainDialog() override;

  // The window's initialisation: tray icon, menus, font, settings, version,
  // workers and the first probe, in that order.
  bool OnInitDialog();
  // Initialises, runs the window until an ending path closes it, returns its
  // result.
  int DoModal();

  // Every command of the menus, by id.
  void OnCommand(int id);
  // The settings command: edits a copy of the settings and, on OK, takes it
  // over, hands it to the trace worker and saves it.
  void EditSettings();
  void CopyAddress();
  void ShowVersion();
  void Publish();
  void Unpublish();
  // Asks, while the page is published, whether to take it offline; false
  // when the user chose Cancel.
  bool ConfirmUnpublish(unsigned style);

  // The ending paths.
  void OnOK();      // command 1: "終了(&X)", the tray's exit, Enter
  void OnCancel();  // command 2: Escape, the close box
  // The session manager asks whether the log-off may go on.
  bool OnQueryEndSession();
  void OnEndSession(bool ending);
  // A signal to end: no question, the page stays as it is.
  void EndWithoutQuestion();

  // Worker reports, on the GUI thread while the worker waits.
  void OnReport(const WorkerReport& report);
  int OnTraceThreadEvent(std::uint32_t code, const std::string* text);
  int OnFtpThreadMessage(std::uint32_t code, const std::string* text);

  MessageLog& Log() { return *MessageList; }
  const DialogBuilder& Ui() const { return Builder; }
  QLineEdit* WanField() const;
  QLineEdit* LanField() const;
  QMenu* GetTrayMenu() const { return TrayMenu; }
  QMenu* GetLogMenu() const { return LogMenu; }
  QSystemTrayIcon* TrayIcon() const { return Tray; }
  CSettingsDialog* GetSettingsDialog() const { return SettingsDialog; }
  const CTraceThread& TraceWorker() const { return TraceThread; }
  bool UpdateItemsEnabled() const;
  bool SettingsWereLoaded() const { return SettingsLoaded; }
  // No settings had been saved before this start: DoModal opens the settings
  // dialog once the window shows.
  bool IsFirstStart() const { return FirstStart; }
  Settings CurrentSettings() const;

  // The settings record, as the window holds it.
  std::string OnlineFile, FtpFile, Password, Server, User, OfflineFile, Trace;
  std::string LastWanAddress;
  std::string LastLanAddress;
  std::string IPMode;
  std::string VersionText;
  std::int32_t Sleep = kSleepNever;
  std::int32_t IsPublished = 0;
  std::int32_t IsCreateWwwOpen = 0;
  std::int32_t IsExiting = 0;
  std::int32_t IsIpGetOnly = 0;

  static const char* const kUnpublishQuestion;
  static const char* const kUnpublishFailed;
  static const char* const kOpenFailed;
  static const char* const kUpdateFinished;
  // Followed by the reported text, bounded: Publish refuses a non-address.
  static const char* const kNotAnAddress;

  void done(int result) override;
  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void SetUpdateItems(bool enabled);
  void StopWorkers();
  void OnDestroy();
  void Restore();
  // One command dialog at a time: while one runs, a second command for a
  // dialog only brings the open one to the front.
  bool RaiseOpenDialog();
  int RunCommandDialog(QDialog& dialog);

  MainDialogOptions Options;
  DialogBuilder Builder;
  std::unique_ptr<MessageLog> MessageList;
  QSystemTrayIcon* Tray = nullptr;
  QMenu* TrayMenu = nullptr;
  QMenu* LogMenu = nullptr;
  QHash<int, QAction*> PopupItems;
  CSettingsDialog* SettingsDialog = nullptr;
  QPointer<QDialog> OpenDialog;
  CFtpThread FtpThread;
  CTraceThread TraceThread;
  std::shared_ptr<GuiReportSink> Sink;
  bool SettingsLoaded = false;
  bool FirstStart = false;
  bool Destroyed = false;
};

}  // namespace tavro
