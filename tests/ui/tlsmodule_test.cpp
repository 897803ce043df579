// The real program's TLS and SFTP, which it loads only when a server asks for
// them: a plain FTP publish leaves the TLS and SSH libraries out of the
// process, an ftpes:// or sftp:// one publishes through them, and a program
// whose modules are missing says so and sends nothing.
#include "registry/RegistryStore.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/SshdServer.h"
#include "servers/TestCertificates.h"
#include "servers/VsftpdServer.h"
#include "settings/Settings.h"
#include "support/TextFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <string>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 20000;  // ms; generous, every wait polls
constexpr const char* kUpdateFinished = "Msg: 更新作業が終了しました。";

const test::TestCertificates& Certificates() {
  static const test::TestCertificates certificates;
  return certificates;
}

// One start of `program` on a settings folder of its own that publishes to
// `server`, its stderr collected as it comes.
struct Publish {
  QTemporaryDir Dir;
  const fs::path Base = Dir.path().toStdString();
  test::ScriptedSmtpPeer Mail{[] {
    test::SmtpScript script;
    script.Answer = "250 peer.test Hello [203.0.113.9]\r\n";
    return script;
  }()};
  QProcess Process;
  QString Err;

  Publish(const QString& program, const std::string& server,
          const std::string& user = test::VsftpdServer::User,
          const std::string& password = test::VsftpdServer::Password,
          const std::string& knownHosts = {}) {
    std::ofstream(Base / "online.html", std::ios::binary) << "<p>on #####</p>\n";
    std::ofstream(Base / "offline.html", std::ios::binary) << "<p>off</p>\n";
    Settings record;
    record.Server = server;
    record.User = user;
    record.Password = password;
    record.FtpFile = "/pub/index.html";
    record.OnlineFile = (Base / "online.html").string();
    record.OfflineFile = (Base / "offline.html").string();
    record.Trace = "127.0.0.1:" + std::to_string(Mail.Port());
    record.IsCreateWwwOpen = 1;
    const fs::path config = Base / "config";
    fs::create_directories(config / "Quillbet");
    std::ofstream(config / "Quillbet" / "known_hosts", std::ios::binary) << knownHosts;
    if (!SaveSettings(*MakeFileRegistryStore(config / "Quillbet" / "Tavro.reg"), record)) {
      return;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(Base.string()));
    env.insert("TAVRO_LOG_TO_STDERR", "1");
    Process.setProcessEnvironment(env);
    QObject::connect(&Process, &QProcess::readyReadStandardError,
                     [this] { Err += QString::fromUtf8(Process.readAllStandardError()); });
    Process.start(program);
    Process.waitForStarted();
  }
  ~Publish() {
    Process.kill();
    Process.waitForFinished();
  }
  // The files the running program has mapped.
  std::string Maps() const {
    return test::ReadFileBytes("/proc/" + std::to_string(Process.processId()) + "/maps");
  }
};

std::string TlsAddress(const test::VsftpdServer& server) {
  return "ftpes://localhost:" + server.Address().substr(server.Address().rfind(':') + 1);
}

}  // namespace

class TlsModuleTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() {
    QVERIFY2(Certificates().Made(), Certificates().Error().c_str());
    Certificates().TrustTestCa();  // inherited by the program
  }

  void PlainFtpNeedsNoTlsLibraries() {
    test::VsftpdServer ftp;
    QVERIFY2(ftp.Started(), ftp.Error().c_str());
    Publish run(qEnvironmentVariable("TAVRO_EXECUTABLE"), ftp.Address());
    QTRY_VERIFY2_WITH_TIMEOUT(run.Err.contains(kUpdateFinished), qPrintable(run.Err), kDeadline);
    QCOMPARE(test::ReadFileBytes(ftp.Pub() / "index.html"),
             std::string("<p>on 203.0.113.9</p>\r\n"));
    const std::string maps = run.Maps();
    QVERIFY(maps.find("libQt6Widgets") != std::string::npos);  // the right process
    QVERIFY2(maps.find("tavro_tls") == std::string::npos, maps.c_str());
    QVERIFY2(maps.find("tavro_sftp") == std::string::npos, maps.c_str());
    QVERIFY2(maps.find("libssh") == std::string::npos, maps.c_str());
#ifndef TAVRO_TLS_LINKED
    QVERIFY2(maps.find("libssl") == std::string::npos, maps.c_str());
#endif
  }

  void FtpesLoadsTheModuleAndPublishes() {
    test::VsftpdServer ftp({Certificates().Localhost(), Certificates().Key()});
    QVERIFY2(ftp.Started(), ftp.Error().c_str());
    Publish run(qEnvironmentVariable("TAVRO_EXECUTABLE"), TlsAddress(ftp));
    QTRY_VERIFY2_WITH_TIMEOUT(run.Err.contains(kUpdateFinished), qPrintable(run.Err), kDeadline);
    QCOMPARE(test::ReadFileBytes(ftp.Pub() / "index.html"),
             std::string("<p>on 203.0.113.9</p>\r\n"));
    QVERIFY(run.Maps().find("tavro_tls") != std::string::npos);
  }

  // A copy of the program in a folder of its own finds no module: the
  // ftpes:// server gets no log-on, and stderr and the log say why.
  void MissingModuleRefusesTls() {
    QTemporaryDir folder;
    const QString copy = folder.filePath("tavro");
    QVERIFY(QFile::copy(qEnvironmentVariable("TAVRO_EXECUTABLE"), copy));
    test::VsftpdOptions options{Certificates().Localhost(), Certificates().Key()};
    options.LogCommands = true;
    test::VsftpdServer ftp(options);
    QVERIFY2(ftp.Started(), ftp.Error().c_str());
    Publish run(copy, TlsAddress(ftp));
    QTRY_VERIFY2_WITH_TIMEOUT(run.Err.contains("TLS cannot be set up"), qPrintable(run.Err),
                              kDeadline);
    QVERIFY2(run.Err.contains("tavro: TLS is not available: "), qPrintable(run.Err));
    QVERIFY(!fs::exists(ftp.Pub() / "index.html"));
    QVERIFY2(ftp.Log().find("USER") == std::string::npos, ftp.Log().c_str());
  }

  void SftpLoadsTheModuleAndPublishes() {
    test::SshdServer sshd;
    QVERIFY2(sshd.Started(), sshd.Error().c_str());
    Publish run(qEnvironmentVariable("TAVRO_EXECUTABLE"), sshd.Address(), sshd.User(),
                sshd.Password(), sshd.KnownHostsLine());
    QTRY_VERIFY2_WITH_TIMEOUT(run.Err.contains(kUpdateFinished), qPrintable(run.Err), kDeadline);
    QCOMPARE(test::ReadFileBytes(sshd.Pub() / "index.html"),
             std::string("<p>on 203.0.113.9</p>\r\n"));
    const std::string maps = run.Maps();
    QVERIFY2(maps.find("tavro_sftp") != std::string::npos, maps.c_str());
    QVERIFY2(maps.find("libssh") != std::string::npos, maps.c_str());
  }

  // Without the module the sftp:// server sees no log-on either.
  void MissingModuleRefusesSftp() {
    QTemporaryDir folder;
    const QString copy = folder.filePath("tavro");
    QVERIFY(QFile::copy(qEnvironmentVariable("TAVRO_EXECUTABLE"), copy));
    test::SshdServer sshd;
    QVERIFY2(sshd.Started(), sshd.Error().c_str());
    Publish run(copy, sshd.Address(), sshd.User(), sshd.Password(), sshd.KnownHostsLine());
    QTRY_VERIFY2_WITH_TIMEOUT(run.Err.contains("SFTP is not available: its module cannot be loaded"),
                              qPrintable(run.Err), kDeadline);
    QVERIFY2(run.Err.contains("tavro: SFTP is not available: "), qPrintable(run.Err));
    QVERIFY(!fs::exists(sshd.Pub() / "index.html"));
    QVERIFY2(sshd.Log().find(sshd.User()) == std::string::npos, sshd.Log().c_str());
  }
};

QTEST_MAIN(TlsModuleTest)
#include "tlsmodule_test.moc"
