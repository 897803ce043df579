// The settings dialog driven as a user drives it: what each opening shows,
// what OK hands back, the switch that greys the publishing controls, the
// browse buttons and the refusal of texts the settings file cannot hold.
#include "ui/CSettingsDialog.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <map>

using namespace tavro;
using D = CSettingsDialog;

namespace {

Settings Record() {
  Settings s;
  s.Server = "ftp.example.jp";
  s.User = "ユーザー";
  s.Password = "秘密 pass";
  s.FtpFile = "/public_html/ip.html";
  s.OnlineFile = "/home/u/オンライン.html";
  s.OfflineFile = "/home/u/offline.html";
  s.Trace = "mail.example.jp:2525";
  s.IPMode = "WAN";
  s.Sleep = 600000;
  s.IsCreateWwwOpen = 1;
  s.IsIpGetOnly = 0;
  return s;
}

// Which edit shows which field, as the layout labels them.
const std::map<int, std::string Settings::*> kEditFields = {
    {D::IDC_SERVER, &Settings::Server},
    {D::IDC_USER, &Settings::User},
    {D::IDC_PASSWORD, &Settings::Password},
    {D::IDC_FTP_FILE, &Settings::FtpFile},
    {D::IDC_ONLINE_FILE, &Settings::OnlineFile},
    {D::IDC_OFFLINE_FILE, &Settings::OfflineFile},
    {D::IDC_TRACE, &Settings::Trace},
};

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
QLineEdit* Edit(const D& dialog, int id) {
  return dialog.Ui().Control<QLineEdit>(id);
}
QComboBox* List(const D& dialog, int id) {
  return dialog.Ui().Control<QComboBox>(id);
}
void Click(const D& dialog, int id) {
  dialog.Ui().Control<QAbstractButton>(id)->click();
}

// Ids of the controls that are greyed, labels included (they have no id).
QList<int> Disabled(const D& dialog) {
  QList<int> ids;
  for (QWidget* w : dialog.Ui().Client()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
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

  // What an opening shows and what OK returns, with the timer item the user
  // picks (-1: none) before OK.
  void OpensWithTheRecordAndReturnsItOnOk_data() {
    QTest::addColumn<int>("sleep");
    QTest::addColumn<QString>("ipMode");
    QTest::addColumn<int>("pick");
    QTest::addColumn<QString>("shownTimer");
    QTest::addColumn<QString>("shownIp");
    QTest::addColumn<int>("storedSleep");
    QTest::addColumn<QString>("storedIp");
    QTest::newRow("listed timer") << 60000 << "WAN" << -1 << "60 秒"
                                  << "WAN" << 60000 << "WAN";
    QTest::newRow("never") << -1 << "LAN" << -1 << "停止"
                           << "LAN" << -1 << "LAN";
    QTest::newRow("longest") << 60000000 << "WAN" << -1 << "60000 秒"
                             << "WAN" << 60000000 << "WAN";
    QTest::newRow("unlisted becomes never") << 5000 << "WAN" << -1 << "停止"
                                            << "WAN" << -1 << "WAN";
    QTest::newRow("unlisted, user picks 6 s") << 5000 << "WAN" << 2 << "停止"
                                              << "WAN" << 6000 << "WAN";
    QTest::newRow("zero, user picks never") << 0 << "WAN" << 0 << "0 秒"
                                            << "WAN" << -1 << "WAN";
    QTest::newRow("lower case is not WAN") << 0 << "wan" << -1 << "0 秒"
                                           << "LAN" << 0 << "LAN";
    QTest::newRow("empty mode") << 0 << "" << -1 << "0 秒"
                                << "LAN" << 0 << "LAN";
    QTest::newRow("padded mode") << 0 << "WAN " << -1 << "0 秒"
                                 << "LAN" << 0 << "LAN";
  }
  void OpensWithTheRecordAndReturnsItOnOk() {
    QFETCH(int, sleep);
    QFETCH(QString, ipMode);
    QFETCH(int, pick);
    Settings record = Record();
    record.Sleep = sleep;
    record.IPMode = ipMode.toStdString();

    D dialog;
    dialog.SetSettings(record);
    dialog.show();
    for (const auto& [id, field] : kEditFields) {
      QCOMPARE(Edit(dialog, id)->text(), QString::fromStdString(record.*field));
    }
    QFETCH(QString, shownTimer);
    QFETCH(QString, shownIp);
    QCOMPARE(List(dialog, D::IDC_SLEEP)->currentText(), shownTimer);
    QCOMPARE(List(dialog, D::IDC_IP_MODE)->currentText(), shownIp);
    QVERIFY(dialog.Ui().Control<QCheckBox>(D::IDC_CREATE_WWW_OPEN)->isChecked());
    QVERIFY(!dialog.Ui().Control<QCheckBox>(D::IDC_IP_GET_ONLY)->isChecked());
    QCOMPARE(List(dialog, D::IDC_SLEEP)->count(), 7);
    QCOMPARE(List(dialog, D::IDC_IP_MODE)->count(), 2);

    if (pick >= 0) {
      List(dialog, D::IDC_SLEEP)->setCurrentIndex(pick);
    }
    Click(dialog, 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    Settings expected = record;
    QFETCH(int, storedSleep);
    expected.Sleep = storedSleep;
    QFETCH(QString, storedIp);
    expected.IPMode = storedIp.toStdString();
    QVERIFY(dialog.GetSettings() == expected);
  }

  // The address-only switch greys exactly the publishing controls, at
  // opening and at each click, and never the mail server, lists or buttons.
  void AddressOnlySwitchGreysExactlyThePublishingControls() {
    const QList<int> publishing = {D::IDC_ONLINE_FILE,
                                   D::IDC_FTP_FILE,
                                   D::IDC_BROWSE_ONLINE_FILE,
                                   D::IDC_BROWSE_FTP_FILE,
                                   D::IDC_OFFLINE_FILE,
                                   D::IDC_BROWSE_OFFLINE_FILE,
                                   D::IDC_CREATE_WWW_OPEN,
                                   D::IDC_FTP_GROUP,
                                   D::IDC_SERVER,
                                   D::IDC_USER,
                                   D::IDC_PASSWORD};
    QList<int> sorted = publishing;
    std::sort(sorted.begin(), sorted.end());

    Settings record = Record();
    record.IsIpGetOnly = 1;
    D dialog;
    dialog.SetSettings(record);
    dialog.show();
    QVERIFY(dialog.Ui().Control<QCheckBox>(D::IDC_IP_GET_ONLY)->isChecked());
    QCOMPARE(Disabled(dialog), sorted);
    for (int round = 0; round < 2; ++round) {
      Click(dialog, D::IDC_IP_GET_ONLY);
      QCOMPARE(Disabled(dialog), QList<int>());
      Click(dialog, D::IDC_IP_GET_ONLY);
      QCOMPARE(Disabled(dialog), sorted);
    }
    Click(dialog, 1);
    QCOMPARE(dialog.GetSettings().IsIpGetOnly, 1);
    QCOMPARE(Q(dialog.GetSettings().Server), Q(record.Server));

    // The next opening, switch off, starts with everything usable.
    record.IsIpGetOnly = 0;
    dialog.SetSettings(record);
    dialog.show();
    QCOMPARE(Disabled(dialog), QList<int>());
  }

  // Cancel hands nothing back, and the next opening shows the record it is
  // given, not what was typed into the one cancelled.
  void CancelReturnsNothingAndTheNextOpeningStartsAfresh() {
    const Settings record = Record();
    D dialog;
    QTimer::singleShot(0, &dialog, [&] {
      Edit(dialog, D::IDC_SERVER)->setText("typed.example");
      List(dialog, D::IDC_SLEEP)->setCurrentIndex(1);
      List(dialog, D::IDC_IP_MODE)->setCurrentIndex(1);
      Click(dialog, D::IDC_IP_GET_ONLY);
      Click(dialog, 2);
    });
    QVERIFY(!dialog.Edit(record));

    // Read while open, compared once closed: a failed check must not leave
    // the dialog waiting.
    QString server, timer;
    QList<int> disabled;
    QTimer::singleShot(0, &dialog, [&] {
      server = Edit(dialog, D::IDC_SERVER)->text();
      timer = List(dialog, D::IDC_SLEEP)->currentText();
      disabled = Disabled(dialog);
      dialog.reject();  // Escape and the close box
    });
    QVERIFY(!dialog.Edit(record));
    QCOMPARE(server, Q(record.Server));
    QCOMPARE(timer, QString("600 秒"));
    QCOMPARE(disabled, QList<int>());

    QTimer::singleShot(0, &dialog, [&] { Click(dialog, 1); });
    QVERIFY(dialog.Edit(record) == record);
  }

  // OK with a text the settings file would not give back unchanged names the
  // field, keeps the dialog open with every text as typed, and goes through
  // once the text is mended.
  void RefusesTextsThatWouldNotLoadBack_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named");
    QTest::newRow("256-byte server") << D::IDC_SERVER << QString(256, u'a') << "サーバー";
    QTest::newRow("128 kana in a file name")
        << D::IDC_ONLINE_FILE << QString(128, u'あ') << "オンライン時のファイル";
    QTest::newRow("479-byte password") << D::IDC_PASSWORD << QString(479, u'p') << "パスワード";
    QTest::newRow("no CP932 form") << D::IDC_TRACE << QString("mail.한국.example") << "メール";
  }
  void RefusesTextsThatWouldNotLoadBack() {
    QFETCH(int, id);
    QFETCH(QString, text);
    QFETCH(QString, named);
    D dialog;
    dialog.SetSettings(Record());
    dialog.show();
    Edit(dialog, D::IDC_USER)->setText("typed user");
    Edit(dialog, id)->setText(text);

    MessageBoxes::SetNextAnswer(IDOK);
    Click(dialog, 1);
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QVERIFY(shown[0].Owner == &dialog);
    QVERIFY2(shown[0].Text.contains(named), qPrintable(shown[0].Text));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(Edit(dialog, id)->text(), text);
    QCOMPARE(Edit(dialog, D::IDC_USER)->text(), QString("typed user"));

    Edit(dialog, id)->setText("fixed");
    Click(dialog, 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(Q(dialog.GetSettings().User), QString("typed user"));
  }

  // Each local browse button asks for a file to open and puts the choice in
  // its own field; what was typed elsewhere stays, and Cancel keeps even
  // the field's own typed text.
  void LocalBrowseFillsItsFieldAndKeepsWhatWasTyped_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("answer");  // empty: the user cancels
    QTest::addColumn<QString>("shown");
    const QString chosen = "/home/u/ページ/page.html";
    QTest::newRow("online, chosen")
        << D::IDC_BROWSE_ONLINE_FILE << D::IDC_ONLINE_FILE << chosen << chosen;
    QTest::newRow("online, cancelled")
        << D::IDC_BROWSE_ONLINE_FILE << D::IDC_ONLINE_FILE << QString() << "typed file";
    QTest::newRow("offline, chosen")
        << D::IDC_BROWSE_OFFLINE_FILE << D::IDC_OFFLINE_FILE << chosen << chosen;
    QTest::newRow("offline, cancelled")
        << D::IDC_BROWSE_OFFLINE_FILE << D::IDC_OFFLINE_FILE << QString() << "typed file";
  }
  void LocalBrowseFillsItsFieldAndKeepsWhatWasTyped() {
    QFETCH(int, button);
    QFETCH(int, field);
    QFETCH(QString, answer);
    QFETCH(QString, shown);
    D dialog;
    dialog.SetSettings(Record());
    dialog.show();
    QTest::keyClicks(Edit(dialog, D::IDC_SERVER), ".typed");
    Edit(dialog, field)->setText("typed file");
    List(dialog, D::IDC_SLEEP)->setCurrentIndex(3);

    FileDialogs::SetNextAnswer(answer.isEmpty() ? std::nullopt : std::optional(answer));
    Click(dialog, button);
    const auto requests = FileDialogs::TakeShown();
    QCOMPARE(requests.size(), 1);
    QVERIFY(requests[0].Type == FileDialogRequest::Kind::Open);
    QVERIFY(requests[0].Owner == &dialog);
    QVERIFY(requests[0].InitialName.isEmpty() && requests[0].Filters.isEmpty());
    QCOMPARE(Edit(dialog, field)->text(), shown);
    QCOMPARE(Edit(dialog, D::IDC_SERVER)->text(), QString("ftp.example.jp.typed"));
    QCOMPARE(List(dialog, D::IDC_SLEEP)->currentIndex(), 3);

    Click(dialog, 1);
    QCOMPARE(Q(dialog.GetSettings().Server), QString("ftp.example.jp.typed"));
    QCOMPARE(Q(dialog.GetSettings().*kEditFields.at(field)), shown);
    QCOMPARE(dialog.GetSettings().Sleep, 60000);
  }

  // The remote browse opens the FTP browser with the account as typed and
  // takes back the account and the chosen path only when it closes with
  // Open.
  void RemoteBrowseTakesBackAccountAndPathOnOpenOnly() {
    D dialog;
    QList<FtpAccount> given;
    std::optional<FtpBrowseResult> answer;
    dialog.SetFtpBrowserOpener([&](QWidget* owner, const FtpAccount& account) {
      if (owner != &dialog) {
        qWarning("the browser is not owned by the settings dialog");
      }
      given.append(account);
      return answer;
    });
    dialog.SetSettings(Record());
    dialog.show();
    Edit(dialog, D::IDC_SERVER)->setText("typed.example:2121");
    Edit(dialog, D::IDC_PASSWORD)->setText("typed pw");
    Edit(dialog, D::IDC_TRACE)->setText("typed.mail");

    Click(dialog, D::IDC_BROWSE_FTP_FILE);  // the browser is cancelled
    QCOMPARE(given.size(), 1);
    QCOMPARE(Q(given[0].Server), QString("typed.example:2121"));
    QCOMPARE(Q(given[0].User), QString("ユーザー"));
    QCOMPARE(Q(given[0].Password), QString("typed pw"));
    QCOMPARE(Edit(dialog, D::IDC_FTP_FILE)->text(), QString("/public_html/ip.html"));
    QCOMPARE(Edit(dialog, D::IDC_SERVER)->text(), QString("typed.example:2121"));

    answer = FtpBrowseResult{{"other.example", "他の人", "別"}, "//index.html"};
    Click(dialog, D::IDC_BROWSE_FTP_FILE);
    QCOMPARE(given.size(), 2);
    QCOMPARE(Edit(dialog, D::IDC_SERVER)->text(), QString("other.example"));
    QCOMPARE(Edit(dialog, D::IDC_USER)->text(), QString("他の人"));
    QCOMPARE(Edit(dialog, D::IDC_PASSWORD)->text(), QString("別"));
    QCOMPARE(Edit(dialog, D::IDC_FTP_FILE)->text(), QString("//index.html"));
    QCOMPARE(Edit(dialog, D::IDC_TRACE)->text(), QString("typed.mail"));
  }
};

QTEST_MAIN(SettingsDialogTest)
#include "settingsdialog_test.moc"
