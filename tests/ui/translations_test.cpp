// Qt's own texts as the program shows them after start-up: message box
// buttons and file dialogs in Japanese, and the FTP browser's type names from
// the shared MIME database in Japanese too.
#include "ui/Translations.h"
#include "ftp/FtpEntry.h"
#include "ui/RemoteFileList.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using namespace tavro;

class TranslationsTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { QVERIFY(InstallJapaneseTexts(*QCoreApplication::instance())); }

  void StandardButtonsReadJapanese_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("text");
    QTest::newRow("yes") << int(QMessageBox::Yes) << QString("はい");
    QTest::newRow("no") << int(QMessageBox::No) << QString("いいえ");
    QTest::newRow("cancel") << int(QMessageBox::Cancel) << QString("キャンセル");
    QTest::newRow("ok") << int(QMessageBox::Ok) << QString("OK");
  }
  void StandardButtonsReadJapanese() {
    QFETCH(int, button);
    QFETCH(QString, text);
    QMessageBox box(QMessageBox::Question, "tavro", "?",
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel | QMessageBox::Ok);
    QAbstractButton* shown = box.button(QMessageBox::StandardButton(button));
    QVERIFY(shown);
    QString plain = shown->text();
    plain.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
    QCOMPARE(plain, text);
  }

  void FileDialogsReadJapanese_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::newRow("open") << int(QFileDialog::AcceptOpen) << QString("開く");
    QTest::newRow("save") << int(QFileDialog::AcceptSave) << QString("保存");
  }
  void FileDialogsReadJapanese() {
    QFETCH(int, mode);
    QFETCH(QString, text);
    // Qt's own dialog, as where the desktop has none of its own.
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptMode(mode));
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    QVERIFY(buttons);
    QPushButton* accept = buttons->button(mode == QFileDialog::AcceptOpen ? QDialogButtonBox::Open
                                                                          : QDialogButtonBox::Save);
    QVERIFY(accept);
    QVERIFY2(accept->text().startsWith(text), qPrintable(accept->text()));
  }

  // The type column: the shared database's Japanese comment, folders as before.
  void TypeNamesReadJapanese() {
    CRemoteFileList list(nullptr);
    list.AddEntry({"readme.txt", {"readme.txt", kFileAttributeNormal, 1, 0}});
    list.AddEntry({"index.html", {"index.html", kFileAttributeNormal, 1, 0}});
    QCOMPARE(list.Count(), 2);
    for (int row = 0; row < 2; ++row) {
      const QString type = list.Text(row, 2);
      const QString expected =
          list.Name(row) == QStringLiteral("readme.txt") ? QStringLiteral("テキスト") : "HTML ";
      QVERIFY2(type.contains(expected) && type.contains(QStringLiteral("ドキュメント")),
               qPrintable(type));
    }
  }
};

QTEST_MAIN(TranslationsTest)
#include "translations_test.moc"
