#include "ui/CFtpBrowserDialog.h"

#include "ftp/FtpEntry.h"
#include "ui/FileDialogs.h"
#include "ui/GuiReportSink.h"
#include "ui/HostKeyQuestion.h"
#include "ui/Icons.h"
#include "ui/MessageBoxes.h"
#include "ui/RemoteFileList.h"

#include <QContextMenuEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <QTreeView>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace tavro {

namespace {

const QString kConnectCaption = QStringLiteral("接続");
const QString kDisconnectCaption = QStringLiteral("切断");

// Ids of the connection view: the frame, its four edits and their labels.
constexpr int kConnectionControls[] = {IDC_FRAME,      IDC_SERVER,         IDC_USER,
                                       IDC_PASSWORD,   IDC_STARTDIR,       IDC_SERVER_LABEL,
                                       IDC_USER_LABEL, IDC_PASSWORD_LABEL, IDC_STARTDIR_LABEL};
constexpr int kBrowsingButtons[] = {IDC_UP, IDC_NEWDIR, IDC_DETAILS, IDC_LISTMODE};
constexpr int kServerCommands[] = {IDC_UP,       IDC_SUBDIR, IDC_NEWDIR, IDC_UPLOAD,
                                   IDC_DOWNLOAD, IDC_DELETE, IDC_RENAME};

// A name that would not reach the server as one name in the current folder:
// a slash walks into another folder, a line break or NUL ends the command.
bool IsUsableName(const QString& name) {
  for (const QChar c : name) {
    if (c == QLatin1Char('/') || c.unicode() < 0x20 || c.unicode() == 0x7f) {
      return false;
    }
  }
  return true;
}

}  // namespace

// The dialog's end of its worker's reports. Listing entries are copied on
// the worker's thread and handed to the window in runs, so a long listing
// neither waits on the window for every line nor redraws the list for every
// row; every other report goes through the window's event loop while the
// worker waits, after the entries that came before it.
//
// A run holds at most kMaxRun entries: a worker that many ahead of the window
// waits until the window has taken them. So a server that lists faster than
// the window can show costs no more memory than one run in waiting, and the
// window serves its other events, other windows and signals between runs.
class BrowserReportSink final : public IReportSink {
public:
  using EntryHandler = std::function<void(std::vector<ListedEntry>&)>;
  static constexpr std::size_t kMaxRun = 16384;

  BrowserReportSink(QObject* owner, GuiReportSink::Handler handler, EntryHandler entries)
      : Owner(owner), OnEntries(std::move(entries)) {
    Inner = GuiReportSink::Create(owner, [this, handler](const WorkerReport& report) {
      Drain();
      handler(report);
    });
  }

  void OnReport(const WorkerReport& report) override {
    if (const ListedEntry* entry = report.Entry()) {
      std::unique_lock lock(Mutex);
      // On the window's own thread nobody else would take the run.
      if (QThread::currentThread() != Owner->thread()) {
        Room.wait(lock, [this] { return !Open || Pending.size() < kMaxRun; });
      }
      if (!Open) {
        return;
      }
      if (Pending.capacity() == 0) {
        Pending.reserve(kMaxRun);
      }
      Pending.push_back(*entry);
      if (!Posted) {
        Posted = true;
        // Posted under the lock: the window closes this sink before it goes,
        // so it is alive here; Qt drops the call unrun if it goes first.
        QMetaObject::invokeMethod(
            Owner, [this] { Drain(); }, Qt::QueuedConnection);
      }
      return;
    }
    Inner->OnReport(report);
  }

  // GUI thread.
  void Drain() {
    std::vector<ListedEntry> run;
    {
      std::lock_guard lock(Mutex);
      Posted = false;
      if (!Open) {
        return;
      }
      run.swap(Pending);
    }
    Room.notify_all();
    if (!run.empty()) {
      OnEntries(run);
    }
  }

  bool IsOpen() const { return Inner->IsOpen(); }

  void Close() {
    {
      std::lock_guard lock(Mutex);
      Open = false;
      std::vector<ListedEntry>().swap(Pending);
    }
    Room.notify_all();
    Inner->Close();
  }

private:
  QObject* Owner;
  EntryHandler OnEntries;
  std::shared_ptr<GuiReportSink> Inner;
  std::mutex Mutex;
  std::condition_variable Room;  // the window has taken a run, or closed
  std::vector<ListedEntry> Pending;
  bool Posted = false;
  bool Open = true;
};

CFtpBrowserDialog::CFtpBrowserDialog(QWidget* parent)
    : QDialog(parent), Ftp(std::make_unique<CFtpThread>()) {
  Ui.Build(this, IDD_FTP_BROWSER, [this](int id) { OnCommand(id); });
  setWindowIcon(LoadIconResource(IDI_APP));

  // The list covers the frame of the connection fields exactly.
  QWidget* frame = Ui.ControlWidget(IDC_FRAME);
  List = new CRemoteFileList(Ui.Client());
  List->setObjectName(QStringLiteral("remoteFileList"));
  List->setProperty(kControlIdProperty, IDC_LIST);
  List->setAccessibleName(QStringLiteral("ファイル一覧"));
  List->setGeometry(frame->geometry());
  List->SetColumnWidths(frame->geometry().width());
  List->hide();
  connect(List, &CRemoteFileList::Clicked, this, [this] { OnListClicked(); });
  connect(List, &CRemoteFileList::DoubleClicked, this, [this] { OnListDoubleClicked(); });
  connect(List, &CRemoteFileList::LabelEditEnded, this,
          [this](int row, const QString& text) { OnLabelEditEnded(row, text); });
  // In the tab order the list stands where it covers the frame: after the
  // picture buttons, before the file name.
  QWidget::setTabOrder(Ui.ControlWidget(IDC_LISTMODE), List->DetailsView());
  QWidget::setTabOrder(List->DetailsView(), List->PlainView());
  QWidget::setTabOrder(List->PlainView(), Ui.ControlWidget(IDC_SERVER));
  // Keys the list's views take as commands (an open label editor keeps its own).
  List->DetailsView()->installEventFilter(this);
  List->PlainView()->installEventFilter(this);
  connect(this, &CFtpBrowserDialog::ListingDone, this, [this] { UpdateUpButton(); });

  const auto item = [](int id, const char* text) {
    return MenuEntry{MenuEntry::Type::Item, id, QString::fromUtf8(text), {}};
  };
  const MenuEntry separator{MenuEntry::Type::Separator, 0, {}, {}};
  Menu = BuildPopupMenu(
      this,
      {item(IDC_UP, "上位ディレクトリ(&U)"), item(IDC_SUBDIR, "下位ディレクトリ(&D)"),
       item(IDC_NEWDIR, "新規ディレクトリ(&N)"), separator, item(IDC_UPLOAD, "アップロード(&P)"),
       item(IDC_DOWNLOAD, "ダウンロード(&G)"), separator, item(IDC_DELETE, "削除(&E)"),
       item(IDC_RENAME, "名前の変更(&R)")},
      MenuItems, [this](int id) { OnCommand(id); });

  auto sink = std::make_shared<BrowserReportSink>(
      this, [this](const WorkerReport& report) { OnReport(report); },
      [this](std::vector<ListedEntry>& entries) { List->AddEntries(entries); });
  Sink = sink;
}

CFtpBrowserDialog::CFtpBrowserDialog(const QString& server, const QString& user,
                                     const QString& password, QWidget* parent)
    : CFtpBrowserDialog(parent) {
  SetServer(server);
  SetUser(user);
  SetPassword(password);
}

CFtpBrowserDialog::~CFtpBrowserDialog() {
  // First: no report may reach the members that go below, nor an edit that
  // the closing window ends.
  Sink->Close();
  Ftp->RequestStop();
  List->disconnect(this);
}

void CFtpBrowserDialog::SetServer(const QString& text) {
  Server = text;
}

void CFtpBrowserDialog::SetUser(const QString& text) {
  User = text;
}

void CFtpBrowserDialog::SetPassword(const QString& text) {
  Password = text;
}

void CFtpBrowserDialog::SetFtpTimeouts(FtpTimeouts timeouts) {
  Timeouts = timeouts;
}

bool CFtpBrowserDialog::IsConnected() const {
  return Ftp->IsConnected();
}

QString CFtpBrowserDialog::Directory() const {
  return QString::fromStdString(Ftp->GetDirectory());
}

void CFtpBrowserDialog::showEvent(QShowEvent* event) {
  if (!Initialized) {
    Initialize();
  }
  QDialog::showEvent(event);
}

void CFtpBrowserDialog::Initialize() {
  Initialized = true;
  Ftp->SetOwner(std::static_pointer_cast<IReportSink>(Sink));
  Ftp->SetTimeouts(Timeouts);
  Ftp->Start();
  Ui.Control<QLineEdit>(IDC_SERVER)->setText(Server);
  Ui.Control<QLineEdit>(IDC_USER)->setText(User);
  Ui.Control<QLineEdit>(IDC_PASSWORD)->setText(Password);
  Ui.Control<QLineEdit>(IDC_STARTDIR)->setText(StartDirectory);
  ShowBrowsingView(false);
}

void CFtpBrowserDialog::ShowBrowsingView(bool browsing) {
  for (int id : kConnectionControls) {
    Ui.ControlWidget(id)->setVisible(!browsing);
  }
  for (int id : kBrowsingButtons) {
    Ui.ControlWidget(id)->setEnabled(browsing);
  }
  List->setVisible(browsing);
  if (browsing) {
    UpdateUpButton();
  }
}

bool CFtpBrowserDialog::AtRoot() const {
  const QString path = Directory();
  return path.isEmpty() || path == QStringLiteral("/");
}

void CFtpBrowserDialog::UpdateUpButton() {
  Ui.ControlWidget(IDC_UP)->setEnabled(IsConnected() && !List->isHidden() && !AtRoot());
}

void CFtpBrowserDialog::ShowLoggedOff() {
  ShowBrowsingView(false);
  auto* toggle = Ui.Control<QPushButton>(IDC_TOGGLE);
  toggle->setEnabled(true);
  toggle->setText(kConnectCaption);
  Ui.Control<QLabel>(IDC_DIRECTORY)->clear();
}

std::optional<CFtpBrowserDialog::RowChange> CFtpBrowserDialog::TakeRowChange(std::uint32_t code) {
  for (auto it = PendingRows.begin(); it != PendingRows.end(); ++it) {
    if (it->Code == code) {
      RowChange change = std::move(*it);
      PendingRows.erase(it);
      return change;
    }
  }
  return std::nullopt;
}

int CFtpBrowserDialog::RowNamed(const QString& name) const {
  for (int row = 0; row < List->Count(); ++row) {
    if (List->Name(row) == name) {
      return row;
    }
  }
  return -1;
}

void CFtpBrowserDialog::AddStatus(const QString& text) {
  Ui.Control<QListWidget>(IDC_STATUS)->insertItem(0, text);
}

void CFtpBrowserDialog::OnCommand(int id) {
  auto* toggle = Ui.Control<QPushButton>(IDC_TOGGLE);
  switch (id) {
    case IDC_TOGGLE:
      toggle->setEnabled(false);
      if (IsConnected()) {
        toggle->setText(kConnectCaption);
        OnCommand(IDC_DISCONNECT);
      } else {
        toggle->setText(kDisconnectCaption);
        OnCommand(IDC_CONNECT);
      }
      return;
    case IDC_CONNECT:
      AskAboutHostKey(this, Bytes(Ui.Control<QLineEdit>(IDC_SERVER)->text()));
      Ftp->QueueConnect(Bytes(Ui.Control<QLineEdit>(IDC_SERVER)->text()),
                        Bytes(Ui.Control<QLineEdit>(IDC_USER)->text()),
                        Bytes(Ui.Control<QLineEdit>(IDC_PASSWORD)->text()));
      return;
    case IDC_DETAILS:
      List->ShowDetails();
      return;
    case IDC_LISTMODE:
      List->ShowList();
      return;
    case IDOK:
      Open();
      return;
    case IDCANCEL:
      done(QDialog::Rejected);
      return;
    default:
      break;
  }
  if (!IsConnected()) {
    return;
  }
  switch (id) {
    case IDC_DISCONNECT:
      Ftp->QueueDisconnect();
      break;
    case IDC_UP:
      GoUp();
      break;
    case IDC_SUBDIR:
      GoDown();
      break;
    case IDC_NEWDIR:
    case IDC_RENAME:
      StartLabelEdit(id);
      break;
    case IDC_DELETE:
      Delete();
      break;
    case IDC_DOWNLOAD:
      Download();
      break;
    case IDC_UPLOAD:
      Upload();
      break;
    default:
      break;
  }
}

void CFtpBrowserDialog::Navigate(const QString& path) {
  Ftp->QueueChangeDirectory(Bytes(path));
  // The rows belong to the folder being left: a second click on them before
  // the new listing starts must not walk on from the new folder.
  List->ClearRows();
  Ftp->QueueList();
  UpdateUpButton();
}

void CFtpBrowserDialog::GoUp() {
  QString path = Directory();
  if (path.endsWith(QLatin1Char('/'))) {
    path.chop(1);
  }
  const auto slash = path.lastIndexOf(QLatin1Char('/'));
  // A folder just below the root goes up to "/"; the root itself has no parent.
  if (slash < 0 || path.isEmpty()) {
    return;
  }
  Navigate(slash == 0 ? QStringLiteral("/") : path.left(slash));
}

void CFtpBrowserDialog::GoDown() {
  int row = List->Selected();
  if (row < 0) {
    row = 0;
  }
  if (row >= List->Count()) {
    return;
  }
  QString path = Directory();
  if (!path.endsWith(QLatin1Char('/'))) {
    path += QLatin1Char('/');
  }
  Navigate(path + List->Name(row));
}

void CFtpBrowserDialog::StartLabelEdit(int command) {
  int row = List->Selected();
  if (command == IDC_NEWDIR) {
    row = row < 0 ? 0 : row;
    List->InsertPlaceholder(row);
    PendingEdit = FTPCMD_MKDIR;
  } else {
    if (row < 0) {
      return;
    }
    PendingEdit = FTPCMD_RENAME;
  }
  List->setFocus();
  List->EditLabel(row);
}

void CFtpBrowserDialog::OnLabelEditEnded(int row, const QString& text) {
  if (!Sink->IsOpen()) {
    return;  // the dialog has closed; its worker takes no more requests
  }
  const QString old = row >= 0 && row < List->Count() ? List->Name(row) : QString();
  if (PendingEdit != static_cast<int>(FTPCMD_RENAME) &&
      PendingEdit != static_cast<int>(FTPCMD_MKDIR)) {
    return;
  }
  if (PendingEdit == static_cast<int>(FTPCMD_RENAME) && old == text) {
    return;
  }
  if (!IsUsableName(text)) {
    AddStatus(QStringLiteral("Err: 名前に「/」や改行は使えません。"));
    if (PendingEdit == static_cast<int>(FTPCMD_MKDIR)) {
      List->RemoveRow(row);
    }
    return;
  }
  // A new folder's row is a placeholder without a name until the server
  // agrees.
  PendingRows.push_back({static_cast<std::uint32_t>(PendingEdit), old, text});
  if (PendingEdit == static_cast<int>(FTPCMD_RENAME)) {
    Ftp->QueueRename(Bytes(old), Bytes(text));
  } else {
    Ftp->QueueCreateDirectory(Bytes(text));
  }
}

QString CFtpBrowserDialog::ProblemWithChosenName(const QString& name) const {
  if (name.isEmpty()) {
    return QStringLiteral("ファイル名を入力してください。");
  }
  if (name.contains(QLatin1Char('/'))) {
    return QStringLiteral("ファイル名「%1」に「/」は使えません。ファイル名だけを入力してください。")
        .arg(name);
  }
  if (name == QStringLiteral(".") || name == QStringLiteral("..")) {
    return QStringLiteral("「%1」はファイル名として使えません。").arg(name);
  }
  if (!IsUsableName(name)) {
    return QStringLiteral("ファイル名に改行などの制御文字は使えません。");
  }
  for (int row = 0; row < List->Count(); ++row) {
    if (List->Name(row) == name && (List->Data(row) & DirectoryFlag) != 0) {
      return QStringLiteral("「%1」はフォルダです。ファイル名を指定してください。").arg(name);
    }
  }
  // A file of the listing, or a new name the upload will create.
  return {};
}

void CFtpBrowserDialog::Open() {
  auto* field = Ui.Control<QLineEdit>(IDC_FILENAME);
  const QString problem = ProblemWithChosenName(field->text());
  if (!problem.isEmpty()) {
    MessageBoxes::Show(this, problem, MB_OK | MB_ICONWARNING);
    field->setFocus();
    field->selectAll();
    return;
  }
  done(QDialog::Accepted);
}

void CFtpBrowserDialog::Delete() {
  const int row = List->Selected();
  if (row < 0) {
    return;
  }
  const bool folder = (List->Data(row) & DirectoryFlag) != 0;
  const QString question = folder ? QStringLiteral("フォルダ「%1」を削除しますか？")
                                  : QStringLiteral("「%1」を削除しますか？");
  if (MessageBoxes::Show(this, question.arg(List->Name(row)), MB_YESNO | MB_ICONQUESTION) !=
      IDYES) {
    return;
  }
  // The box ran the event loop: the row may have gone with a new listing.
  if (row >= List->Count() || List->Selected() != row) {
    return;
  }
  const QString name = List->Name(row);
  if ((List->Data(row) & DirectoryFlag) != 0) {
    PendingRows.push_back({FTPCMD_RMDIR, name, {}});
    Ftp->QueueRemoveDirectory(Bytes(name));
  } else {
    PendingRows.push_back({FTPCMD_DELETE, name, {}});
    Ftp->QueueDelete(Bytes(name));
  }
}

void CFtpBrowserDialog::Download() {
  const int row = List->Selected();
  if (row < 0) {
    return;
  }
  const QString name = List->Name(row);
  const auto path = FileDialogs::Save({.Type = FileDialogRequest::Kind::Save,
                                       .Owner = this,
                                       .InitialName = name,
                                       .DefaultSuffix = {},
                                       .Filters = {},
                                       .ConfirmOverwrite = true});
  if (!path) {
    return;
  }
  // The save dialog has asked before an existing file is chosen: that file is
  // replaced, but only by a complete download.
  if (QFileInfo::exists(*path)) {
    Ftp->QueueDownloadReplacing(Bytes(name), Bytes(*path));
  } else {
    Ftp->QueueDownload(Bytes(name), Bytes(*path));
  }
}

void CFtpBrowserDialog::Upload() {
  const auto path = FileDialogs::Open({.Type = FileDialogRequest::Kind::Open,
                                       .Owner = this,
                                       .InitialName = {},
                                       .DefaultSuffix = {},
                                       .Filters = {},
                                       .ConfirmOverwrite = false});
  if (!path) {
    return;
  }
  Ftp->QueueUpload(Bytes(*path), Bytes(QFileInfo(*path).fileName()));
}

void CFtpBrowserDialog::OnListClicked() {
  const int row = List->Selected();
  if (row >= 0) {
    Ui.Control<QLineEdit>(IDC_FILENAME)->setText(List->Name(row));
  }
}

void CFtpBrowserDialog::OnListDoubleClicked() {
  const int row = List->Selected();
  if (row < 0) {
    return;
  }
  if ((List->Data(row) & DirectoryFlag) != 0) {
    OnCommand(IDC_SUBDIR);
    return;
  }
  Ui.Control<QLineEdit>(IDC_FILENAME)->setText(List->Name(row));
  done(QDialog::Accepted);
}

bool CFtpBrowserDialog::OnContextMenu(const QPoint& screenPos) {
  if (!List->HasFocusInside()) {
    return false;
  }
  for (int id : kServerCommands) {
    MenuItems.value(id)->setEnabled(true);
  }
  QList<int> greyed;
  const int row = List->Selected();
  if (!IsConnected()) {
    greyed = QList<int>(std::begin(kServerCommands), std::end(kServerCommands));
  } else if (row < 0) {
    greyed = {IDC_SUBDIR, IDC_DOWNLOAD, IDC_DELETE, IDC_RENAME};
  } else if ((List->Data(row) & DirectoryFlag) != 0) {
    greyed = {IDC_DOWNLOAD};
  } else {
    greyed = {IDC_SUBDIR};
  }
  if (IsConnected() && AtRoot()) {
    greyed.append(IDC_UP);
  }
  for (int id : greyed) {
    MenuItems.value(id)->setEnabled(false);
  }
  Menu->popup(screenPos);
  return true;
}

void CFtpBrowserDialog::contextMenuEvent(QContextMenuEvent* event) {
  if (OnContextMenu(event->globalPos())) {
    event->accept();
  } else {
    QDialog::contextMenuEvent(event);
  }
}

bool CFtpBrowserDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress &&
      (watched == List->DetailsView() || watched == List->PlainView())) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Backspace && key->modifiers() == Qt::NoModifier) {
      if (!AtRoot()) {
        OnCommand(IDC_UP);
      }
      return true;
    }
    if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
      OnCommand(IDC_DELETE);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CFtpBrowserDialog::done(int result) {
  if (result == QDialog::Accepted) {
    ChosenPath = Directory() + QLatin1Char('/') + Ui.Control<QLineEdit>(IDC_FILENAME)->text();
    Server = Ui.Control<QLineEdit>(IDC_SERVER)->text();
    User = Ui.Control<QLineEdit>(IDC_USER)->text();
    Password = Ui.Control<QLineEdit>(IDC_PASSWORD)->text();
    StartDirectory = Ui.Control<QLineEdit>(IDC_STARTDIR)->text();
  }
  // The worker finishes what it has on its own and reports to nobody.
  Sink->Close();
  Ftp->RequestStop();
  QDialog::done(result);
}

void CFtpBrowserDialog::OnReport(const WorkerReport& report) {
  if (report.Message == kWmFtpThreadEvent) {
    if (report.Code == FTPCMD_LIST) {
      List->ClearList();
    }
    return;
  }
  if (report.Message != kWmFtpThreadMessage) {
    return;
  }
  const bool ok = report.Succeeded();
  auto* toggle = Ui.Control<QPushButton>(IDC_TOGGLE);
  switch (report.Code) {
    case FTPCMD_CONNECT:
      toggle->setEnabled(true);
      if (ok) {
        ShowBrowsingView(true);
        const QString start = Ui.Control<QLineEdit>(IDC_STARTDIR)->text();
        Ftp->QueueChangeDirectory(Bytes(start));
        List->ClearRows();
        Ftp->QueueList();
      } else {
        toggle->setText(kConnectCaption);
      }
      break;
    case FTPCMD_DISCONNECT:
      toggle->setEnabled(true);
      if (ok) {
        ShowLoggedOff();
      }
      break;
    case FTPCMD_PUT:
      Ftp->QueueList();
      break;
    case FTPCMD_DELETE:
    case FTPCMD_RMDIR:
    case FTPCMD_RENAME:
    case FTPCMD_MKDIR:
      if (const auto change = TakeRowChange(report.Code)) {
        // A listing since may have replaced the rows: then there is none.
        const int row = RowNamed(change->Name);
        if (row < 0) {
          break;
        }
        if (ok && (report.Code == FTPCMD_RENAME || report.Code == FTPCMD_MKDIR)) {
          List->SetName(row, change->NewName);
        } else if (ok || report.Code == FTPCMD_MKDIR) {
          List->RemoveRow(row);
        }
      }
      break;
    case FTPMSG_TEXT:
      if (const std::string* text = report.Text()) {
        AddStatus(QString::fromStdString(*text));
      }
      break;
    case FTPCMD_LIST:
      if (IsConnected()) {
        Ui.Control<QLabel>(IDC_DIRECTORY)->setText(Directory());
      } else {
        // The listing broke the session off: the next click logs on again.
        ShowLoggedOff();
      }
      emit ListingDone();
      break;
    default:
      break;
  }
}

}  // namespace tavro
