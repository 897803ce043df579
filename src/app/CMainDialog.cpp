#include "app/CMainDialog.h"

#include "platform/CauseLine.h"
#include "platform/LeftoverSweep.h"
#include "platform/PublishableAddress.h"
#include "probe/AddressProbe.h"
#include "probe/WanSources.h"
#include "publish/ImmediateUnpublish.h"
#include "publish/PageGenerator.h"
#include "ui/CAboutDialog.h"
#include "ui/CSettingsDialog.h"
#include "ui/Fonts.h"
#include "ui/Icons.h"
#include "ui/MessageBoxes.h"
#include "ui/ResourceIds.h"
#include "ui/WebPages.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace tavro {

const char* const CMainDialog::kUnpublishQuestion =
    "現在の設定は公開状態になっていますが\n設定を非公開状態にしますか";
const char* const CMainDialog::kUnpublishFailed = "非公開設定にできませんでした。";
const char* const CMainDialog::kOpenFailed = "Err:ファイルを開くのに失敗しました。:";
const char* const CMainDialog::kUpdateFinished = "Msg: 更新作業が終了しました。";
const char* const CMainDialog::kNotAnAddress = "Err: 公開できるIPアドレスではありません: ";
const char* const CMainDialog::kRetryAfter = "Msg: ページを更新できませんでした。";
const char* const CMainDialog::kRetryAfterEnd = " 秒後にもう一度送ります。";
const char* const CMainDialog::kTrayNotUpdated =
    "ページを更新できませんでした。サーバーに届くまで送り直します。";
const char* const CMainDialog::kTrayUpdated = "ページを更新しました。";
const char* const CMainDialog::kIpv6Changed = "Msg: IPv6アドレスに変更がありました。";
const char* const CMainDialog::kNoIpv6Address =
    "Msg: グローバルIPv6アドレスがないため、%%IPV6%%を空にしました。";

namespace {

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

}  // namespace

std::string FormatVersionText(std::uint32_t productVersionMs, std::uint32_t productVersionLs) {
  char text[40];
  std::snprintf(text, sizeof text, "%d.%d%d", int(productVersionMs >> 16),
                int(productVersionMs & 0xFF), int(productVersionLs >> 16));
  return text;
}

CMainDialog::CMainDialog(MainDialogOptions options) : Options(std::move(options)) {
  if (!Options.Store) {
    Options.Store = MakeRegistryStore();
  }
  Builder.Build(this, IDD_MAIN, [this](int id) { OnCommand(id); });
  MessageList = std::make_unique<MessageLog>(this, Builder.Control<QListWidget>(IDC_LOG));
  setWindowIcon(LoadIconResource(IDI_APP));
  RetryTimer = new QTimer(this);
  RetryTimer->setSingleShot(true);
  connect(RetryTimer, &QTimer::timeout, this, [this] { RetryPage(); });
  // Every report of both workers reaches the window through this one sink,
  // which the window closes before anything of it goes away.
  Sink = GuiReportSink::Create(this, [this](const WorkerReport& report) { OnReport(report); });
}

CMainDialog::~CMainDialog() {
  Sink->Close();
  OnDestroy();
}

CSettingsDialog* CMainDialog::GetSettingsDialog() {
  // Made at its first use, not at start-up (most starts never open it), and
  // kept for the window's life; each opening starts from the record handed in.
  if (!SettingsDialog) {
    SettingsDialog = new CSettingsDialog(this);
  }
  return SettingsDialog;
}

QLineEdit* CMainDialog::WanField() const {
  return Builder.Control<QLineEdit>(IDC_WAN_ADDRESS);
}
QLineEdit* CMainDialog::LanField() const {
  return Builder.Control<QLineEdit>(IDC_LAN_ADDRESS);
}
QLineEdit* CMainDialog::Ipv6Field() const {
  return Builder.Control<QLineEdit>(IDC_IPV6_ADDRESS);
}

namespace {

// A save writes every value; a store that never saw one has no server value
// (loading writes only the key's description).
bool HasSavedSettings(IRegistryStore& store) {
  auto key = store.CreateKey(kRegistryKeyPath);
  if (!key) {
    return true;  // unreadable now: nothing to say it is a first start
  }
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  const bool found = key->QueryValue("Server", type, nullptr, size) != RegResult::NotFound;
  key->Close();
  return found;
}

}  // namespace

bool CMainDialog::OnInitDialog() {
  // 1-2: the controls are bound by the builder; the window's icon.
  setWindowIcon(LoadIconResource(IDI_APP));

  // 3: the tray icon, tool tip "Tavro". A desktop without a tray simply has
  // none; the program runs on without it.
  Tray = new QSystemTrayIcon(LoadIconResource(IDI_APP), this);
  Tray->setToolTip(QStringLiteral("Tavro"));
  connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::DoubleClick) {
      Restore();
    }
  });

  // 4-5: the popup menus, built once and kept.
  auto handler = [this](int id) { OnCommand(id); };
  TrayMenu = BuildPopupMenu(this,
                            {{MenuEntry::Type::Item, IDM_VIEW, QStringLiteral("表示(&V)"), {}},
                             {MenuEntry::Type::Separator, 0, {}, {}},
                             {MenuEntry::Type::Item, IDM_EXIT, QStringLiteral("終了(&X)"), {}}},
                            PopupItems, handler);
  LogMenu =
      BuildPopupMenu(this,
                     {{MenuEntry::Type::Item, IDM_WRITELOG, QStringLiteral("ログの書き出し"), {}},
                      {MenuEntry::Type::Separator, 0, {}, {}},
                      {MenuEntry::Type::Item, IDM_CANSEL, QStringLiteral("キャンセル"), {}}},
                     PopupItems, handler);
  Tray->setContextMenu(TrayMenu);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    Tray->show();
  }

  // 6: the address font, by cell height 16, on the LAN field and then the WAN
  // field.
  const QFont addressFont = FontByCellHeight(QString::fromUtf8(kFixedFace), 16);
  LanField()->setFont(addressFont);
  WanField()->setFont(addressFont);
  Ipv6Field()->setFont(addressFont);

  // 7: the settings, and the published state from the start-up switch.
  Settings settings;
  std::vector<SettingsFallback> fallbacks;
  SettingsLoaded = LoadSettings(*Options.Store, settings, fallbacks);
  for (const auto& fallback : fallbacks) {
    MessageList->AddMessage(FallbackLogLine(fallback));
  }
  FirstStart = SettingsLoaded && !HasSavedSettings(*Options.Store);
  Record = settings;
  IsPublished = Record.IsCreateWwwOpen;
  SweepStartupLeftovers(Options.Store->FilePath(), {Record.OnlineFile, Record.OfflineFile},
                        std::chrono::system_clock::now());

  // 8: the version text.
  VersionText = FormatVersionText((TAVRO_VERSION_MAJOR << 16) | TAVRO_VERSION_MINOR,
                                  (TAVRO_VERSION_PATCH << 16) | TAVRO_VERSION_TWEAK);

  // 9-11: the FTP worker, the trace worker with its copies of the settings,
  // and the first probe at once.
  FtpThread.SetTimeouts(Options.Ftp);
  FtpThread.SetOwner(Sink);
  TraceThread.SetTimeouts(Options.Smtp);
  TraceThread.SetMailServer(Record.Trace);
  TraceThread.SetInterval(std::uint32_t(Record.Sleep));
  TraceThread.SetMode(Record.IPMode);
  TraceThread.SetOwner(Sink);
  if (Options.StartWorkers) {
    FtpThread.Start();
    TraceThread.Start();
    TraceThread.RequestProbe();
  }
  return true;
}

int CMainDialog::DoModal() {
  OnInitDialog();
  // Not QDialog::exec: that returns as soon as the window is hidden, and
  // this window hides into the tray. For the same reason the program ends
  // with this window only, never because the last visible window closed.
  QApplication::setQuitOnLastWindowClosed(false);
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  show();
  if (FirstStart) {
    // Nothing is set up yet: the user is asked for the settings at once,
    // over the window that has just appeared.
    QTimer::singleShot(0, this, [this] { OnCommand(IDM_SETTING); });
  }
  loop.exec();
  return result();
}

void CMainDialog::OnCommand(int id) {
  switch (id) {
    case IDOK:
    case IDM_EXIT:
      OnOK();
      break;
    case IDM_PUBLISH:
      Publish();
      break;
    case IDM_UNPUBLISH:
      Unpublish();
      break;
    case IDM_UPDATE:
      TraceThread.RequestProbe();
      break;
    case IDM_VIEW:
      Restore();
      break;
    case IDM_SETTING:
      EditSettings();
      break;
    case IDM_COPY:
      CopyAddress();
      break;
    case IDM_HELP:
      WebPages::Open(HelpPageUrl());
      break;
    case IDM_PROJECT:
      WebPages::Open(ProjectPageUrl());
      break;
    case IDM_VERSION:
      ShowVersion();
      break;
    case IDM_WRITELOG:
      MessageList->WriteLog();
      break;
    default:
      // IDM_CANSEL only closes its menu.
      break;
  }
}

void CMainDialog::Restore() {
  showNormal();
  raise();
  activateWindow();
}

bool CMainDialog::RaiseOpenDialog() {
  if (!OpenDialog) {
    return false;
  }
  OpenDialog->raise();
  OpenDialog->activateWindow();
  return true;
}

int CMainDialog::RunCommandDialog(QDialog& dialog) {
  OpenDialog = &dialog;
  const int result = dialog.exec();
  OpenDialog = nullptr;
  return result;
}

void CMainDialog::EditSettings() {
  if (RaiseOpenDialog()) {
    return;
  }
  CSettingsDialog* dialog = GetSettingsDialog();
  dialog->SetSettings(Record);
  if (RunCommandDialog(*dialog) != QDialog::Accepted) {
    return;
  }
  ApplySettings(dialog->GetSettings());
}

void CMainDialog::ApplySettings(const Settings& edited) {
  const bool modeChanged = edited.IPMode != Record.IPMode;
  Record = edited;
  // The worker takes these under its own lock at the start of each run, so a
  // probe already running finishes with the values it started with.
  TraceThread.SetMailServer(Record.Trace);
  TraceThread.SetMode(Record.IPMode);
  if (TraceThread.Interval() != std::uint32_t(Record.Sleep)) {
    // A probe at once, so the new interval counts from now.
    TraceThread.SetInterval(std::uint32_t(Record.Sleep));
    TraceThread.RequestProbe();
  }
  // Publish sequences already queued keep the account and files they were
  // queued with; the new ones apply from the next publish.
  SaveSettings(*Options.Store, Record);
  if (IsPublished == 1 && Record.IsIpGetOnly == 0 && modeChanged) {
    // The page shows the other mode's address: the new one replaces it as
    // soon as it is known.
    const std::string& known = Record.IPMode == "WAN" ? LastWanAddress : LastLanAddress;
    if (!known.empty()) {
      Publish();
    } else {
      SupersedeRetry();
      PublishNextAddress = true;
      TraceThread.RequestProbe();
    }
  } else if (IsRetryPending()) {
    // The fault may have been in the settings (a password, say): the page
    // goes again at once with the new ones.
    RetryTimer->stop();
    RetryWait = std::chrono::milliseconds(0);
    if (RetryOffline) {
      SupersedeRetry();
      QueuePageUpload(Record.OfflineFile, true);
    } else if (IsPublished == 1 && Record.IsIpGetOnly == 0) {
      Publish();
    }
  }
}

void CMainDialog::CopyAddress() {
  QLineEdit* field = Record.IPMode == "WAN" ? WanField() : LanField();
  // The selection stays, so the user sees what went to the clipboard. An
  // empty field copies nothing and the clipboard keeps what it held.
  field->selectAll();
  field->copy();
}

void CMainDialog::ShowVersion() {
  if (RaiseOpenDialog()) {
    return;
  }
  // No owner: the dialog stands on its own, as the tray's windows do.
  CAboutDialog about;
  about.VersionString = QStringLiteral("Tavro version ") + Text(VersionText);
  RunCommandDialog(about);
}

void CMainDialog::SetUpdateItems(bool enabled) {
  for (int id : {IDM_PUBLISH, IDM_UNPUBLISH, IDM_UPDATE}) {
    Builder.MenuItem(id)->setEnabled(enabled);
  }
}

bool CMainDialog::UpdateItemsEnabled() const {
  const bool publish = Builder.MenuItem(IDM_PUBLISH)->isEnabled();
  // The three are only ever switched together.
  Q_ASSERT(publish == Builder.MenuItem(IDM_UNPUBLISH)->isEnabled() &&
           publish == Builder.MenuItem(IDM_UPDATE)->isEnabled());
  return publish;
}

std::optional<GeneratedPage> CMainDialog::MakeOnlinePage(bool& addressEmpty) {
  const std::string reported = Record.IPMode == "WAN" ? LastWanAddress : LastLanAddress;
  // What a mail server echoed is shown as it came, but only an address goes
  // onto the public page; anything else is refused before anything changes.
  std::string address;
  if (!reported.empty()) {
    const auto checked = PublishableAddress(reported);
    if (!checked) {
      MessageList->AddMessage(QString::fromUtf8(kNotAnAddress) + Text(BoundedCause(reported)));
      return std::nullopt;
    }
    address = *checked;
  }
  addressEmpty = address.empty();
  auto page = GeneratePage(Record.OnlineFile, address, LastIpv6Address);
  if (!page) {
    MessageList->AddMessage(QString::fromUtf8(kOpenFailed) + Text(Record.OnlineFile));
  } else if (page->Ipv6Placeholders > 0 && LastIpv6Address.empty()) {
    MessageList->AddMessage(QString::fromUtf8(kNoIpv6Address));
  }
  return page;
}

void CMainDialog::Publish() {
  // A page that cannot be made changes nothing: the window does not claim
  // a published page that never went out.
  bool addressEmpty = false;
  if (const auto page = MakeOnlinePage(addressEmpty)) {
    PublishPage(*page, addressEmpty);
  }
}

void CMainDialog::PublishIpv6Change() {
  if (!std::exchange(Ipv6PublishPending, false) || IsPublished != 1 ||
      Record.IsCreateWwwOpen != 1 || Record.IsIpGetOnly != 0) {
    return;
  }
  bool addressEmpty = false;
  const auto page = MakeOnlinePage(addressEmpty);
  // A template without the placeholder makes the same page as before: no
  // upload for an address nobody sees.
  if (page && page->Ipv6Placeholders > 0) {
    PublishPage(*page, addressEmpty);
  }
}

void CMainDialog::PublishPage(const GeneratedPage& page, bool addressEmpty) {
  // Whatever the reason for this page, it holds the IPv6 address as it is.
  Ipv6PublishPending = false;
  if (addressEmpty) {
    // Published all the same, with the placeholders emptied: the probe's
    // answer is a change and publishes again.
    TraceThread.RequestProbe();
  }
  IsPublished = 1;
  setWindowTitle(QStringLiteral("Tavro - 公開中"));
  SupersedeRetry();
  QueuePageUpload(page.Path, false);
}

void CMainDialog::QueuePageUpload(const std::string& localFile, bool offline) {
  PageSequences.push_back({PageGeneration, offline, false});
  FtpThread.QueueConnect(Record.Server, Record.User, Record.Password);
  // Put up under a temporary name and renamed over the page: a visitor never
  // sees half of one. The local page stays beside the template.
  FtpThread.QueueReplace(localFile, Record.FtpFile);
  FtpThread.QueueDisconnect();
}

bool CMainDialog::IsRetryPending() const {
  return RetryTimer->isActive();
}

void CMainDialog::SupersedeRetry() {
  ++PageGeneration;
  RetryTimer->stop();
  RetryWait = std::chrono::milliseconds(0);
}

void CMainDialog::OnPageSequenceEnded() {
  const PageSequence ended = PageSequences.front();
  PageSequences.pop_front();
  if (ended.Generation != PageGeneration) {
    return;  // a newer page is on its way
  }
  if (ended.Uploaded) {
    if (TrayToldFailure) {
      TrayToldFailure = false;
      TrayNotice(kTrayUpdated);
    }
    RetryWait = std::chrono::milliseconds(0);
    return;
  }
  // Only the page the window stands for now is worth sending again.
  const bool wanted =
      ended.Offline ? IsPublished == 0 : IsPublished == 1 && Record.IsIpGetOnly == 0;
  if (!wanted || IsExiting != 0 || Destroyed) {
    return;
  }
  RetryWait =
      RetryWait.count() == 0 ? Options.RetryFirst : std::min(2 * RetryWait, Options.RetryLimit);
  // Up to an eighth more, never past the limit.
  const auto spread = static_cast<std::int64_t>(RetryWait.count() / 8);
  const auto jitter = spread > 0 ? static_cast<std::int64_t>(QRandomGenerator::global()->bounded(
                                       static_cast<double>(spread)))
                                 : std::int64_t{0};
  const auto wait = std::min(RetryWait + std::chrono::milliseconds(jitter), Options.RetryLimit);
  RetryOffline = ended.Offline;
  MessageList->AddMessage(QString::fromUtf8(kRetryAfter) +
                          QString::number(std::max<std::int64_t>(1, (wait.count() + 500) / 1000)) +
                          QString::fromUtf8(kRetryAfterEnd));
  if (!TrayToldFailure && !isVisible()) {
    TrayToldFailure = true;
    TrayNotice(kTrayNotUpdated);
  }
  RetryTimer->start(wait);
}

void CMainDialog::RetryPage() {
  if (IsExiting != 0 || Destroyed) {
    return;
  }
  if (RetryOffline) {
    if (IsPublished == 0) {
      QueuePageUpload(Record.OfflineFile, true);
    }
    return;
  }
  if (IsPublished != 1 || Record.IsIpGetOnly != 0) {
    return;
  }
  // The same page again, made anew: the template may have been mended since.
  bool addressEmpty = false;
  if (const auto page = MakeOnlinePage(addressEmpty)) {
    QueuePageUpload(page->Path, false);
  }
}

void CMainDialog::TrayNotice(const char* text) {
  if (Options.TrayMessage) {
    Options.TrayMessage(QString::fromUtf8(text));
  } else if (Tray && Tray->isVisible()) {
    Tray->showMessage(QStringLiteral("Tavro"), QString::fromUtf8(text));
  }
}

void CMainDialog::Unpublish() {
  IsPublished = 0;
  setWindowTitle(QStringLiteral("Tavro - 非公開中"));
  SupersedeRetry();
  if (IsExiting == 0) {
    QueuePageUpload(Record.OfflineFile, true);
    return;
  }
  // On the way out the offline page must be the last upload: a publish still
  // queued would otherwise put the online page back after it. The commands
  // not yet started are dropped and the one running is waited for; its own
  // time-outs bound it, the limit only guards against a stuck transfer. The
  // sink is closed first, or the running command's next report and this wait
  // would block each other.
  Sink->Close();
  FtpThread.DiscardPendingAndWait(2 * Options.Ftp.Reply);
  if (!UnpublishNow(Record.Server, Record.User, Record.Password, Record.OfflineFile, Record.FtpFile,
                    Options.Ftp)) {
    MessageBoxes::Show(this, QString::fromUtf8(kUnpublishFailed), MB_OK);
  }
}

void CMainDialog::StopWorkers() {
  TraceThread.RequestStop();
  FtpThread.RequestStop();
}

bool CMainDialog::ConfirmUnpublish(unsigned style) {
  if (IsPublished == 0 || Record.IsIpGetOnly != 0) {
    return true;
  }
  switch (MessageBoxes::Show(this, QString::fromUtf8(kUnpublishQuestion), style)) {
    case IDYES:
      StopWorkers();
      IsExiting = 1;
      Unpublish();
      return true;
    case IDNO:
      StopWorkers();
      IsExiting = 1;
      return true;
    case IDCANCEL:
      IsExiting = 0;
      return false;
    default:
      return true;
  }
}

void CMainDialog::OnOK() {
  if (ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION)) {
    done(QDialog::Accepted);
  }
}

void CMainDialog::OnCancel() {
  if (ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION)) {
    done(QDialog::Rejected);
  }
}

void CMainDialog::done(int result) {
  // A command's dialog still open must not hand anything back to a window
  // that has ended.
  if (OpenDialog) {
    OpenDialog->reject();
  }
  QDialog::done(result);
  OnDestroy();
}

bool CMainDialog::OnQueryEndSession() {
  if (IsExiting == 1) {
    return true;
  }
  return ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION);
}

void CMainDialog::OnEndSession(bool ending) {
  if (!ending) {
    IsExiting = 0;
  }
}

void CMainDialog::EndWithoutQuestion() {
  IsExiting = 1;
  done(QDialog::Rejected);
  // A box still open (the exit question, say) would keep the program waiting
  // for an answer nobody is there to give.
  for (int open = 0; open < 8; ++open) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == this) {
      break;
    }
    modal->close();
  }
}

void CMainDialog::OnDestroy() {
  if (Destroyed) {
    return;
  }
  Destroyed = true;
  RetryTimer->stop();
  if (IsExiting == 0) {
    ConfirmUnpublish(MB_YESNO | MB_ICONINFORMATION);
  }
  // Whatever the path, no worker reports to the window from here on and both
  // are told to stop; they end by themselves within their time-outs.
  Sink->Close();
  StopWorkers();
  // A file that could not be read at start-up is left as it is: saving the
  // defaults over it would lose the user's settings.
  if (SettingsLoaded) {
    SaveSettings(*Options.Store, Record);
  }
  if (Tray) {
    Tray->hide();
  }
}

void CMainDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    OnOK();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CMainDialog::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized() || Destroyed) {
    return;
  }
  // Without a tray a hidden window could never be brought back: it stays
  // minimised on the taskbar instead.
  if (!Tray || !Options.TrayAvailable()) {
    return;
  }
  // Hidden once the state change has run its course; a restore that came
  // first wins.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized() && !Destroyed) {
      Tray->show();
      hide();
    }
  });
}

void CMainDialog::contextMenuEvent(QContextMenuEvent* event) {
  // The address fields keep their own edit menu; everywhere else in the
  // window a right-click offers the log's menu.
  LogMenu->popup(event->globalPos());
  event->accept();
}

void CMainDialog::OnReport(const WorkerReport& report) {
  switch (report.Message) {
    case kWmTraceThreadEvent:
      OnTraceThreadEvent(report.Code, report.Text());
      break;
    case kWmFtpThreadMessage:
      if (!PageSequences.empty()) {
        PageSequence& running = PageSequences.front();
        if (report.Code == FTPCMD_CONNECT) {
          running.Connected = true;
        } else if (report.Code == FTPCMD_PUT && report.Succeeded()) {
          running.Uploaded = true;
        }
      }
      OnFtpThreadMessage(report.Code, report.Text());
      // A connect after a failed sequence first reports the disconnect of
      // what that one left; only the disconnect after a connect ends one.
      if (report.Code == FTPCMD_DISCONNECT && !PageSequences.empty() &&
          PageSequences.front().Connected) {
        OnPageSequenceEnded();
      }
      break;
    default:
      // kWmFtpThreadEvent is accepted and has nothing to change here.
      break;
  }
}

int CMainDialog::OnTraceThreadEvent(std::uint32_t code, const std::string* text) {
  const std::string value = text ? *text : std::string();
  switch (code) {
    case TE_LAN_ADDRESS:
      LanField()->setText(Text(value));
      if (Record.IPMode == "LAN") {
        LastWanAddress.clear();
        WanField()->setText(QString());
        SetUpdateItems(true);
      }
      if (LastLanAddress != value) {
        LastLanAddress = value;
        MessageList->AddMessage(QStringLiteral("Msg: LAN IPアドレスに変更がありました。"));
        if (Record.IPMode == "LAN" && IsPublished == 1 && Record.IsIpGetOnly == 0) {
          PublishNextAddress = false;
          Publish();
        }
      }
      if (Record.IPMode == "LAN" && PublishNextAddress) {
        PublishNextAddress = false;
        if (IsPublished == 1 && Record.IsIpGetOnly == 0) {
          Publish();
        }
      }
      if (Record.IPMode == "LAN") {
        PublishIpv6Change();
      }
      break;
    case TE_WAN_ADDRESS: {
      WanField()->setText(Text(value));
      SetUpdateItems(true);
      // Published all the same (the user decides), but never without a word
      // on why the page cannot lead anyone here.
      const auto warning = WanAddressWarning(value);
      if (warning && !isVisible() && TrayWarnedAddress != value) {
        TrayWarnedAddress = value;
        TrayNotice(warning->TrayText.c_str());
      }
      if (LastWanAddress != value) {
        LastWanAddress = value;
        MessageList->AddMessage(QStringLiteral("Msg: WAN IPアドレスに変更がありました。"));
        if (warning) {
          MessageList->AddMessage(Text(warning->LogLine));
        }
        if (Record.IPMode == "WAN" && IsPublished == 1 && Record.IsCreateWwwOpen == 1 &&
            Record.IsIpGetOnly == 0) {
          PublishNextAddress = false;
          Publish();
        }
      }
      if (Record.IPMode == "WAN" && PublishNextAddress) {
        PublishNextAddress = false;
        if (IsPublished == 1 && Record.IsIpGetOnly == 0) {
          Publish();
        }
      }
      PublishIpv6Change();
      break;
    }
    case TE_IPV6_ADDRESS:
      Ipv6Field()->setText(Text(value));
      if (LastIpv6Address != value) {
        LastIpv6Address = value;
        MessageList->AddMessage(QString::fromUtf8(kIpv6Changed));
        Ipv6PublishPending = true;
      }
      break;
    case TE_PROBE_STARTED:
      SetUpdateItems(false);
      break;
    case TE_STATUS_TEXT:
      MessageList->AddMessage(Text(value));
      break;
    case TE_PROBE_FAILED:
      SetUpdateItems(true);
      // The page keeps the address it shows; the IPv6 address is new all
      // the same.
      PublishIpv6Change();
      break;
    default:
      break;
  }
  return 1;
}

int CMainDialog::OnFtpThreadMessage(std::uint32_t code, const std::string* text) {
  switch (code) {
    case FTPCMD_CONNECT:
      SetUpdateItems(false);
      break;
    case FTPCMD_DISCONNECT:
      MessageList->AddMessage(QString::fromUtf8(kUpdateFinished));
      SetUpdateItems(true);
      break;
    case FTPMSG_TEXT:
      MessageList->AddMessage(Text(text ? *text : std::string()));
      break;
    default:
      break;
  }
  return 1;
}

}  // namespace tavro
