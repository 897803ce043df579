// Takes the screenshots of docs/screenshots from the real windows: the main
// window, the settings dialog, the FTP browser logged on to a vsftpd with a
// few files, the question about an SFTP server's unknown host key and the
// question asked at exit. Run by scripts/screenshots.sh under xvfb-run, so the
// windows are drawn by the X platform with the installed fonts.
#include "app/CMainDialog.h"
#include "probe/AddressProbe.h"
#include "registry/RegistryStore.h"
#include "servers/SshdServer.h"
#include "servers/VsftpdServer.h"
#include "ui/CFtpBrowserDialog.h"
#include "ui/CSettingsDialog.h"
#include "ui/HostKeyQuestion.h"
#include "ui/MessageBoxes.h"
#include "ui/RemoteFileList.h"
#include "ui/Translations.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

bool Save(QWidget* window, const QString& folder, const char* name) {
  QTest::qWait(300);  // drawn once more after the last change
  const QString path = folder + QLatin1Char('/') + QLatin1String(name);
  const bool saved = window->grab().save(path);
  std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
  return saved;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("tavro"));
  InstallJapaneseTexts(application);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  bool ok = true;

  CSettingsDialog settings;
  settings.SetSettings(Settings{"ftp.example.jp", "tavro", "秘密のパスワード",
                                "/public_html/ip.html", "/home/tavro/オンライン.html",
                                "/home/tavro/offline.html", "mail.example.jp", "WAN", 60000000, 1,
                                0});
  settings.show();
  ok &= Save(&settings, folder, "settings-dialog.png");
  settings.hide();

  {
    // The main window with all three addresses, as a probe run leaves it.
    QTemporaryDir dir;
    MainDialogOptions options;
    options.Store = MakeFileRegistryStore((dir.path() + "/Tavro.reg").toStdString());
    options.StartWorkers = false;
    options.TrayAvailable = [] { return false; };
    CMainDialog window(std::move(options));
    window.OnInitDialog();
    const std::string ipv6 = "2400:4051:8f20:7c00:1a2b:3c4d:5e6f:7a8b";
    const std::string lan = "192.168.1.23";
    const std::string wan = "203.0.113.45";
    window.OnTraceThreadEvent(TE_IPV6_ADDRESS, &ipv6);
    window.OnTraceThreadEvent(TE_LAN_ADDRESS, &lan);
    window.OnTraceThreadEvent(TE_WAN_ADDRESS, &wan);
    window.show();
    ok &= Save(&window, folder, "main-window.png");
    window.hide();
  }

  test::VsftpdServer server;
  if (!server.Started()) {
    std::fprintf(stderr, "vsftpd: %s\n", server.Error().c_str());
    return 1;
  }
  const fs::path pub = server.Pub();
  fs::create_directories(pub / "images");
  fs::create_directories(pub / "old");
  for (const char* name : {"index.html", "ip.html", "readme.txt", "style.css"}) {
    std::ofstream(pub / name) << "<p>" << name << "</p>\n";
  }
  CFtpBrowserDialog browser(QString::fromStdString(server.Address()), test::VsftpdServer::User,
                            test::VsftpdServer::Password);
  browser.show();
  browser.Controls().Control<QLineEdit>(IDC_STARTDIR)->setText("/pub");
  ok &= Save(&browser, folder, "ftp-browser-connection.png");
  QSignalSpy listed(&browser, &CFtpBrowserDialog::ListingDone);
  browser.Controls().Control<QPushButton>(IDC_TOGGLE)->click();
  if (!QTest::qWaitFor([&] { return listed.count() > 0; }, 20000)) {
    std::fprintf(stderr, "no listing\n");
    return 1;
  }
  browser.FileList()->Select(4);
  browser.Controls().Control<QLineEdit>(IDC_FILENAME)->setText("ip.html");
  ok &= Save(&browser, folder, "ftp-browser-details.png");
  browser.OnCommand(IDC_LISTMODE);
  ok &= Save(&browser, folder, "ftp-browser-list.png");
  browser.OnCommand(IDC_DETAILS);
  browser.Controls().Control<QPushButton>(IDC_TOGGLE)->click();
  if (!QTest::qWaitFor([&] { return !browser.FileList()->isVisible(); }, 20000)) {
    std::fprintf(stderr, "no disconnection\n");
    return 1;
  }
  ok &= Save(&browser, folder, "ftp-browser-disconnected.png");

  {
    // The question an unknown SFTP host key gets, with a real server's key.
    test::SshdServer sshd;
    if (!sshd.Started()) {
      std::fprintf(stderr, "sshd: %s\n", sshd.Error().c_str());
      return 1;
    }
    QTemporaryDir keys;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (QWidget* box = QApplication::activeModalWidget()) {
        poll.stop();
        ok &= Save(box, folder, "host-key-question.png");
        box->close();  // No: nothing is kept
      }
    });
    poll.start(200);
    AskAboutHostKey(nullptr, sshd.Address(), (keys.path() + "/known_hosts").toStdString());
  }

  // The exit question, as the main window asks it while published.
  QTimer::singleShot(500, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      ok &= Save(box, folder, "exit-question.png");
      box->close();
    }
  });
  MessageBoxes::Show(nullptr, QString::fromUtf8(CMainDialog::kUnpublishQuestion),
                     MB_YESNOCANCEL | MB_ICONINFORMATION);
  return ok ? 0 : 1;
}
