// Templates and menus become the widgets they describe: parsing, the dialog
// unit arithmetic for a known font, ids, labels and commands.
#include "ui/DialogBuilder.h"
#include "ui/Fonts.h"

#include <QCheckBox>
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
control 1  defbutton 50 44 20 10 "OK"
control 2  button    72 44 20 10 "ｷｬﾝｾﾙ"
control 15 checkbox  2 44 40 10 "チェック"
control 16 radio     2 52 20 8  "A" group
control 17 radio     24 52 20 8 "B"
control 18 radio     50 52 20 8 "C" group
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
    QTest::newRow("label for a word")
        << head + "control - static 0 0 1 1 \"\" for=x" << 4 << "numeric";
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
    QVERIFY(DialogTemplateIds().contains(103));
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

    builder.Control<QPushButton>(1)->click();
    builder.Control<QCheckBox>(15)->click();
    QCOMPARE(commands, QList<int>({1, 15}));
    QVERIFY(builder.Control<QPushButton>(1)->isDefault());
    // The frame lies over the edits but must not hide them or take their clicks.
    QWidget* edit = builder.Control<QLineEdit>(11);
    QCOMPARE(builder.Client()->childAt(edit->geometry().center()), edit);
    builder.Control<QRadioButton>(16)->click();
    builder.Control<QRadioButton>(17)->click();
    builder.Control<QRadioButton>(18)->click();
    QVERIFY(!builder.Control<QRadioButton>(16)->isChecked());
    QVERIFY(builder.Control<QRadioButton>(17)->isChecked());
    QVERIFY(builder.Control<QRadioButton>(18)->isChecked());
  }

  void MainWindowTemplateHasItsControlsFontAndMenu() {
    QDialog window;
    DialogBuilder builder;
    QList<int> commands;
    builder.Build(&window, 103, [&](int id) { commands.append(id); });
    QCOMPARE(window.windowTitle(), QString("Tavro"));
    for (int id : {1045, 1046}) {
      auto* field = builder.Control<QLineEdit>(id);
      QVERIFY(field);
      QVERIFY(field->isReadOnly());
      QCOMPARE(field->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    }
    QCOMPARE(builder.Control<QLineEdit>(1046)->accessibleName(), QString("LAN"));
    QCOMPARE(builder.Control<QLineEdit>(1045)->accessibleName(), QString("WAN"));
    QVERIFY(builder.Control<QListWidget>(10031));
    QVERIFY(!builder.Control<QLineEdit>(10031));  // wrong type: not found
    QCOMPARE(FindControl<QListWidget>(&window, 10031), builder.Control<QListWidget>(10031));
    QCOMPARE(builder.Client()->size(), builder.Units().ToPixels(QSize(225, 75)));

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
    QCOMPARE(run[3], builder.MenuItem(32780));
    for (int id : {1, 32778, 32779, 32780, 32783, 32773, 32784, 32785, 32786}) {
      QVERIFY(builder.MenuItem(id));
      builder.MenuItem(id)->trigger();
    }
    QCOMPARE(commands, QList<int>({1, 32778, 32779, 32780, 32783, 32773, 32784, 32785, 32786}));
  }

  void WithoutAHandlerOkAndCancelCloseTheDialog() {
    for (int id : {1, 2}) {
      QDialog window;
      DialogBuilder builder;
      builder.Build(&window, Parse(kFixedDialog));
      window.show();
      builder.Control<QPushButton>(id)->click();
      QCOMPARE(window.result(), id == 1 ? int(QDialog::Accepted) : int(QDialog::Rejected));
      QVERIFY(!window.isVisible());
    }
  }
};

QTEST_MAIN(DialogBuilderTest)
#include "dialogbuilder_test.moc"
