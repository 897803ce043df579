// Tavro as a user meets it: the real program on a real X server, with a
// window manager and a tray host, driven by keys and clicks from xdotool,
// against a real vsftpd and a mail server that echoes a fixed address.
#include "registry/RegistryStore.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/VsftpdServer.h"
#include "settings/Settings.h"
#include "support/TextFiles.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 30000;  // ms; generous, every wait polls

// Runs one X tool to its end and returns what it printed.
QString Tool(const QString& program, const QStringList& args) {
  QProcess tool;
  tool.start(program, args);
  tool.waitForFinished(10000);
  return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

QString Xdo(const QStringList& args) {
  return Tool("xdotool", args);
}

// Tavro's mapped windows, id to title. xdotool's own name search ignores
// case, and the tray icon and the message boxes are both called "tavro".
QMap<QString, QString> Shown() {
  QMap<QString, QString> windows;
  for (const QString& id :
       Xdo({"search", "--onlyvisible", "--class", "tavro"}).split('\n', Qt::SkipEmptyParts)) {
    windows.insert(id, Xdo({"getwindowname", id}));
  }
  return windows;
}

// The first shown window that was not shown before, with this title.
QString NewWindow(const QMap<QString, QString>& before, const QString& title) {
  const auto now = Shown();
  for (auto it = now.begin(); it != now.end(); ++it) {
    if (!before.contains(it.key()) && it.value() == title) {
      return it.key();
    }
  }
  return {};
}

// The window manager's list of the windows it manages: what a taskbar shows.
bool OnTaskbar(const QString& id) {
  const QString hex = "0x" + QString::number(id.toULongLong(), 16);
  return Tool("xprop", {"-root", "_NET_CLIENT_LIST"})
      .contains(QRegularExpression(hex + "(,|$)", QRegularExpression::MultilineOption));
}

// Clicks at a point given as a fraction of the window's size. xwininfo, not
// xdotool, tells where the window's own area starts below the frame.
void Click(const QString& id, double x, double y, const QString& button = "1", int times = 1) {
  const QString info = Tool("xwininfo", {"-id", id});
  auto value = [&](const char* key) {
    return QRegularExpression(QString(key) + R"(:\s+(-?\d+))").match(info).captured(1).toInt();
  };
  Xdo({"mousemove", QString::number(value("Absolute upper-left X") + int(x * value("Width"))),
       QString::number(value("Absolute upper-left Y") + int(y * value("Height")))});
  Xdo({"click", "--repeat", QString::number(times), "--delay", "120", button});
}

void Keys(const QString& window, const QStringList& keys) {
  Xdo(QStringList{"windowactivate", "--sync", window, "key", "--delay", "80"} + keys);
}

}  // namespace

class AcceptanceTest : public QObject {
  Q_OBJECT

private slots:
  void UserSession() {
    test::VsftpdServer ftp;
    QVERIFY2(ftp.Started(), ftp.Error().c_str());
    test::SmtpScript script;
    script.Answer = "250 peer.test Hello [203.0.113.9]\r\n";
    test::ScriptedSmtpPeer mail(script);
    QTemporaryDir dir;
    const fs::path base = dir.path().toStdString();
    std::ofstream(base / "online.html", std::ios::binary) << "<p>on #####</p>\n";
    std::ofstream(base / "offline.html", std::ios::binary) << "<p>off</p>\n";
    std::ofstream(ftp.Pub() / "index.html", std::ios::binary) << "old\n";
    ftp.Share(ftp.Pub() / "index.html");

    Settings settings;
    settings.Server = ftp.Address();
    settings.User = test::VsftpdServer::User;
    settings.Password = test::VsftpdServer::Password;
    settings.FtpFile = "/pub/index.html";
    settings.OnlineFile = (base / "online.html").string();
    settings.OfflineFile = (base / "offline.html").string();
    settings.Trace = "127.0.0.1:" + std::to_string(mail.Port());
    const fs::path settingsFile = base / "config" / "Quillbet" / "Tavro.reg";
    QVERIFY(SaveSettings(*MakeFileRegistryStore(settingsFile), settings));

    // The desktop: a tray for the icon to dock in, then a window manager.
    // In this order: a tray mapped while the manager is still starting may
    // never be shown.
    QProcess tray, wm, tavro;
    auto cleanup = qScopeGuard([&] {
      for (QProcess* p : {&tavro, &wm, &tray}) {
        p->kill();
        p->waitForFinished();
      }
    });
    tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request"});
    QTRY_VERIFY_WITH_TIMEOUT(!Xdo({"search", "--onlyvisible", "--class", "trayer"}).isEmpty(),
                             kDeadline);
    wm.start("openbox", {"--sm-disable"});
    // The manager is ready once it has taken the tray into its list.
    QTRY_VERIFY_WITH_TIMEOUT(Tool("xprop", {"-root", "_NET_CLIENT_LIST"}).contains("0x"),
                             kDeadline);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((base / "config").string()));
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("TAVRO_LOG_TO_STDERR", "1");
    // The icon docks by XEMBED only where no desktop bus offers another way.
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    tavro.setProcessEnvironment(env);
    QString log;
    connect(&tavro, &QProcess::readyReadStandardError,
            [&] { log += QString::fromUtf8(tavro.readAllStandardError()); });
    tavro.start(qEnvironmentVariable("TAVRO_EXECUTABLE"));

    // The window and the icon appear; the first probe learns both addresses.
    QString window, icon;
    QTRY_VERIFY2_WITH_TIMEOUT(
        !(window = Shown().key("Tavro")).isEmpty() && !(icon = Shown().key("tavro")).isEmpty(),
        qPrintable(log), kDeadline);
    QTRY_VERIFY2_WITH_TIMEOUT(log.contains("Msg: WAN IPアドレスに変更がありました。"),
                              qPrintable(log), kDeadline);
    QVERIFY2(log.contains("Msg: LAN IPアドレスに変更がありました。"), qPrintable(log));
    QCOMPARE(mail.Connections(), std::size_t(1));
    Keys(window, {"alt+c"});
    QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::clipboard()->text(), QString("203.0.113.9"),
                              kDeadline);

    // Settings: the timer from "停止" to "6 秒", closed with OK. The combo box
    // and the OK button sit where the dialog's template puts them.
    auto before = Shown();
    Keys(window, {"alt+s"});
    QString settingsDialog;
    QTRY_VERIFY_WITH_TIMEOUT(!(settingsDialog = NewWindow(before, "設定")).isEmpty(), kDeadline);
    before = Shown();
    Click(settingsDialog, 117.0 / 183, 184.0 / 245);
    QTRY_VERIFY_WITH_TIMEOUT(Shown().size() > before.size(), kDeadline);  // the open list
    Xdo({"key", "--delay", "80", "6", "Return"});
    QTRY_COMPARE_WITH_TIMEOUT(Shown().size(), before.size(), kDeadline);
    Click(settingsDialog, 65.0 / 183, 232.0 / 245);
    QTRY_VERIFY_WITH_TIMEOUT(!Shown().contains(settingsDialog), kDeadline);

    // A probe at once, and the next one the new interval after it.
    QTRY_COMPARE_WITH_TIMEOUT(mail.Connections(), std::size_t(2), kDeadline);
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    QTRY_COMPARE_WITH_TIMEOUT(mail.Connections(), std::size_t(3), 60000);
    QVERIFY2(sinceSecond.elapsed() > 4000, qPrintable(QString::number(sinceSecond.elapsed())));

    // Publish from the menu: the page on the server carries the WAN address.
    Keys(window, {"alt+r", "o"});
    QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(ftp.Pub() / "index.html"),
                              std::string("<p>on 203.0.113.9</p>\r\n"), kDeadline);

    // Minimised, the window leaves the screen and the taskbar; a double-click
    // on the tray icon brings it back, active.
    Xdo({"windowminimize", window});
    QTRY_VERIFY_WITH_TIMEOUT(!Shown().contains(window) && !OnTaskbar(window), kDeadline);
    Click(icon, 0.5, 0.5, "1", 2);
    QTRY_VERIFY_WITH_TIMEOUT(
        Shown().contains(window) && OnTaskbar(window) && Xdo({"getactivewindow"}) == window,
        kDeadline);

    // Exit from the tray menu, Yes to taking the page offline.
    before = Shown();
    Click(icon, 0.5, 0.5, "3");
    QTRY_VERIFY_WITH_TIMEOUT(Shown().size() > before.size(), kDeadline);  // the menu
    before = Shown();
    Xdo({"key", "x"});
    QString question;
    QTRY_VERIFY_WITH_TIMEOUT(!(question = NewWindow(before, "tavro")).isEmpty(), kDeadline);
    Keys(question, {"Return"});
    QVERIFY2(tavro.waitForFinished(kDeadline), qPrintable(log));
    QCOMPARE(tavro.exitCode(), 0);
    QCOMPARE(test::ReadFileBytes(ftp.Pub() / "index.html"), std::string("<p>off</p>\n"));
    // Saved on the way out: the record as it started, with the new timer.
    Settings saved;
    QVERIFY(LoadSettings(*MakeFileRegistryStore(settingsFile), saved));
    settings.Sleep = 6000;
    QCOMPARE(saved, settings);
    QVERIFY2(!log.contains("Err"), qPrintable(log));
  }
};

QTEST_MAIN(AcceptanceTest)
#include "acceptance_test.moc"
