// The message log: time stamps, the clearing past 200 lines, the export in
// code page 932 and the full-line box.
#include "ui/MessageLog.h"

#include <QAccessible>
#include <QStyledItemDelegate>
#include "support/TextFiles.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include <fstream>

using namespace tavro;

namespace {

struct LogWindow {
  QWidget Window;
  QListWidget* List = new QListWidget(&Window);
  MessageLog Log{&Window, List};
  QTemporaryDir Dir;

  LogWindow() {
    MessageBoxes::AnswerInAdvance(true);
    FileDialogs::AnswerInAdvance(true);
    Log.SetClock([] { return QDateTime(QDate(2003, 3, 7), QTime(9, 4, 5)); });
  }
  ~LogWindow() {
    MessageBoxes::AnswerInAdvance(false);
    FileDialogs::AnswerInAdvance(false);
  }
  QString Path(const char* name) const { return Dir.filePath(name); }
  std::string Export(const QString& path) {
    FileDialogs::SetNextAnswer(path);
    Log.WriteLog();
    return test::ReadFileBytes(path.toStdString());
  }
};

}  // namespace

class MessageLogTest : public QObject {
  Q_OBJECT

private slots:
  // Stamped and newest first; past 200 lines the log starts again from a
  // notice. The export: newest first, code page 932, CR LF after every line,
  // a server reply's own CR LF removed; the notice has no time.
  void ExportWritesCodePage932WithCrLf() {
    LogWindow w;
    for (int i = 0; i < 200; ++i) {
      w.Log.AddMessage(QString("x"));
    }
    w.Log.AddMessage(std::string_view("201st"));
    QCOMPARE(w.List->count(), 201);
    QCOMPARE(w.Log.Items().first(), QString("2003-03-07 09:04:05 201st"));
    w.Log.AddMessage(QString("Msg: 接続"));
    w.Log.AddMessage(QString("226 Transfer complete.\r\n"));
    w.Log.AddMessage(QString("a\n\r\n"));
    QVERIFY(w.List->selectedItems().isEmpty());
    const std::string stamp = "2003-03-07 09:04:05 ";
    const std::string notice =
        "\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\x82\xaa"
        "200"
        "\x8d\x73\x82\xf0\x92\xb4\x82\xa6\x82\xdc\x82\xb5\x82\xbd\x82\xcc\x82\xc5\x8d\xed"
        "\x8f\x9c\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
    QCOMPARE(w.Export(w.Path("log.txt")), stamp + "a\r\n" + stamp + "226 Transfer complete.\r\n" +
                                              stamp + "Msg: \x90\xda\x91\xb1\r\n" + notice +
                                              "\r\n");
    const auto asked = FileDialogs::TakeShown();
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked[0].InitialName, QString("log.txt"));
    QCOMPARE(asked[0].DefaultSuffix, QString("txt"));
    QCOMPARE(asked[0].Filters, QStringList({"TXT (*.txt)"}));
    QVERIFY(asked[0].ConfirmOverwrite);
    QCOMPARE(asked[0].Owner, &w.Window);
    QVERIFY(MessageBoxes::TakeShown().isEmpty());
  }

  // An empty log empties the chosen file; Cancel writes nothing; a failure
  // shows one box, not one per line.
  void ExportOutcomes_data() {
    QTest::addColumn<int>("lines");
    QTest::addColumn<QString>("path");  // "-": cancelled; "": the folder itself
    QTest::addColumn<QString>("box");
    QTest::newRow("empty log") << 0 << "old.txt" << QString();
    QTest::newRow("cancelled") << 1 << "-" << QString();
    QTest::newRow("cannot be created") << 2 << ""
                                       << "ログファイルを作成するのに失敗しました。";
    QTest::newRow("disk full") << 2 << "/dev/full"
                               << "/dev/full へのアクセス中にディスクがいっぱいになりました。";
  }
  void ExportOutcomes() {
    QFETCH(int, lines);
    QFETCH(QString, path);
    QFETCH(QString, box);
    LogWindow w;
    for (int i = 0; i < lines; ++i) {
      w.Log.AddMessage(QString("x"));
    }
    std::ofstream(w.Path("old.txt").toStdString()) << "earlier content";
    if (path == "-") {
      FileDialogs::SetNextAnswer(std::nullopt);
    } else {
      FileDialogs::SetNextAnswer(path.isEmpty() ? w.Dir.path() : QDir(w.Dir.path()).filePath(path));
    }
    w.Log.WriteLog();
    QCOMPARE(QDir(w.Dir.path()).entryList(QDir::Files).size(), 1);
    const std::string kept = path == "old.txt" ? "" : "earlier content";
    QCOMPARE(test::ReadFileBytes(w.Path("old.txt").toStdString()), kept);
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty()) {
      QCOMPARE(shown[0].Text, box);
      QCOMPARE(shown[0].Owner, &w.Window);
      QCOMPARE(shown[0].Caption, QString("messagelog_test"));
    }
    QCOMPARE(w.List->count(), lines);
  }

  // A reply's line end stays in the item but must not make its row taller;
  // a double click shows the whole selected line.
  void DoubleClickShowsTheWholeSelectedLine() {
    LogWindow w;
    w.List->resize(400, 300);
    w.Log.AddMessage(QString("plain"));
    w.Log.AddMessage(QString("221 Goodbye.\r\n"));
    w.Window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.Window));
    QCOMPARE(w.List->visualItemRect(w.List->item(0)).height(),
             w.List->visualItemRect(w.List->item(1)).height());
    // Drawn and read out without the line end; the item keeps it.
    struct Case {
      int Row;
      QString Shown;
    };
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(w.List);
    QVERIFY(reader);
    for (const Case& c : {Case{0, "2003-03-07 09:04:05 221 Goodbye."},
                          Case{1, "2003-03-07 09:04:05 plain"}}) {
      auto* delegate = qobject_cast<QStyledItemDelegate*>(w.List->itemDelegate());
      QVERIFY(delegate);
      QCOMPARE(delegate->displayText(w.List->item(c.Row)->text(), QLocale()), c.Shown);
      QAccessibleInterface* row = reader->child(c.Row);
      QVERIFY(row);
      QCOMPARE(row->text(QAccessible::Name), c.Shown);
    }
    QCOMPARE(w.List->item(0)->text(), QString("2003-03-07 09:04:05 221 Goodbye.\r\n"));
    w.Log.ShowSelected();
    QVERIFY(MessageBoxes::TakeShown().isEmpty());
    w.List->setCurrentRow(0);
    MessageBoxes::SetNextAnswer(IDOK);
    emit w.List->itemDoubleClicked(w.List->item(0));
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].Text, QString("2003-03-07 09:04:05 221 Goodbye.\r\n"));
    QCOMPARE(shown[0].Style, 0u);
  }
};

QTEST_MAIN(MessageLogTest)
#include "messagelog_test.moc"
