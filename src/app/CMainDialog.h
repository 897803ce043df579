// The main window: both addresses, the message log, the menu bar and the tray
// icon. It owns the settings, the log and the two workers, starts them, turns
// their reports into what the user sees, publishes the page when the address
// changes, and on every way out asks whether to take the page offline first.
#pragma once

#include "platform/ReportSink.h"
#include "platform/Timeouts.h"
#include "probe/CTraceThread.h"
#include "publish/CFtpThread.h"
#include "publish/PageGenerator.h"
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

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QSessionManager;
class QTimer;
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
  // A page that did not reach the server is sent again after RetryFirst (a
  // little more, at random, so that many PCs behind one failed server do not
  // come back at the same moment), each further wait twice the one before, up
  // to RetryLimit.
  std::chrono::milliseconds RetryFirst{24000};
  std::chrono::milliseconds RetryLimit{15 * 60 * 1000};
  // Where the tray's balloon goes; empty: the tray icon's own.
  std::function<void(const QString&)> TrayMessage;
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
  QLineEdit* Ipv6Field() const;
  QMenu* GetTrayMenu() const { return TrayMenu; }
  QMenu* GetLogMenu() const { return LogMenu; }
  QSystemTrayIcon* TrayIcon() const { return Tray; }
  CSettingsDialog* GetSettingsDialog();
  const CTraceThread& TraceWorker() const { return TraceThread; }
  bool UpdateItemsEnabled() const;
  bool SettingsWereLoaded() const { return SettingsLoaded; }
  // No settings had been saved before this start: DoModal opens the settings
  // dialog once the window shows.
  bool IsFirstStart() const { return FirstStart; }
  // The settings as the window holds them, one record.
  const Settings& CurrentSettings() const { return Record; }
  // Takes over a whole record as the settings command's OK does: the trace
  // worker gets its part, the record is saved, and a published page follows
  // a switch of the mode.
  void ApplySettings(const Settings& settings);

  std::string LastWanAddress;
  std::string LastLanAddress;
  // The PC's stable global IPv6 address as last read; empty: it has none.
  std::string LastIpv6Address;
  std::string VersionText;
  std::int32_t IsPublished = 0;
  std::int32_t IsExiting = 0;

  static const char* const kUnpublishQuestion;
  static const char* const kUnpublishFailed;
  static const char* const kOpenFailed;
  static const char* const kUpdateFinished;
  // Followed by the reported text, bounded: Publish refuses a non-address.
  static const char* const kNotAnAddress;
  // Followed by the wait in seconds and kRetryAfterEnd.
  static const char* const kRetryAfter;
  static const char* const kRetryAfterEnd;
  static const char* const kTrayNotUpdated;
  static const char* const kTrayUpdated;
  static const char* const kIpv6Changed;
  // The page's IPv6 placeholders were emptied: the PC has no such address.
  static const char* const kNoIpv6Address;

  // A failed page waits for its next attempt.
  bool IsRetryPending() const;
  // Page uploads handed to the FTP worker whose sequence has not ended.
  std::size_t PagesUnderWay() const { return PageSequences.size(); }

  void done(int result) override;
  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void SetUpdateItems(bool enabled);
  // The upload of one page, as the FTP worker carries it out in order.
  void QueuePageUpload(const std::string& localFile, bool offline);
  // What the user last asked the server to show changes: a retry of an
  // older page is dropped and the waits start again.
  void SupersedeRetry();
  // A finished sequence (its disconnect reported): retried where its page
  // is still the one wanted and did not arrive.
  void OnPageSequenceEnded();
  void RetryPage();
  void TrayNotice(const char* text);
  // The online page for the address of the current mode, generated; none
  // (and the reason logged) where there is nothing that may be sent.
  std::optional<GeneratedPage> MakeOnlinePage(bool& addressEmpty);
  void PublishPage(const GeneratedPage& page, bool addressEmpty);
  // At the end of a run's addresses: the IPv6 address changed and nothing
  // published it yet. Published as a WAN change is, and only where the
  // template shows the address.
  void PublishIpv6Change();
  void StopWorkers();
  void OnDestroy();
  void Restore();
  // One command dialog at a time: while one runs, a second command for a
  // dialog only brings the open one to the front.
  bool RaiseOpenDialog();
  int RunCommandDialog(QDialog& dialog);

  MainDialogOptions Options;
  Settings Record;
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

  // One entry per page sequence queued to the FTP worker, oldest first.
  struct PageSequence {
    std::uint64_t Generation = 0;
    bool Offline = false;
    bool Connected = false;  // its connect has reported, whatever the outcome
    bool Uploaded = false;
  };
  std::deque<PageSequence> PageSequences;
  // Counts what the user asked the server to show; a sequence of an older
  // count is never retried.
  std::uint64_t PageGeneration = 0;
  QTimer* RetryTimer = nullptr;
  std::chrono::milliseconds RetryWait{0};  // 0: nothing failed since the last page arrived
  bool RetryOffline = false;
  bool TrayToldFailure = false;
  // The last shared or private WAN address the tray warned of, so that it
  // says so once per address, not at every probe.
  std::string TrayWarnedAddress;
  // The mode was switched while published: the next address of the new mode
  // is published even where it did not change.
  bool PublishNextAddress = false;
  // The IPv6 address of the running probe changed; its LAN or WAN address,
  // which follows, decides whether that still needs an upload of its own.
  bool Ipv6PublishPending = false;
};

}  // namespace tavro
