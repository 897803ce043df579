// Tavro as a user meets it: the real program on a real X server, with a
// window manager and a tray host, driven by keys and clicks from xdotool,
// against a real vsftpd and a mail server that echoes a fixed address; and
// the same program driven by a script through TAVRO_AUTOMATION.
#include "registry/RegistryStore.h"
#include "servers/ScriptedFtpPeer.h"
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

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

// The servers, pages and settings of one run of the real program, its log
// read from stderr.
struct Run {
  test::VsftpdServer Ftp;
  test::ScriptedSmtpPeer Mail{[] {
    test::SmtpScript script;
    script.Answer = "250 peer.test Hello [203.0.113.9]\r\n";
    return script;
  }()};
  QTemporaryDir Dir;
  const fs::path Base = Dir.path().toStdString();
  const fs::path SettingsFile = Base / "config" / "Quillbet" / "Tavro.reg";
  Settings Record;
  QProcess Tavro;
  QString Log;

  Run() {
    std::ofstream(Base / "online.html", std::ios::binary) << "<p>on #####</p>\n";
    std::ofstream(Base / "offline.html", std::ios::binary) << "<p>off</p>\n";
    std::ofstream(Ftp.Pub() / "index.html", std::ios::binary) << "old\n";
    Ftp.Share(Ftp.Pub() / "index.html");
    Record.Server = Ftp.Address();
    Record.User = test::VsftpdServer::User;
    Record.Password = test::VsftpdServer::Password;
    Record.FtpFile = "/pub/index.html";
    Record.OnlineFile = (Base / "online.html").string();
    Record.OfflineFile = (Base / "offline.html").string();
    Record.Trace = "127.0.0.1:" + std::to_string(Mail.Port());
  }
  ~Run() {
    Tavro.kill();
    Tavro.waitForFinished();
  }
  std::string Served() const { return test::ReadFileBytes(Ftp.Pub() / "index.html"); }

  // Saves the record and starts the program on this platform.
  bool Start(const QString& platform, bool automation = false) {
    if (!SaveSettings(*MakeFileRegistryStore(SettingsFile), Record)) {
      return false;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((Base / "config").string()));
    env.insert("QT_QPA_PLATFORM", platform);
    env.insert("TAVRO_LOG_TO_STDERR", "1");
    if (automation) {
      env.insert("TAVRO_AUTOMATION", "1");
    }
    // The icon docks by XEMBED only where no desktop bus offers another way.
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    Tavro.setProcessEnvironment(env);
    QObject::connect(&Tavro, &QProcess::readyReadStandardError,
                     [this] { Log += QString::fromUtf8(Tavro.readAllStandardError()); });
    Tavro.start(qEnvironmentVariable("TAVRO_EXECUTABLE"));
    return Tavro.waitForStarted();
  }
};

// A tray for the icon to dock in, then a window manager, in this order: a
// tray mapped while the manager is still starting may never be shown.
struct Desktop {
  QProcess Tray, Wm;
  bool Start() {
    Tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request"});
    QElapsedTimer waited;
    waited.start();
    while (Xdo({"search", "--onlyvisible", "--class", "trayer"}).isEmpty()) {
      if (waited.elapsed() > kDeadline) {
        return false;
      }
      QTest::qWait(100);
    }
    Wm.start("openbox", {"--sm-disable"});
    while (!Tool("xprop", {"-root", "_NET_CLIENT_LIST"}).contains("0x")) {
      if (waited.elapsed() > 2 * kDeadline) {
        return false;
      }
      QTest::qWait(100);
    }
    return true;
  }
  ~Desktop() {
    for (QProcess* p : {&Wm, &Tray}) {
      p->kill();
      p->waitForFinished();
    }
  }
};

}  // namespace

class AcceptanceTest : public QObject {
  Q_OBJECT

private slots:
  void UserSession() {
    Run run;
    // The desktop: a tray for the icon to dock in, then a window manager.
    // In this order: a tray mapped while the manager is still starting may
    // never be shown.
    QProcess tray, wm;
    auto cleanup = qScopeGuard([&] {
      run.Tavro.kill();
      run.Tavro.waitForFinished();
      for (QProcess* p : {&wm, &tray}) {
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

    QVERIFY(run.Start("xcb"));
    const QString& log = run.Log;

    // The window and the icon appear; the first probe learns both addresses.
    QString window, icon;
    QTRY_VERIFY2_WITH_TIMEOUT(
        !(window = Shown().key("Tavro")).isEmpty() && !(icon = Shown().key("tavro")).isEmpty(),
        qPrintable(log), kDeadline);
    QTRY_VERIFY2_WITH_TIMEOUT(log.contains("Msg: WAN IPアドレスに変更がありました。"),
                              qPrintable(log), kDeadline);
    QVERIFY2(log.contains("Msg: LAN IPアドレスに変更がありました。"), qPrintable(log));
    QCOMPARE(run.Mail.Connections(), std::size_t(1));
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
    QTRY_COMPARE_WITH_TIMEOUT(run.Mail.Connections(), std::size_t(2), kDeadline);
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.Mail.Connections(), std::size_t(3), 60000);
    QVERIFY2(sinceSecond.elapsed() > 4000, qPrintable(QString::number(sinceSecond.elapsed())));

    // Publish from the menu: the page on the server carries the WAN address.
    Keys(window, {"alt+r", "o"});
    QTRY_COMPARE_WITH_TIMEOUT(run.Served(), std::string("<p>on 203.0.113.9</p>\r\n"), kDeadline);

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
    QVERIFY2(run.Tavro.waitForFinished(kDeadline), qPrintable(log));
    QCOMPARE(run.Tavro.exitCode(), 0);
    QCOMPARE(run.Served(), std::string("<p>off</p>\n"));
    // Saved on the way out: the record as it started, with the new timer.
    Settings saved;
    QVERIFY(LoadSettings(*MakeFileRegistryStore(run.SettingsFile), saved));
    run.Record.Sleep = 6000;
    QCOMPARE(saved, run.Record);
    QVERIFY2(!log.contains("Err"), qPrintable(log));
  }

  // A script drives the program through standard input instead: it publishes
  // at start as its settings ask, answers the exit question as told, and
  // writes each box to stderr.
  void ScriptedSession() {
    Run run;
    run.Record.IsCreateWwwOpen = 1;
    QVERIFY(run.Start("offscreen", true));
    QTRY_COMPARE_WITH_TIMEOUT(run.Served(), std::string("<p>on 203.0.113.9</p>\r\n"), kDeadline);
    run.Tavro.write("answer 6\ncommand 1\n");
    QVERIFY2(run.Tavro.waitForFinished(kDeadline), qPrintable(run.Log));
    QCOMPARE(run.Tavro.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.Tavro.exitCode(), 0);
    run.Log += QString::fromUtf8(run.Tavro.readAllStandardError());
    QVERIFY2(
        run.Log.contains("box: 現在の設定は公開状態になっていますが\n設定を非公開状態にしますか"),
        qPrintable(run.Log));
    QCOMPARE(run.Served(), std::string("<p>off</p>\n"));
  }

  // Tavro started again with the same settings while it sits in the tray:
  // the window comes back, active, and the second start ends at once.
  void SecondStartShowsTheFirst() {
    Run run;
    Desktop desktop;
    QVERIFY(desktop.Start());
    QVERIFY(run.Start("xcb"));
    QString window;
    QTRY_VERIFY2_WITH_TIMEOUT(
        !(window = Shown().key("Tavro")).isEmpty() && !Shown().key("tavro").isEmpty(),
        qPrintable(run.Log), kDeadline);
    QTRY_VERIFY2_WITH_TIMEOUT(run.Log.contains("Msg: WAN IPアドレスに変更がありました。"),
                              qPrintable(run.Log), kDeadline);
    Xdo({"windowminimize", window});
    QTRY_VERIFY_WITH_TIMEOUT(!Shown().contains(window) && !OnTaskbar(window), kDeadline);

    QProcess second;
    second.setProcessEnvironment(run.Tavro.processEnvironment());
    second.start(qEnvironmentVariable("TAVRO_EXECUTABLE"));
    QVERIFY(second.waitForFinished(kDeadline));
    const QString said = QString::fromUtf8(second.readAllStandardError());
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(
        said.startsWith("tavro: already running with the settings in ") && said.count('\n') == 1,
        qPrintable(said));
    QTRY_VERIFY_WITH_TIMEOUT(
        Shown().contains(window) && OnTaskbar(window) && Xdo({"getactivewindow"}) == window,
        kDeadline);
    // Still the one first start, with its one probe.
    QCOMPARE(run.Mail.Connections(), std::size_t(1));
    QCOMPARE(run.Tavro.state(), QProcess::Running);
    // Ended as a user's log-off would, so that its socket goes with it.
    run.Tavro.terminate();
    QVERIFY2(run.Tavro.waitForFinished(kDeadline), qPrintable(run.Log));
    QCOMPARE(run.Tavro.exitCode(), 0);
  }

  // SIGTERM ends the program even while the FTP browser, opened over the
  // settings dialog, takes in a listing that never ends.
  void SignalEndsTheProgramDuringAnEndlessListing() {
    test::ScriptedFtpPeer peer;
    auto sent = std::make_shared<std::atomic<std::size_t>>(0);
    peer.On("LIST", [sent](test::ScriptedFtpPeer::Session& s, const std::string&) {
      s.Reply("150 Here comes the directory listing.");
      auto data = s.OpenData();
      std::string lines;
      for (int i = 0; i < 1000; ++i) {
        lines += "-rw-r--r--    1 0        0            1234 May 07  2003 page-" +
                 std::to_string(i) + ".html\r\n";
      }
      // At most 200,000 entries a second: the million a listing may hold
      // take five seconds at least, so the listing still runs at the signal.
      while (data && s.Live() && test::LoopbackServer::SendAll(*data, lines)) {
        *sent += 1000;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    Run run;
    run.Record.Server = peer.Address();
    QVERIFY(run.Start("offscreen", true));
    QTRY_VERIFY2_WITH_TIMEOUT(run.Log.contains("Msg: WAN IPアドレスに変更がありました。"),
                              qPrintable(run.Log), kDeadline);
    // The settings, their FTP browse button, the browser's connect button.
    run.Tavro.write("command 32773\nclick 1035\nclick 10008\n");
    QTRY_VERIFY2_WITH_TIMEOUT(*sent >= 600000, qPrintable(run.Log), kDeadline);
    QElapsedTimer sinceSignal;
    sinceSignal.start();
    run.Tavro.terminate();
    // Meant to take well under a second; ten allow for a loaded machine.
    QVERIFY2(run.Tavro.waitForFinished(10000), qPrintable(run.Log));
    qInfo() << "ended" << sinceSignal.elapsed() << "ms after SIGTERM," << sent->load()
            << "entries sent";
    // Ended by its own handler, not by the signal's default action.
    QCOMPARE(run.Tavro.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.Tavro.exitCode(), 0);
  }
};

QTEST_MAIN(AcceptanceTest)
#include "acceptance_test.moc"
