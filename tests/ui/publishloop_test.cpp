// The real program driven by a script through TAVRO_AUTOMATION, against real
// servers: it publishes at start as its settings ask, and the script's exit
// command with Yes to the question uploads the offline page. The session a
// user drives by mouse and keys is the acceptance test's.
#include "registry/RegistryStore.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/VsftpdServer.h"
#include "settings/Settings.h"
#include "support/TextFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>

using namespace tavro;
namespace fs = std::filesystem;

class PublishLoopTest : public QObject {
  Q_OBJECT

private slots:
  void PublishesOnStartAndUnpublishesOnExit() {
    test::VsftpdServer ftp;
    QVERIFY2(ftp.Started(), ftp.Error().c_str());
    test::ScriptedSmtpPeer mail;
    QTemporaryDir dir;
    const fs::path base = dir.path().toStdString();
    const fs::path online = base / "index.html";
    const fs::path offline = base / "offline.html";
    std::ofstream(online, std::ios::binary) << "<p>#####</p>\n<p>##### and #####</p>";
    std::ofstream(offline, std::ios::binary) << "<p>offline #####</p>\n";
    std::ofstream(ftp.Pub() / "index.html", std::ios::binary) << "old\n";
    ftp.Share(ftp.Pub() / "index.html");

    Settings settings;
    settings.Server = ftp.Address();
    settings.User = test::VsftpdServer::User;
    settings.Password = test::VsftpdServer::Password;
    settings.FtpFile = "/pub/index.html";
    settings.OnlineFile = online.string();
    settings.OfflineFile = offline.string();
    settings.Trace = "127.0.0.1:" + std::to_string(mail.Port());
    settings.IsCreateWwwOpen = 1;
    const fs::path settingsFile = base / "config" / "Quillbet" / "Tavro.reg";
    QVERIFY(SaveSettings(*MakeFileRegistryStore(settingsFile), settings));

    QProcess tavro;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((base / "config").string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TAVRO_LOG_TO_STDERR", "1");
    env.insert("TAVRO_AUTOMATION", "1");
    tavro.setProcessEnvironment(env);
    QString log;
    connect(&tavro, &QProcess::readyReadStandardError,
            [&] { log += QString::fromUtf8(tavro.readAllStandardError()); });
    tavro.start(qEnvironmentVariable("TAVRO_EXECUTABLE"));
    QVERIFY(tavro.waitForStarted());

    QTRY_VERIFY2_WITH_TIMEOUT(log.contains("Msg: 更新作業が終了しました。"), qPrintable(log),
                              60000);
    QCOMPARE(test::ReadFileBytes(ftp.Pub() / "index.html"),
             std::string("<p>127.0.0.1</p>\r\n<p>127.0.0.1 and 127.0.0.1</p>\r\n"));

    tavro.write("answer 6\ncommand 1\n");
    QVERIFY2(tavro.waitForFinished(30000), qPrintable(log));
    QCOMPARE(tavro.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tavro.exitCode(), 0);
    log += QString::fromUtf8(tavro.readAllStandardError());
    QVERIFY2(log.contains("box: 現在の設定は公開状態になっていますが\n設定を非公開状態にしますか"),
             qPrintable(log));
    QCOMPARE(test::ReadFileBytes(ftp.Pub() / "index.html"), std::string("<p>offline #####</p>\n"));
  }
};

QTEST_MAIN(PublishLoopTest)
#include "publishloop_test.moc"
