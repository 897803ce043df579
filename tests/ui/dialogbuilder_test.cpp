// Templates and menus become the widgets they describe: parsing, the dialog
// unit arithmetic for a known font, ids, labels and commands.
#include "ui/DialogBuilder.h"
#include "ui/Fonts.h"
#include "ui/ResourceIds.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRawFont>
#include <QtTest>

#include <algorithm>

using namespace tavro;

namespace {

DialogTemplate Parse(const QString& text) {
  DialogTemplate dialog;
  const auto error = ParseDialogTemplate(text, dialog);
  if (error) {
    qWarning("line %d: %s", error->Line, qPrintable(error->Message));
  }
  return dialog;
}

const char* const kFixedDialog = R"(
dialog 900
caption "Units"
size 100 60
font 9 "FIXED SYS"
style caption sysmenu
control 11 edit      4 8 40 16  "" border tabstop
control 12 edit      3 5 7 3    "" tabstop
control -  groupbox  0 0 100 40 "枠"
control IDOK=1     defbutton 50 44 20 10 "OK"
control IDCANCEL=2 button    72 44 20 10 "ｷｬﾝｾﾙ"
control 15 checkbox  2 44 40 10 "チェック"
control 16 radio     2 52 20 8  "A" group
control 17 radio     24 52 20 8 "B"
control 18 radio     50 52 20 8 "C" group
control -  static    60 0 20 8   "名前&N:" for=IDC_NAMED
control IDC_NAMED=19 edit 60 10 20 8 "" disabled
control 20 combobox  60 20 30 40 ""
)";

}  // namespace

class DialogBuilderTest : public QObject {
  Q_OBJECT

private slots:
  void RejectsMalformedTables_data() {
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("reason");
    const QString head = "dialog 1\nsize 10 10\nfont 9 \"F\"\n";
    QTest::newRow("unknown kind") << head + "control 5 slider 0 0 1 1 \"\"" << 4 << "kind";
    QTest::newRow("unknown style") << head + "control 5 edit 0 0 1 1 \"\" readonyl" << 4 << "style";
    QTest::newRow("bare text") << head + "control 5 edit 0 0 1 1 text" << 4 << "quoted";
    QTest::newRow("open quote") << head + "control 5 edit 0 0 1 1 \"abc" << 4 << "closed";
    QTest::newRow("negative width") << head + "control 5 edit 0 0 -1 1 \"\"" << 4 << "rectangle";
    QTest::newRow("twice the same id")
        << head + "control 5 edit 0 0 1 1 \"\"\ncontrol 5 edit 0 0 1 1 \"\"" << 5 << "twice";
    QTest::newRow("label for a name the table lacks")
        << head + "control - static 0 0 1 1 \"\" for=IDC_X\ncontrol IDC_Y=5 edit 0 0 1 1 \"\"" << 4
        << "names no control";
    QTest::newRow("a name for two controls")
        << head + "control IDC_A=5 edit 0 0 1 1 \"\"\ncontrol IDC_A=6 edit 0 0 1 1 \"\"" << 5
        << "twice";
    QTest::newRow("an id line on a control's id")
        << head + "control IDC_A=5 edit 0 0 1 1 \"\"\nid IDC_B=5" << 5 << "twice";
    QTest::newRow("an id line without a name") << head + "id 5" << 4 << "NAME=NUMBER";
    QTest::newRow("a name without a number")
        << head + "control IDC_A= edit 0 0 1 1 \"\"" << 4 << "bad control id";
    QTest::newRow("no font") << "dialog 1\nsize 10 10\n" << 0 << "font";
  }
  void RejectsMalformedTables() {
    QFETCH(QString, table);
    QFETCH(int, line);
    QFETCH(QString, reason);
    DialogTemplate dialog;
    const auto error = ParseDialogTemplate(table, dialog);
    QVERIFY(error);
    QCOMPARE(error->Line, line);
    QVERIFY2(error->Message.contains(reason), qPrintable(error->Message));
  }

  void QuotedTextsKeepQuotesEscapesAndIdeographicSpaces() {
    const DialogTemplate dialog = Parse(
        "dialog 1\nsize 10 10\nfont 9 \"F\"\n"
        "control - static 0 0 1 1 \"a\\\"#####\\\"\u3000b\\\\\"  # comment\n"
        "control 2 listbox 0 0 1 1 \"\" name=\"two words\"\n");
    QCOMPARE(dialog.Controls.size(), 2);
    QCOMPARE(dialog.Controls[0].Text, QString("a\"#####\"\u3000b\\"));
    QCOMPARE(dialog.Controls[1].Value("name"), QString("two words"));
  }

  // Names stand beside the numbers; a label may name its field before the
  // field's line, and the builder sees the number.
  void NamedIdsResolveToTheirNumbers() {
    const DialogTemplate dialog = Parse(
        "dialog IDD_X=900\nsize 10 10\nfont 9 \"F\"\n"
        "control - static 0 0 1 1 \"名前(&N)\" for=IDC_NAME\n"
        "control IDC_NAME=41 edit 0 0 1 1 \"\"\n"
        "control - static 0 0 1 1 \"\" for=41\n"
        "id IDC_LATER=42\n");
    QCOMPARE(dialog.Id, 900);
    QCOMPARE(dialog.Controls.size(), 3);
    QCOMPARE(dialog.Controls[0].Value("for"), QString("41"));
    QCOMPARE(dialog.Controls[1].Id, 41);
    QCOMPARE(dialog.Controls[2].Value("for"), QString("41"));
    QVERIFY(!dialog.Find(42));  // an id line makes no control

    MenuTable menu;
    QVERIFY(!ParseMenuTable("menu IDR_X=7\nitem IDM_A=32000 \"A\"\nitem 5 \"B\"\n", menu));
    QCOMPARE(menu.Id, 7);
    QCOMPARE(menu.Entries[0].Command, 32000);
    QCOMPARE(menu.Entries[1].Command, 5);
  }

  // Scripts drive the program by these numbers (docs/gui.md) and the
  // resources are found by them: a table renumbering one breaks both.
  void NumbersSeenOutsideTheProgramStay() {
    QCOMPARE(IDOK, 1);
    QCOMPARE(IDCANCEL, 2);
    QCOMPARE(IDM_SETTING, 32773);
    QCOMPARE(IDM_PUBLISH, 32778);
    QCOMPARE(IDM_UNPUBLISH, 32779);
    QCOMPARE(IDM_UPDATE, 32780);
    QCOMPARE(IDM_VIEW, 32781);
    QCOMPARE(IDC_BROWSE_FTP_FILE, 1035);
    QCOMPARE(IDC_TOGGLE, 10008);
    QCOMPARE(DialogTemplateIds(), QList<int>({IDD_MAIN, IDD_SETTINGS, IDD_FTP_BROWSER, IDD_ABOUT}));
    QCOMPARE(QList<int>({IDD_MAIN, IDD_SETTINGS, IDD_FTP_BROWSER, IDD_ABOUT}),
             QList<int>({103, 129, 130, 141}));
    QCOMPARE(MenuTableIds(), QList<int>({IDR_MAINMENU, IDR_COMMANDS}));
    QCOMPARE(IDR_MAINMENU, 138);
    QCOMPARE(IDI_APP, 128);
  }

  void MenuTablesNestAndCloseTheirPopups() {
    MenuTable menu;
    QVERIFY(
        !ParseMenuTable("menu 7\nitem 1 \"A\"\npopup \"P\"\n item 2 \"B\"\n separator\n"
                        " popup \"Q\"\n  item 3 \"C\"\n end\nend\nitem 4 \"D\"\n",
                        menu));
    QCOMPARE(menu.Entries.size(), 3);
    QCOMPARE(menu.Entries[1].Children.size(), 3);
    QCOMPARE(menu.Entries[1].Children[2].Children[0].Command, 3);
    QCOMPARE(menu.Entries[2].Command, 4);
    QVERIFY(ParseMenuTable("menu 7\npopup \"P\"\nitem 2 \"B\"\n", menu));
    QVERIFY(ParseMenuTable("menu 7\nend\n", menu));
  }

  // Every compiled-in table parses, names its own id and builds; a label's
  // for= must name a control of the same dialog.
  void EveryCompiledInTableBuilds() {
    QVERIFY(DialogTemplateIds().contains(IDD_MAIN));
    for (int id : DialogTemplateIds()) {
      QDialog window;
      DialogBuilder builder;
      builder.Build(&window, id);
      for (const ControlSpec& row : builder.Template().Controls) {
        if (row.Id != kNoControlId) {
          QVERIFY(builder.ControlWidget(row.Id));
        }
      }
    }
    for (int id : MenuTableIds()) {
      QCOMPARE(LoadMenuTable(id).Id, id);
    }
  }

  // With a fixed-pitch font the average of the 52 letters is the advance of
  // any one of them, so the expected pixels follow from the font alone.
  // Buttons report their ids, frames stay behind, groups part radio sets.
  void FixedPitchDialogUnitsAndControls() {
    QDialog window;
    DialogBuilder builder;
    QList<int> commands;
    builder.Build(&window, Parse(kFixedDialog), [&](int id) { commands.append(id); });
    const QFontMetrics metrics(window.font());
    const int x = metrics.horizontalAdvance(u'x');
    QCOMPARE(metrics.horizontalAdvance(u'W'), x);  // the font is fixed-pitch
    QCOMPARE(metrics.horizontalAdvance(u'i'), x);
    const int y = metrics.height();
    QCOMPARE(builder.Units().X, x);
    QCOMPARE(builder.Units().Y, y);
    QCOMPARE(builder.Control<QLineEdit>(11)->geometry(), QRect(x, y, 10 * x, 2 * y));
    // Odd units round to the nearest pixel, halves up.
    auto round = [](int units, int base, int div) { return (2 * units * base + div) / (2 * div); };
    QCOMPARE(builder.Control<QLineEdit>(12)->geometry(),
             QRect(round(3, x, 4), round(5, y, 8), round(7, x, 4), round(3, y, 8)));
    QCOMPARE(builder.Client()->size(), QSize(25 * x, round(60, y, 8)));

    builder.Control<QPushButton>(IDOK)->click();
    builder.Control<QCheckBox>(15)->click();
    QCOMPARE(commands, QList<int>({IDOK, 15}));
    QVERIFY(builder.Control<QPushButton>(IDOK)->isDefault());
    // The frame lies over the edits but must not hide them or take their clicks.
    QWidget* edit = builder.Control<QLineEdit>(11);
    QCOMPARE(builder.Client()->childAt(edit->geometry().center()), edit);
    builder.Control<QRadioButton>(16)->click();
    builder.Control<QRadioButton>(17)->click();
    builder.Control<QRadioButton>(18)->click();
    QVERIFY(!builder.Control<QRadioButton>(16)->isChecked());
    QVERIFY(builder.Control<QRadioButton>(17)->isChecked());
    QVERIFY(builder.Control<QRadioButton>(18)->isChecked());

    // A label is its field's buddy; styles and the closed box's height.
    auto* named = builder.Control<QLineEdit>(19);
    QVERIFY(!named->isEnabled());
    QCOMPARE(named->accessibleName(), QString("名前N"));
    const QList<QLabel*> labels = builder.Client()->findChildren<QLabel*>();
    QVERIFY(std::any_of(labels.begin(), labels.end(),
                        [&](QLabel* label) { return label->buddy() == named; }));
    auto* combo = builder.Control<QComboBox>(20);
    QCOMPARE(combo->height(), combo->sizeHint().height());
    QVERIFY(combo->height() < round(40, y, 8));
  }

  void MainWindowTemplateHasItsControlsFontAndMenu() {
    QDialog window;
    DialogBuilder builder;
    QList<int> commands;
    builder.Build(&window, IDD_MAIN, [&](int id) { commands.append(id); });
    QCOMPARE(window.windowTitle(), QString("Tavro"));
    for (int id : {IDC_WAN_ADDRESS, IDC_LAN_ADDRESS, IDC_IPV6_ADDRESS}) {
      auto* field = builder.Control<QLineEdit>(id);
      QVERIFY(field);
      QVERIFY(field->isReadOnly());
      QCOMPARE(field->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    }
    QCOMPARE(builder.Control<QLineEdit>(IDC_LAN_ADDRESS)->accessibleName(), QString("LAN"));
    QCOMPARE(builder.Control<QLineEdit>(IDC_WAN_ADDRESS)->accessibleName(), QString("WAN"));
    QCOMPARE(builder.Control<QLineEdit>(IDC_IPV6_ADDRESS)->accessibleName(), QString("IPv6"));
    QVERIFY(builder.Control<QListWidget>(IDC_LOG));
    QVERIFY(!builder.Control<QLineEdit>(IDC_LOG));  // wrong type: not found
    QCOMPARE(FindControl<QListWidget>(&window, IDC_LOG), builder.Control<QListWidget>(IDC_LOG));
    QCOMPARE(builder.Client()->size(), builder.Units().ToPixels(QSize(225, 95)));

    // The Japanese captions are drawn from a face that has their glyphs.
    if (QFontDatabase::families().contains("IPAPGothic")) {
      QCOMPARE(window.font().family(), QString("IPAPGothic"));
    }
    const QRawFont raw = QRawFont::fromFont(window.font());
    for (QChar c : QString("終了実行公開ﾌｧｲﾙ")) {
      QVERIFY2(raw.supportsCharacter(c), qPrintable(QString(c)));
    }

    const QList<QAction*> top = builder.MenuBar()->actions();
    QStringList texts;
    for (QAction* action : top) {
      texts.append(action->text());
    }
    QCOMPARE(texts, QStringList({"終了(&X)", "実行(&R)", "コピー(&C)", "設定(&S)", "ヘルプ(&H)"}));
    const QList<QAction*> run = top[1]->menu()->actions();
    QCOMPARE(run.size(), 4);
    QVERIFY(run[2]->isSeparator());
    QCOMPARE(run[3], builder.MenuItem(IDM_UPDATE));
    const QList<int> items = {IDOK,        IDM_PUBLISH, IDM_UNPUBLISH, IDM_UPDATE, IDM_COPY,
                              IDM_SETTING, IDM_HELP,    IDM_VERSION,   IDM_PROJECT};
    for (int id : items) {
      QVERIFY(builder.MenuItem(id));
      builder.MenuItem(id)->trigger();
    }
    QCOMPARE(commands, items);
  }

  void WithoutAHandlerOkAndCancelCloseTheDialog() {
    for (int id : {IDOK, IDCANCEL}) {
      QDialog window;
      DialogBuilder builder;
      builder.Build(&window, Parse(kFixedDialog));
      window.show();
      builder.Control<QPushButton>(id)->click();
      QCOMPARE(window.result(), id == IDOK ? int(QDialog::Accepted) : int(QDialog::Rejected));
      QVERIFY(!window.isVisible());
    }
  }
};

QTEST_MAIN(DialogBuilderTest)
#include "dialogbuilder_test.moc"
