#include "ui/CSettingsDialog.h"

#include "ui/CFtpBrowserDialog.h"
#include "ui/FileDialogs.h"
#include "ui/HostKeyQuestion.h"
#include "ui/MessageBoxes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <array>
#include <cstdint>

namespace tavro {
namespace {

struct TimerItem {
  const char* Text;
  std::int32_t Sleep;
};

// The pauses a user can choose; a stored value not among them shows as the
// first item, so OK turns an odd value into "never" unless another is chosen.
constexpr std::array<TimerItem, 7> kTimerItems{{
    {"停止", kSleepNever},
    {"0 秒", 0},
    {"6 秒", 6000},
    {"60 秒", 60000},
    {"600 秒", 600000},
    {"6000 秒", 6000000},
    {"60000 秒", 60000000},
}};

constexpr std::array<const char*, 2> kIpModes{{"WAN", "LAN"}};

constexpr char kTraceHint[] =
    "WANのIPアドレスを教えてくれる情報源です。メールサーバ名[:ポート]、"
    "http:// か https:// で始まる確認サービスのアドレス、または stun:サーバ名[:ポート]。"
    "空白で区切って複数書くと、すべてに問い合わせ、答えた2つ以上がすべて一致したときだけ"
    "公開します。";

// The controls that only FTP publishing uses, in the order they are switched.
constexpr std::array<int, 12> kPublishingControls{{
    IDC_FTP_GROUP,
    IDC_ONLINE_FILE,
    IDC_FTP_FILE,
    IDC_PASSWORD,
    IDC_SERVER,
    IDC_USER,
    IDC_OFFLINE_FILE,
    IDC_BROWSE_ONLINE_FILE,
    IDC_BROWSE_FTP_FILE,
    IDC_BROWSE_OFFLINE_FILE,
    IDC_CREATE_WWW_OPEN,
    IDC_SHOW_PASSWORD,
}};

struct EditBinding {
  int Id;
  std::string Settings::*Field;
  const char* Name;  // the registry value name ValidateSettings reports
};

constexpr std::array<EditBinding, 7> kEdits{{
    {IDC_ONLINE_FILE, &Settings::OnlineFile, "OnlineFile"},
    {IDC_FTP_FILE, &Settings::FtpFile, "FtpFile"},
    {IDC_PASSWORD, &Settings::Password, "Password"},
    {IDC_SERVER, &Settings::Server, "Server"},
    {IDC_USER, &Settings::User, "User"},
    {IDC_OFFLINE_FILE, &Settings::OfflineFile, "OfflineFile"},
    {IDC_TRACE, &Settings::Trace, "Trace"},
}};

// The face standing in for the one the layout was drawn with runs a little
// wider, and the check box mark takes more room here: a one-line label or a
// check box whose text would be cut grows to the right, but only into room
// that no other control takes and not past the window's edge.
void WidenIntoFreeRoom(QWidget* client) {
  const QList<QWidget*> controls = client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* control : controls) {
    int needed = 0;
    if (auto* label = qobject_cast<QLabel*>(control)) {
      const QFontMetrics metrics = label->fontMetrics();
      if (label->pixmap().isNull() && label->height() < 2 * metrics.height()) {
        needed = metrics.horizontalAdvance(label->text()) + 2 * label->margin();
      }
    } else if (qobject_cast<QCheckBox*>(control)) {
      needed = control->sizeHint().width();
    }
    if (needed <= control->width()) {
      continue;
    }
    QRect wider = control->geometry();
    wider.setWidth(std::min(needed, client->width() - wider.x()));
    const bool free = std::none_of(controls.begin(), controls.end(), [&](QWidget* other) {
      return other != control && !qobject_cast<QGroupBox*>(other) &&
             other->geometry().intersects(wider);
    });
    if (free) {
      control->setGeometry(wider);
    }
  }
}

}  // namespace

namespace {

// The real browser; tests may put another opener in its place.
std::optional<FtpBrowseResult> OpenRealFtpBrowser(QWidget* owner, const FtpAccount& account) {
  CFtpBrowserDialog browser(QString::fromStdString(account.Server),
                            QString::fromStdString(account.User),
                            QString::fromStdString(account.Password), owner);
  if (browser.exec() != QDialog::Accepted) {
    return std::nullopt;
  }
  return FtpBrowseResult{{browser.GetServer().toStdString(), browser.GetUser().toStdString(),
                          browser.GetPassword().toStdString()},
                         browser.ResultPath().toStdString()};
}

}  // namespace

CSettingsDialog::CSettingsDialog(QWidget* parent)
    : QDialog(parent), OpenFtpBrowser(OpenRealFtpBrowser) {
  setModal(true);
  Builder.Build(this, IDD_SETTINGS, [this](int id) { OnCommand(id); });
  WidenIntoFreeRoom(Builder.Client());
  IpGetOnlyBox = Builder.Control<QCheckBox>(IDC_IP_GET_ONLY);
  SleepList = Builder.Control<QComboBox>(IDC_SLEEP);
  CreateWwwOpenBox = Builder.Control<QCheckBox>(IDC_CREATE_WWW_OPEN);
  IpModeList = Builder.Control<QComboBox>(IDC_IP_MODE);
  // The dialog is built once and reused, so the lists are filled once too.
  for (const char* mode : kIpModes) {
    IpModeList->addItem(QString::fromUtf8(mode));
  }
  for (const TimerItem& item : kTimerItems) {
    SleepList->addItem(QString::fromUtf8(item.Text));
  }
  // However the box changes (click, Space, its access key, a screen reader's
  // toggle, setChecked), the fields follow it.
  connect(IpGetOnlyBox, &QCheckBox::toggled, this, [this] { ApplyIpGetOnly(); });
  // The password is hidden as it is typed; the box beside it shows it on
  // request, to check what was typed.
  auto* password = Builder.Control<QLineEdit>(IDC_PASSWORD);
  connect(Builder.Control<QCheckBox>(IDC_SHOW_PASSWORD), &QCheckBox::toggled, password,
          [password](bool show) {
            password->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password);
          });
  // The label names a mail server only; the field takes more, and the rule
  // for several sources is not one to guess. Told on hover and to a screen
  // reader, without changing the template's layout.
  auto* trace = Builder.Control<QLineEdit>(IDC_TRACE);
  trace->setToolTip(QString::fromUtf8(kTraceHint));
  trace->setAccessibleDescription(QString::fromUtf8(kTraceHint));
}

std::optional<Settings> CSettingsDialog::Edit(const Settings& settings) {
  SetSettings(settings);
  if (exec() != QDialog::Accepted) {
    return std::nullopt;
  }
  return Fields;
}

void CSettingsDialog::setVisible(bool visible) {
  if (visible && !isVisible()) {
    InitDialog();
  }
  QDialog::setVisible(visible);
  if (visible) {
    // A list shows its longest item whole in the font and style it is drawn
    // with, known once shown: it grows to the right from where the layout
    // puts it.
    for (QComboBox* list : {SleepList, IpModeList}) {
      list->resize(std::max(list->width(), list->sizeHint().width()), list->height());
    }
  }
}

void CSettingsDialog::InitDialog() {
  Exchange(true);
  int timer = 0;
  for (std::size_t i = 0; i < kTimerItems.size(); ++i) {
    if (kTimerItems[i].Sleep == Fields.Sleep) {
      timer = int(i);
    }
  }
  SleepList->setCurrentIndex(timer);
  // Only the exact text "WAN" means the WAN address; anything else read from
  // the store publishes the LAN address, and the list says so.
  IpModeList->setCurrentIndex(Fields.IPMode == kIpModes[0] ? 0 : 1);
  CreateWwwOpenBox->setChecked(Fields.IsCreateWwwOpen != 0);
  // Every opening starts with the password hidden again.
  Builder.Control<QCheckBox>(IDC_SHOW_PASSWORD)->setChecked(false);
  ApplyIpGetOnly();
  // Every opening starts on the first field the user can type into: the
  // first control of the tab order that is not greyed.
  for (const ControlSpec& row : Builder.Template().Controls) {
    QWidget* control = Builder.ControlWidget(row.Id);
    if (row.Id != kNoControlId && control != nullptr && control->isEnabled() &&
        (control->focusPolicy() & Qt::TabFocus) != 0) {
      control->setFocus();
      break;
    }
  }
}

void CSettingsDialog::Exchange(bool toControls) {
  for (const EditBinding& edit : kEdits) {
    auto* control = Builder.Control<QLineEdit>(edit.Id);
    if (toControls) {
      control->setText(QString::fromStdString(Fields.*edit.Field));
    } else {
      Fields.*edit.Field = control->text().toStdString();
    }
  }
  if (toControls) {
    const int index = IpModeList->findText(QString::fromStdString(Fields.IPMode));
    if (index >= 0) {
      IpModeList->setCurrentIndex(index);
    }
    CreateWwwOpenBox->setChecked(Fields.IsCreateWwwOpen != 0);
    IpGetOnlyBox->setChecked(Fields.IsIpGetOnly != 0);
  } else {
    Fields.IPMode = IpModeList->currentText().toStdString();
    Fields.IsCreateWwwOpen = CreateWwwOpenBox->isChecked() ? 1 : 0;
    Fields.IsIpGetOnly = IpGetOnlyBox->isChecked() ? 1 : 0;
  }
}

void CSettingsDialog::ApplyIpGetOnly() {
  const bool publishing = !IpGetOnlyBox->isChecked();
  for (int id : kPublishingControls) {
    Builder.ControlWidget(id)->setEnabled(publishing);
  }
}

void CSettingsDialog::OnCommand(int id) {
  switch (id) {
    case IDOK:
      accept();
      break;
    case IDCANCEL:
      reject();
      break;
    case IDC_BROWSE_ONLINE_FILE:
      BrowseLocalFile(&Settings::OnlineFile);
      break;
    case IDC_BROWSE_OFFLINE_FILE:
      BrowseLocalFile(&Settings::OfflineFile);
      break;
    case IDC_BROWSE_FTP_FILE:
      BrowseRemoteFile();
      break;
    default:
      break;
  }
}

void CSettingsDialog::accept() {
  Exchange(false);
  const int timer = SleepList->currentIndex();
  Fields.Sleep = timer >= 0 ? kTimerItems[std::size_t(timer)].Sleep : kSleepNever;
  // A text the store cannot hold would be lost at the next save, or come
  // back shortened or changed; the user hears of it here, while the text is
  // still on screen to be mended.
  if (const auto error = ValidateSettings(Fields)) {
    MessageBoxes::Show(this, QString::fromStdString(error->Message), MB_OK | MB_ICONWARNING);
    for (const EditBinding& edit : kEdits) {
      if (error->Field == edit.Name) {
        auto* control = Builder.Control<QLineEdit>(edit.Id);
        control->setFocus();
        control->selectAll();
      }
    }
    return;
  }
  // Publishing runs unattended and refuses a host key it does not know: the
  // one question about it comes now, while the owner is here.
  AskAboutHostKey(this, Fields.Server);
  QDialog::accept();
}

void CSettingsDialog::BrowseLocalFile(std::string Settings::*field) {
  Exchange(false);
  // No proposed name, no suffix, no filter: a template may be any file.
  FileDialogRequest request;
  request.Owner = this;
  const auto path = FileDialogs::Open(request);
  if (!path) {
    return;
  }
  Fields.*field = path->toStdString();
  Exchange(true);
}

void CSettingsDialog::BrowseRemoteFile() {
  Exchange(false);
  if (!OpenFtpBrowser) {
    return;
  }
  const auto chosen = OpenFtpBrowser(this, {Fields.Server, Fields.User, Fields.Password});
  if (!chosen) {
    return;
  }
  Fields.Server = chosen->Account.Server;
  Fields.User = chosen->Account.User;
  Fields.Password = chosen->Account.Password;
  Fields.FtpFile = chosen->Path;
  Exchange(true);
}

}  // namespace tavro
