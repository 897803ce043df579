// The version dialog and the web pages Tavro opens: the version line as the
// caller set it, the site button that leaves the dialog open, where a page
// leads with and without a configured site, and the user guide the build
// makes for machines without one.
#include "ui/CAboutDialog.h"
#include "ui/WebPages.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace tavro;

class AboutDialogTest : public QObject {
  Q_OBJECT

private slots:
  void init() { WebPages::RecordInstead(true); }
  void cleanup() { WebPages::RecordInstead(false); }

  // Each opening shows the version line as the caller set it last; the site
  // button opens the page each time and leaves the dialog open.
  void ShowsTheVersionAndOpensTheSite() {
    CAboutDialog dialog;
    auto* line = dialog.Ui().Control<QLabel>(IDC_VERSION);
    dialog.show();
    QCOMPARE(line->text(), QString());  // not the template's placeholder
    dialog.accept();
    dialog.VersionString = "Tavro version 1.21";
    dialog.show();
    QCOMPARE(line->text(), QString("Tavro version 1.21"));
    QCOMPARE(dialog.windowTitle(), QString("Tavro - バージョン情報"));
    auto* button = dialog.Ui().Control<QPushButton>(IDC_FERNO);
    QCOMPARE(button->text(), QString("GO ! FERNO"));
    button->click();
    button->click();
    QCOMPARE(WebPages::TakeOpened(), QList<QUrl>(2, ProjectPageUrl()));
    QVERIFY(dialog.isVisible());
    dialog.Ui().Control<QPushButton>(IDOK)->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
  }

  void PageOnASiteOrTheUserGuide_data() {
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QUrl>("expected");  // empty: the user guide
    QTest::newRow("trailing slash") << "https://www.example.jp/"
                                    << "/tavro" << QUrl("https://www.example.jp/tavro");
    QTest::newRow("no scheme") << "www.example.jp"
                               << "" << QUrl("http://www.example.jp");
    QTest::newRow("none configured") << ""
                                     << "/tavro" << QUrl();
  }
  void PageOnASiteOrTheUserGuide() {
    QFETCH(QString, site);
    QFETCH(QString, path);
    QFETCH(QUrl, expected);
    const QUrl url = PageOrUserGuide(site, path);
    if (expected.isEmpty()) {
      QVERIFY2(url.isLocalFile(), qPrintable(url.toString()));
      QCOMPARE(QFileInfo(url.toLocalFile()).fileName(), QString(kUserGuideName));
    } else {
      QCOMPARE(url, expected);
    }
  }

  // The build puts the guide next to the program, where the program looks
  // for it first, made from the README with its headings and tables.
  void BuildMakesTheUserGuideBesideTheProgram() {
    const QString program = qEnvironmentVariable("TAVRO_EXECUTABLE");
    QVERIFY(!program.isEmpty());
    QFile guide(QFileInfo(program).dir().filePath(kUserGuideName));
    QVERIFY2(guide.open(QIODevice::ReadOnly), qPrintable(guide.fileName()));
    const QString html = QString::fromUtf8(guide.readAll());
    QVERIFY(html.contains("<title>Tavro</title>"));
    QVERIFY(html.contains("scripts/test.sh"));
    QVERIFY(html.contains("<table"));
  }
};

QTEST_MAIN(AboutDialogTest)
#include "aboutdialog_test.moc"
