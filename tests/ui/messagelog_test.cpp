// The message log: time stamps, the clearing past 200 lines, the export in
// code page 932 and the full-line box.
#include "ui/MessageLog.h"
#include "support/TextFiles.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include <filesystem>

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
  void LinesAreStampedAndNewestFirst() {
    LogWindow w;
    w.Log.AddMessage(QString("Msg: 一"));
    w.Log.AddMessage(std::string_view("Err: two"));
    QCOMPARE(w.Log.Items(),
             QStringList({"2003-03-07 09:04:05 Err: two", "2003-03-07 09:04:05 Msg: 一"}));
    QVERIFY(w.List->selectedItems().isEmpty());
  }

  void ClearsOnlyPastTwoHundredLines() {
    LogWindow w;
    for (int i = 0; i < 200; ++i) {
      w.Log.AddMessage(QString::number(i));
    }
    w.Log.AddMessage(QString("201st"));
    QCOMPARE(w.List->count(), 201);
    w.Log.AddMessage(QString("202nd"));
    QCOMPARE(w.Log.Items(), QStringList({"2003-03-07 09:04:05 202nd",
                                         "メッセージが200行を超えましたので削除しました。"}));
  }

  // Newest first, code page 932, CR LF after every line, a server reply's own
  // CR LF removed; the clearing notice has no time.
  void ExportWritesCodePage932WithCrLf() {
    LogWindow w;
    for (int i = 0; i < 201; ++i) {
      w.Log.AddMessage(QString("x"));
    }
    w.Log.AddMessage(QString("Msg: 接続"));
    w.Log.AddMessage(QString("226 Transfer complete.\r\n"));
    w.Log.AddMessage(QString("a\n\r\n"));
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

  void ExportOfAnEmptyLogReplacesTheFileWithNothing() {
    LogWindow w;
    QFile old(w.Path("old.txt"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("earlier content");
    old.close();
    QCOMPARE(w.Export(w.Path("old.txt")), std::string());
  }

  void CancelWritesNothing() {
    LogWindow w;
    w.Log.AddMessage(QString("x"));
    FileDialogs::SetNextAnswer(std::nullopt);
    w.Log.WriteLog();
    QVERIFY(QDir(w.Dir.path()).isEmpty());
    QVERIFY(MessageBoxes::TakeShown().isEmpty());
  }

  void FailuresAreShownInABox_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    QTest::newRow("cannot be created") << ""
                                       << "ログファイルを作成するのに失敗しました。";
    QTest::newRow("disk full") << "/dev/full"
                               << "/dev/full へのアクセス中にディスクがいっぱいになりました。";
  }
  void FailuresAreShownInABox() {
    QFETCH(QString, path);
    QFETCH(QString, text);
    LogWindow w;
    w.Log.AddMessage(QString("x"));
    w.Log.AddMessage(QString("y"));
    // An empty path stands for the temporary folder itself: a folder cannot
    // be opened as a file.
    FileDialogs::SetNextAnswer(path.isEmpty() ? w.Dir.path() : path);
    w.Log.WriteLog();
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);  // one box, not one per line
    QCOMPARE(shown[0].Text, text);
    QCOMPARE(shown[0].Owner, &w.Window);
    QCOMPARE(shown[0].Caption, QString("messagelog_test"));
    QCOMPARE(w.List->count(), 2);
  }

  void DoubleClickShowsTheWholeSelectedLine() {
    LogWindow w;
    w.Log.AddMessage(QString("221 Goodbye.\r\n"));
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

  // A reply's line end stays in the item but must not make its row taller.
  void ServerLineEndsDoNotBreakTheRow() {
    LogWindow w;
    w.Window.resize(400, 300);
    w.List->resize(400, 300);
    w.Log.AddMessage(QString("plain"));
    w.Log.AddMessage(QString("226 OK\r\n"));
    w.Window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.Window));
    QCOMPARE(w.List->item(0)->text(), QString("2003-03-07 09:04:05 226 OK\r\n"));
    QCOMPARE(w.List->visualItemRect(w.List->item(0)).height(),
             w.List->visualItemRect(w.List->item(1)).height());
  }
};

QTEST_MAIN(MessageLogTest)
#include "messagelog_test.moc"
