// The settings dialog driven as a user drives it: what an opening shows and
// OK hands back, the address-only switch, Cancel, the browse buttons and the
// refusal of texts the settings file would not give back.
#include "KeyboardWalk.h"
#include "servers/SshdServer.h"
#include "servers/VsftpdServer.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"
#include "ui/CFtpBrowserDialog.h"
#include "ui/CSettingsDialog.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <map>

using namespace tavro;
using D = CSettingsDialog;
using test::VsftpdServer;

namespace {

const Settings kRecord{"ftp.example.jp",
                       "ユーザー",
                       "秘密 pass",
                       "/public_html/ip.html",
                       "/home/u/オンライン.html",
                       "/home/u/offline.html",
                       "mail.example.jp:2525",
                       "WAN",
                       600000,
                       1,
                       0};

// Which edit shows which field, as the layout labels them.
const std::map<int, std::string Settings::*> kEditFields = {
    {IDC_SERVER, &Settings::Server},
    {IDC_USER, &Settings::User},
    {IDC_PASSWORD, &Settings::Password},
    {IDC_FTP_FILE, &Settings::FtpFile},
    {IDC_ONLINE_FILE, &Settings::OnlineFile},
    {IDC_OFFLINE_FILE, &Settings::OfflineFile},
    {IDC_TRACE, &Settings::Trace}};

// The dialog as an opening with this record shows it.
struct Shown : D {
  explicit Shown(const Settings& record = kRecord) {
    SetSettings(record);
    show();
  }
};

QLineEdit* Edit(const D& d, int id) {
  return d.Ui().Control<QLineEdit>(id);
}
QComboBox* List(const D& d, int id) {
  return d.Ui().Control<QComboBox>(id);
}
void Click(const D& d, int id) {
  d.Ui().Control<QAbstractButton>(id)->click();
}

// The controls only publishing uses, in id order.
const QList<int> kPublishing = [] {
  QList<int> ids = {IDC_FTP_GROUP,       IDC_ONLINE_FILE,
                    IDC_FTP_FILE,        IDC_PASSWORD,
                    IDC_SERVER,          IDC_USER,
                    IDC_OFFLINE_FILE,    IDC_BROWSE_ONLINE_FILE,
                    IDC_BROWSE_FTP_FILE, IDC_BROWSE_OFFLINE_FILE,
                    IDC_CREATE_WWW_OPEN, IDC_SHOW_PASSWORD};
  std::sort(ids.begin(), ids.end());
  return ids;
}();

// Ids of the greyed controls, labels included (as -1).
QList<int> Disabled(const D& d) {
  QList<int> ids;
  for (QWidget* w : d.Ui().Client()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!w->isEnabled()) {
      ids.append(w->property(kControlIdProperty).toInt());
    }
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

class SettingsDialogTest : public QObject {
  Q_OBJECT

private slots:
  void init() {
    MessageBoxes::AnswerInAdvance(true);
    FileDialogs::AnswerInAdvance(true);
  }
  void cleanup() {
    QCOMPARE(MessageBoxes::TakeShown().size(), 0);
    QCOMPARE(FileDialogs::TakeShown().size(), 0);
  }

  // `pick`: the timer item chosen before OK, -1 for none. The address-only
  // switch greys exactly the publishing controls, both ways.
  void OpensWithTheRecordAndReturnsItOnOk_data() {
    QTest::addColumn<int>("ipGetOnly");
    QTest::addColumn<int>("sleep");
    QTest::addColumn<QString>("ipMode");
    QTest::addColumn<int>("pick");
    QTest::addColumn<QString>("shownTimer");
    QTest::addColumn<QString>("shownIp");
    QTest::addColumn<int>("storedSleep");
    QTest::addColumn<QString>("storedIp");
    QTest::newRow("listed") << 0 << 60000 << "WAN" << -1 << "60 秒"
                            << "WAN" << 60000 << "WAN";
    QTest::newRow("unlisted") << 1 << 5000 << "LAN" << -1 << "停止"
                              << "LAN" << -1 << "LAN";
    QTest::newRow("unlisted, 6 s picked") << 0 << 5000 << "WAN" << 2 << "停止"
                                          << "WAN" << 6000 << "WAN";
    QTest::newRow("never picked") << 1 << 0 << "wan" << 0 << "0 秒"
                                  << "LAN" << -1 << "LAN";
    QTest::newRow("empty mode") << 0 << 60000000 << "" << -1 << "60000 秒"
                                << "LAN" << 60000000 << "LAN";
  }
  void OpensWithTheRecordAndReturnsItOnOk() {
    QFETCH(int, ipGetOnly);
    QFETCH(int, sleep);
    QFETCH(QString, ipMode);
    QFETCH(int, pick);
    QFETCH(QString, shownTimer);
    QFETCH(QString, shownIp);
    Settings record = kRecord;
    record.Sleep = sleep;
    record.IPMode = ipMode.toStdString();
    record.IsIpGetOnly = ipGetOnly;
    Shown dialog(record);
    const QList<int> greyed = ipGetOnly ? kPublishing : QList<int>();
    QCOMPARE(Disabled(dialog), greyed);
    Click(dialog, IDC_IP_GET_ONLY);
    QCOMPARE(Disabled(dialog), ipGetOnly ? QList<int>() : kPublishing);
    Click(dialog, IDC_IP_GET_ONLY);
    QCOMPARE(Disabled(dialog), greyed);
    for (const auto& [id, field] : kEditFields) {
      QCOMPARE(Edit(dialog, id)->text(), QString::fromStdString(record.*field));
    }
    QCOMPARE(List(dialog, IDC_SLEEP)->currentText(), shownTimer);
    QCOMPARE(List(dialog, IDC_IP_MODE)->currentText(), shownIp);
    if (pick >= 0) {
      List(dialog, IDC_SLEEP)->setCurrentIndex(pick);
    }
    Click(dialog, 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QFETCH(int, storedSleep);
    QFETCH(QString, storedIp);
    record.Sleep = storedSleep;
    record.IPMode = storedIp.toStdString();
    QVERIFY(dialog.GetSettings() == record);
  }

  // Cancel hands nothing back, and the next opening shows the record it is
  // given, not what was typed into the one cancelled.
  void CancelReturnsNothingAndTheNextOpeningStartsAfresh() {
    D dialog;
    QTimer::singleShot(0, &dialog, [&] {
      Edit(dialog, IDC_SERVER)->setText("typed.example");
      List(dialog, IDC_SLEEP)->setCurrentIndex(1);
      Click(dialog, IDC_IP_GET_ONLY);
      Click(dialog, 2);
    });
    QVERIFY(!dialog.Edit(kRecord));
    // Read while open, compared once closed, so a failure cannot leave the
    // dialog waiting.
    QString server, timer;
    QList<int> disabled;
    QTimer::singleShot(0, &dialog, [&] {
      server = Edit(dialog, IDC_SERVER)->text();
      timer = List(dialog, IDC_SLEEP)->currentText();
      disabled = Disabled(dialog);
      Click(dialog, 1);
    });
    QVERIFY(dialog.Edit(kRecord) == kRecord);
    QCOMPARE(server, QString::fromStdString(kRecord.Server));
    QCOMPARE(timer, QString("600 秒"));
    QCOMPARE(disabled, QList<int>());
  }

  // An SFTP server's unknown key is asked about once, with its fingerprint,
  // and kept only on Yes, beside the settings; a changed key is warned of
  // and never kept.
  void AsksAboutAnSftpServersHostKeyOnOk() {
    test::SshdServer server;
    if (!server.Started()) {
      QSKIP(server.Error().c_str());
    }
    test::TempDir config{"tavro-config"};
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.Path().string()));
    const auto knownHosts = config / "Quillbet" / "known_hosts";
    Settings record = kRecord;
    record.Server = server.Address();
    const auto accept = [&](int answer) {
      Shown dialog(record);
      MessageBoxes::SetNextAnswer(answer);
      Click(dialog, 1);
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    };

    accept(IDNO);
    auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].Text.contains(QString::fromStdString(server.Fingerprint())),
             qPrintable(shown[0].Text));
    QVERIFY(shown[0].Text.contains("ssh-ed25519"));
    QCOMPARE(shown[0].Style, MB_YESNO | MB_ICONQUESTION);
    QVERIFY(!std::filesystem::exists(knownHosts));

    accept(IDYES);
    QCOMPARE(MessageBoxes::TakeShown().size(), 1);
    QCOMPARE(test::ReadFileBytes(knownHosts), server.KnownHostsLine());
    accept(IDOK);  // known now: no box takes the answer
    QCOMPARE(MessageBoxes::PendingAnswers(), 1);
    QCOMPARE(MessageBoxes::TakeShown().size(), 0);
    MessageBoxes::AnswerInAdvance(true);  // drops the answer no box took

    std::ofstream(knownHosts, std::ios::trunc) << server.ForeignKnownHostsLine();
    const std::string foreign = test::ReadFileBytes(knownHosts);
    accept(IDOK);
    shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].Style, MB_OK | MB_ICONWARNING);
    QVERIFY(shown[0].Text.contains(QString::fromStdString(server.Fingerprint())));
    QCOMPARE(test::ReadFileBytes(knownHosts), foreign);
    if (oldConfig.isNull()) {
      qunsetenv("XDG_CONFIG_HOME");
    } else {
      qputenv("XDG_CONFIG_HOME", oldConfig);
    }
  }

  // Which texts each field refuses is the settings test's; here a refusal
  // keeps the dialog open on what was typed, and the mended text is taken.
  void RefusesTextsThatWouldNotLoadBack() {
    const int id = IDC_OFFLINE_FILE;
    const QString text = "/home/u/〜/off.html";  // comes back as another character
    Shown dialog;
    Edit(dialog, IDC_USER)->setText("typed user");
    Edit(dialog, id)->setText(text);
    MessageBoxes::SetNextAnswer(IDOK);
    Click(dialog, 1);
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QVERIFY(shown[0].Owner == &dialog);
    QVERIFY2(shown[0].Text.contains("オフライン"), qPrintable(shown[0].Text));
    QVERIFY(dialog.isVisible());
    QCOMPARE(Edit(dialog, id)->text(), text);
    QCOMPARE(Edit(dialog, IDC_USER)->text(), QString("typed user"));

    Edit(dialog, id)->setText("mended");
    Click(dialog, 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.GetSettings().User, std::string("typed user"));
  }

  // A local browse fills its own field (Cancel keeps the field as typed) and
  // keeps what was typed elsewhere.
  void LocalBrowseKeepsWhatWasTyped_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("answer");  // empty: cancelled
    QTest::newRow("online, chosen")
        << IDC_BROWSE_ONLINE_FILE << IDC_ONLINE_FILE << "/home/u/ページ/page.html";
    QTest::newRow("offline, cancelled")
        << IDC_BROWSE_OFFLINE_FILE << IDC_OFFLINE_FILE << QString();
  }
  void LocalBrowseKeepsWhatWasTyped() {
    QFETCH(int, button);
    QFETCH(int, field);
    QFETCH(QString, answer);
    Shown dialog;
    // Typed at the end of the field, which the opening has focused.
    Edit(dialog, IDC_SERVER)->end(false);
    QTest::keyClicks(Edit(dialog, IDC_SERVER), ".typed");
    Edit(dialog, field)->setText("typed file");
    FileDialogs::SetNextAnswer(answer.isEmpty() ? std::nullopt : std::optional(answer));
    Click(dialog, button);
    const auto requests = FileDialogs::TakeShown();
    QCOMPARE(requests.size(), 1);
    QVERIFY(requests[0].Type == FileDialogRequest::Kind::Open && requests[0].Owner == &dialog);
    QVERIFY(requests[0].InitialName.isEmpty() && requests[0].Filters.isEmpty());

    Click(dialog, 1);
    const QString expected = answer.isEmpty() ? "typed file" : answer;
    QCOMPARE(QString::fromStdString(dialog.GetSettings().*kEditFields.at(field)), expected);
    QCOMPARE(dialog.GetSettings().Server, std::string("ftp.example.jp.typed"));
  }

  // Both password fields hide what is typed, from the eye and from what a
  // screen reader is told; the settings dialog's box shows it on request,
  // and fits beside the field without cutting its text.
  void PasswordsAreHidden() {
    Shown dialog;
    CFtpBrowserDialog browser;
    browser.show();
    QLineEdit* browserField = browser.Controls().Control<QLineEdit>(IDC_PASSWORD);
    browserField->setText(QString::fromStdString(kRecord.Password));
    const QString secret = QString::fromStdString(kRecord.Password);
    for (QLineEdit* field : {Edit(dialog, IDC_PASSWORD), browserField}) {
      QCOMPARE(field->text(), secret);
      QCOMPARE(field->echoMode(), QLineEdit::Password);
      QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(field);
      QVERIFY(reader);
      QCOMPARE(reader->role(), QAccessible::EditableText);
      QVERIFY(reader->state().passwordEdit);
      QCOMPARE(reader->text(QAccessible::Name), QString("パスワード"));
      QVERIFY(!reader->text(QAccessible::Value).contains(QString("pass")));
      QAccessibleTextInterface* text = reader->textInterface();
      QVERIFY(text);
      QVERIFY(!text->text(0, text->characterCount()).contains(QString("pass")));
    }
    auto* show = dialog.Ui().Control<QCheckBox>(IDC_SHOW_PASSWORD);
    QVERIFY(show);
    QCOMPARE(show->text(), QString("表示(&V)"));
    show->click();
    QCOMPARE(Edit(dialog, IDC_PASSWORD)->echoMode(), QLineEdit::Normal);
    // Inside the frame, clear of every other control, its text uncut.
    QVERIFY(show->width() >= show->sizeHint().width());
    QVERIFY(dialog.Ui().ControlWidget(IDC_FTP_GROUP)->geometry().contains(show->geometry()));
    for (QWidget* other : dialog.Ui().Client()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (other != show && !qobject_cast<QGroupBox*>(other) && other->isVisible()) {
        QVERIFY2(!other->geometry().intersects(show->geometry()), qPrintable(other->objectName()));
      }
    }
    // The next opening hides it again.
    dialog.reject();
    dialog.show();
    QVERIFY(!show->isChecked());
    QCOMPARE(Edit(dialog, IDC_PASSWORD)->echoMode(), QLineEdit::Password);
  }

  // A keyboard user: the dialog opens on its first field, Tab walks the
  // layout top to bottom and left to right with every button on the way, and
  // each label's access key reaches its field without clashing with another.
  void KeyboardReachesEveryControl_data() {
    QTest::addColumn<int>("ipGetOnly");
    QTest::addColumn<QList<int>>("chain");
    QTest::newRow("publishing") << 0
                                << QList<int>{IDC_SERVER,
                                              IDC_USER,
                                              IDC_PASSWORD,
                                              IDC_SHOW_PASSWORD,
                                              IDC_FTP_FILE,
                                              IDC_BROWSE_FTP_FILE,
                                              IDC_ONLINE_FILE,
                                              IDC_BROWSE_ONLINE_FILE,
                                              IDC_OFFLINE_FILE,
                                              IDC_BROWSE_OFFLINE_FILE,
                                              IDC_TRACE,
                                              IDC_SLEEP,
                                              IDC_IP_MODE,
                                              IDC_CREATE_WWW_OPEN,
                                              IDC_IP_GET_ONLY,
                                              1,
                                              2};
    // The greyed fields are passed over; the first field left is the mail server.
    QTest::newRow("address only") << 1
                                  << QList<int>{IDC_TRACE, IDC_SLEEP, IDC_IP_MODE,
                                                IDC_IP_GET_ONLY, 1, 2};
  }
  void KeyboardReachesEveryControl() {
    QFETCH(int, ipGetOnly);
    QFETCH(QList<int>, chain);
    Settings record = kRecord;
    record.IsIpGetOnly = ipGetOnly;
    Shown dialog(record);
    QCOMPARE(test::TabChain(&dialog), chain);
    if (ipGetOnly == 0) {
      const QString problems = test::CheckAccessKeys(&dialog, dialog.Ui().Client());
      QVERIFY2(problems.isEmpty(), qPrintable(problems));
    }
    // The label names a mail server only: the other kinds of source and the
    // list form reach a screen reader as well as the mouse.
    const QWidget* trace = dialog.Ui().ControlWidget(IDC_TRACE);
    QVERIFY(trace->accessibleDescription().contains("stun:"));
    QVERIFY(trace->accessibleDescription().contains("空白で区切って"));
    QCOMPARE(trace->toolTip(), trace->accessibleDescription());
    // Enter on the browse button opens the browser, as a click does.
    bool browsed = false;
    dialog.SetFtpBrowserOpener([&](QWidget*, const FtpAccount&) {
      browsed = true;
      return std::optional<FtpBrowseResult>();
    });
    if (ipGetOnly == 0) {
      QWidget* browse = dialog.Ui().ControlWidget(IDC_BROWSE_FTP_FILE);
      browse->setFocus();
      QTest::keyClick(browse, Qt::Key_Space);
      QVERIFY(browsed);
    }
  }

  // The address-only box greys the publishing fields however it changes:
  // a screen reader's toggle action, a program's setChecked, a click.
  void AddressOnlyFollowsEveryToggle() {
    Shown dialog;
    auto* box = dialog.Ui().Control<QCheckBox>(IDC_IP_GET_ONLY);
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(box);
    QVERIFY(reader && reader->actionInterface());
    const QString toggle = QAccessibleActionInterface::toggleAction();
    QVERIFY(reader->actionInterface()->actionNames().contains(toggle));
    reader->actionInterface()->doAction(toggle);
    QVERIFY(box->isChecked());
    QCOMPARE(Disabled(dialog), kPublishing);
    box->setChecked(false);
    QCOMPARE(Disabled(dialog), QList<int>());
    QTest::keyClick(box, Qt::Key_Space);
    QCOMPARE(Disabled(dialog), kPublishing);
  }

  // The timer and address lists show their longest item whole in the
  // dialog's font, and stay clear of each other and of the window's edge.
  void ListsShowTheirLongestItem() {
    Shown dialog;
    QRect previous;
    for (int id : {IDC_SLEEP, IDC_IP_MODE}) {
      QComboBox* list = List(dialog, id);
      QStyleOptionComboBox option;
      option.initFrom(list);
      option.editable = false;
      const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                        QStyle::SC_ComboBoxEditField, list);
      for (int i = 0; i < list->count(); ++i) {
        QVERIFY2(list->fontMetrics().horizontalAdvance(list->itemText(i)) <= field.width(),
                 qPrintable(list->itemText(i)));
      }
      QVERIFY(list->geometry().right() < dialog.Ui().Client()->width());
      QVERIFY(!list->geometry().intersects(previous));
      previous = list->geometry();
    }
  }

  // The button opens the real browser on the account as typed. Cancel there
  // brings nothing back; a log-on and Open bring back the account as the
  // browser's edits hold it and the chosen path, and keep the other fields.
  void RemoteBrowseThroughTheRealBrowser() {
    VsftpdServer server;
    QVERIFY2(server.Started(), server.Error().c_str());
    Shown dialog;
    Edit(dialog, IDC_SERVER)->setText(QString::fromStdString(server.Address()));
    Edit(dialog, IDC_TRACE)->setText("typed.mail");

    // Mends the account in the browser the button opens, then Open after a
    // log-on, else Cancel, so the test never hangs.
    bool opened = false;
    const auto browse = [&](bool logOn) {
      QTimer::singleShot(0, &dialog, [&, logOn] {
        CFtpBrowserDialog* browser = nullptr;
        if (!QTest::qWaitFor([&] { return (browser = dialog.findChild<CFtpBrowserDialog*>()); },
                             15000)) {
          return;
        }
        const DialogBuilder& ui = browser->Controls();
        QSignalSpy listed(browser, &CFtpBrowserDialog::ListingDone);
        ui.Control<QLineEdit>(IDC_USER)->setText(VsftpdServer::User);
        ui.Control<QLineEdit>(IDC_PASSWORD)->setText(VsftpdServer::Password);
        if (logOn) {
          ui.Control<QLineEdit>(IDC_STARTDIR)->setText("/");
          ui.Control<QAbstractButton>(IDC_TOGGLE)->click();
          opened = QTest::qWaitFor([&] { return listed.count() > 0; }, 30000);
          ui.Control<QLineEdit>(IDC_FILENAME)->setText("index.html");
        }
        ui.Control<QAbstractButton>(opened ? IDOK : IDCANCEL)->click();
      });
      Click(dialog, IDC_BROWSE_FTP_FILE);
    };
    browse(false);
    QCOMPARE(Edit(dialog, IDC_USER)->text(), QString::fromStdString(kRecord.User));
    QCOMPARE(Edit(dialog, IDC_FTP_FILE)->text(), QString::fromStdString(kRecord.FtpFile));
    browse(true);
    QVERIFY(opened);
    Click(dialog, 1);
    Settings expected = kRecord;
    expected.Server = server.Address();
    expected.User = VsftpdServer::User;
    expected.Password = VsftpdServer::Password;
    expected.FtpFile = "//index.html";
    expected.Trace = "typed.mail";
    QVERIFY(dialog.GetSettings() == expected);
  }
};

QTEST_MAIN(SettingsDialogTest)
#include "settingsdialog_test.moc"
