// The main window through its real handlers: worker reports, the update
// items, publishing, the exit question and every ending path.
#include "app/CMainDialog.h"
#include "platform/GlobalIpv6.h"
#include "probe/AddressProbe.h"
#include "publish/CFtpThread.h"
#include "registry/RegistryStore.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/VsftpdServer.h"
#include "support/NetworkNamespace.h"
#include "support/TextFiles.h"
#include "ui/CAboutDialog.h"
#include "ui/CSettingsDialog.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"
#include "ui/ResourceIds.h"
#include "ui/WebPages.h"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

constexpr const char* kLanChanged = "Msg: LAN IPアドレスに変更がありました。";
constexpr const char* kWanChanged = "Msg: WAN IPアドレスに変更がありました。";

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The log's messages without their time stamps, newest first.
QStringList Messages(CMainDialog& window) {
  QStringList messages;
  for (const QString& item : window.Log().Items()) {
    messages.append(item.mid(20));
  }
  return messages;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// A store that cannot be opened the first time, as a settings file that is
// unreadable at start-up, and works afterwards.
struct FailingFirstStore : IRegistryStore {
  explicit FailingFirstStore(std::unique_ptr<IRegistryStore> real) : Real(std::move(real)) {}
  std::unique_ptr<IRegistryKey> CreateKey(std::string_view path) override {
    return ++Calls == 1 ? nullptr : Real->CreateKey(path);
  }
  std::unique_ptr<IRegistryStore> Real;
  int Calls = 0;
};

// The test server's account, on a port where no server listens yet.
Settings AccountOn(std::uint16_t port) {
  Settings settings;
  settings.Server = "127.0.0.1:" + std::to_string(port);
  settings.User = test::VsftpdServer::User;
  settings.Password = test::VsftpdServer::Password;
  settings.FtpFile = "/pub/index.html";
  return settings;
}

// Changes the window's settings as the settings command's OK does.
void Change(CMainDialog& window, const std::function<void(Settings&)>& change) {
  Settings settings = window.CurrentSettings();
  change(settings);
  window.ApplySettings(settings);
}

struct Fixture {
  QTemporaryDir Dir;
  fs::path SettingsFile = fs::path(Dir.path().toStdString()) / "Tavro.reg";
  fs::path Template = fs::path(Dir.path().toStdString()) / "index.html";
  std::unique_ptr<CMainDialog> Window;

  explicit Fixture(const Settings& settings = {}, bool startWorkers = false, FtpTimeouts ftp = {},
                   bool tray = false, bool unreadable = false,
                   const std::function<void(MainDialogOptions&)>& adjust = {}) {
    MessageBoxes::AnswerInAdvance(true);
    FileDialogs::AnswerInAdvance(true);
    auto store = MakeFileRegistryStore(SettingsFile);
    Settings stored = settings;
    if (stored.OnlineFile.empty()) {
      stored.OnlineFile = Template.string();
    }
    SaveSettings(*store, stored);
    MainDialogOptions options;
    options.Store = std::move(store);
    if (unreadable) {
      options.Store = std::make_unique<FailingFirstStore>(std::move(options.Store));
    }
    options.StartWorkers = startWorkers;
    options.Ftp = ftp;
    options.TrayAvailable = [tray] { return tray; };
    if (adjust) {
      adjust(options);
    }
    Window = std::make_unique<CMainDialog>(std::move(options));
    Window->OnInitDialog();
    WriteFile(Template, "IP: #####\n");
  }
  ~Fixture() {
    Window.reset();
    MessageBoxes::AnswerInAdvance(false);
    FileDialogs::AnswerInAdvance(false);
  }
  fs::path Page() const { return Template.string() + ".tmp"; }
  // The page one Publish generated, taken away; empty if none.
  std::string TakePublished() {
    const std::string page = fs::exists(Page()) ? test::ReadFileBytes(Page()) : "";
    fs::remove(Page());
    return page;
  }
  Settings Stored() const {
    Settings settings;
    auto store = MakeFileRegistryStore(SettingsFile);
    LoadSettings(*store, settings);
    return settings;
  }
};

}  // namespace

class MainDialogTest : public QObject {
  Q_OBJECT

private slots:
  void StartsAsTheTemplateAndSettingsSay() {
    Settings settings;
    settings.IsCreateWwwOpen = 1;
    settings.Trace = "mail.example.test";
    Fixture f(settings);
    CMainDialog& w = *f.Window;
    QCOMPARE(w.IsPublished, 1);
    QCOMPARE(w.CurrentSettings().Trace, std::string("mail.example.test"));
    QVERIFY(w.UpdateItemsEnabled());
    QCOMPARE(w.TrayIcon()->toolTip(), QString("Tavro"));
    QCOMPARE(w.TrayIcon()->contextMenu(), w.GetTrayMenu());
    auto texts = [](QMenu* menu) {
      QStringList list;
      for (QAction* action : menu->actions()) {
        list.append(action->isSeparator() ? "-" : action->text());
      }
      return list;
    };
    QCOMPARE(texts(w.GetTrayMenu()), QStringList({"表示(&V)", "-", "終了(&X)"}));
    QCOMPARE(texts(w.GetLogMenu()), QStringList({"ログの書き出し", "-", "キャンセル"}));
    QVERIFY(QFontMetrics(w.LanField()->font()).height() <= 16);
    QCOMPARE(w.WanField()->font(), w.LanField()->font());
    QVERIFY(w.Log().Items().isEmpty());
  }

  // One address report under each combination that decides whether it is
  // published: the mode, the published state and the two switches.
  void AddressReportsPublishOnlyUnderTheirConditions_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("published");
    QTest::addColumn<int>("createOpen");
    QTest::addColumn<int>("getOnly");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("publishes");
    const int lan = int(TE_LAN_ADDRESS);
    const int wan = int(TE_WAN_ADDRESS);
    QTest::newRow("WAN change, published at start-up") << "WAN" << 1 << 1 << 0 << wan << true;
    QTest::newRow("WAN change, published by hand") << "WAN" << 1 << 0 << 0 << wan << false;
    QTest::newRow("WAN change, not published") << "WAN" << 0 << 1 << 0 << wan << false;
    QTest::newRow("WAN change, address only") << "WAN" << 1 << 1 << 1 << wan << false;
    QTest::newRow("LAN change in WAN mode") << "WAN" << 1 << 1 << 0 << lan << false;
    QTest::newRow("LAN change, published by hand") << "LAN" << 1 << 0 << 0 << lan << true;
    QTest::newRow("LAN change, not published") << "LAN" << 0 << 1 << 0 << lan << false;
    QTest::newRow("LAN change, address only") << "LAN" << 1 << 1 << 1 << lan << false;
    QTest::newRow("WAN change in LAN mode") << "LAN" << 1 << 1 << 0 << wan << false;
    QTest::newRow("LAN change, unknown mode") << "wan" << 1 << 1 << 0 << lan << false;
    QTest::newRow("WAN change, unknown mode") << "wan" << 1 << 1 << 0 << wan << false;
  }
  void AddressReportsPublishOnlyUnderTheirConditions() {
    QFETCH(QString, mode);
    QFETCH(int, published);
    QFETCH(int, createOpen);
    QFETCH(int, getOnly);
    QFETCH(int, code);
    QFETCH(bool, publishes);
    Fixture f;
    CMainDialog& w = *f.Window;
    Change(w, [&](Settings& s) {
      s.IPMode = mode.toStdString();
      s.IsCreateWwwOpen = createOpen;
      s.IsIpGetOnly = getOnly;
    });
    w.IsPublished = published;
    const std::string address = "192.0.2.17";
    const bool isLan = code == int(TE_LAN_ADDRESS);

    QCOMPARE(w.OnTraceThreadEvent(code, &address), 1);
    QCOMPARE((isLan ? w.LanField() : w.WanField())->text(), QString("192.0.2.17"));
    QCOMPARE(isLan ? w.LastLanAddress : w.LastWanAddress, address);
    QCOMPARE(Messages(w), QStringList({isLan ? kLanChanged : kWanChanged}));
    QCOMPARE(f.TakePublished(), std::string(publishes ? "IP: 192.0.2.17\r\n" : ""));
    if (publishes) {
      QCOMPARE(w.windowTitle(), QString("Tavro - 公開中"));
    }
    // The mode picks the field for the page and for the copy command alike;
    // an empty field leaves the clipboard as it was.
    const bool chosen = (mode == "WAN") != isLan;
    QGuiApplication::clipboard()->setText("before");
    w.OnCommand(IDM_COPY);
    w.OnCommand(IDM_PUBLISH);
    QCOMPARE(QGuiApplication::clipboard()->text(), chosen ? "192.0.2.17" : "before");
    QCOMPARE(f.TakePublished(), "IP: " + (chosen ? address : "") + "\r\n");

    // The same address again is shown but neither logged nor published.
    (isLan ? w.LanField() : w.WanField())->clear();
    w.OnTraceThreadEvent(code, &address);
    QCOMPARE((isLan ? w.LanField() : w.WanField())->text(), QString("192.0.2.17"));
    QCOMPARE(Messages(w).size(), 1);
    QCOMPARE(f.TakePublished(), std::string());
  }

  // A run's IPv6 address goes up with its LAN or WAN address: one page for
  // both, under the conditions of a WAN change, and only where the template
  // shows it.
  void Ipv6ChangesPublishOncePerRunWhereThePageShowsThem() {
    Settings settings;
    settings.IsCreateWwwOpen = 1;
    Fixture f(settings);
    CMainDialog& w = *f.Window;
    WriteFile(f.Template, "IP: ##### [%%IPV6%%]\n");
    const std::string wan = "192.0.2.17";
    const std::string lan = "10.0.0.5";
    // The pages one run queued: its IPv6 notice, then its address (none: the
    // probe failed).
    const auto run = [&](const std::string& ipv6, std::uint32_t code = TE_WAN_ADDRESS,
                         const std::string* address = nullptr) -> int {
      const std::size_t before = w.PagesUnderWay();
      w.OnTraceThreadEvent(TE_IPV6_ADDRESS, &ipv6);
      if (w.PagesUnderWay() != before) {
        return -1;  // too early: the run's address may change too
      }
      w.OnTraceThreadEvent(code, code == TE_PROBE_FAILED ? nullptr : address ? address : &wan);
      return int(w.PagesUnderWay() - before);
    };
    QCOMPARE(run("2400:1::10"), 1);
    QCOMPARE(f.TakePublished(), std::string("IP: 192.0.2.17 [2400:1::10]\r\n"));
    QCOMPARE(w.Ipv6Field()->text(), QString("2400:1::10"));
    QCOMPARE(Messages(w), QStringList({kWanChanged, CMainDialog::kIpv6Changed}));
    QCOMPARE(run("2400:1::10"), 0);
    QCOMPARE(Messages(w).size(), 2);
    QCOMPARE(run("2400:2::10"), 1);
    QCOMPARE(f.TakePublished(), std::string("IP: 192.0.2.17 [2400:2::10]\r\n"));
    QCOMPARE(run("2400:1::10", TE_PROBE_FAILED), 1);
    QCOMPARE(f.TakePublished(), std::string("IP: 192.0.2.17 [2400:1::10]\r\n"));
    QCOMPARE(run(""), 1);
    QCOMPARE(f.TakePublished(), std::string("IP: 192.0.2.17 []\r\n"));
    QCOMPARE(Messages(w).first(), QString(CMainDialog::kNoIpv6Address));
    QCOMPARE(w.Ipv6Field()->text(), QString());

    // Without the placeholder the page would be the same: no upload.
    WriteFile(f.Template, "IP: #####\n");
    QCOMPARE(run("2400:1::10"), 0);
    WriteFile(f.Template, "[%%IPV6%%]\n");
    QCOMPARE(run("2400:2::10"), 1);

    // The switches of a WAN change hold; the mode does not matter.
    const std::function<void()> offs[] = {
        [&] { Change(w, [](Settings& s) { s.IsCreateWwwOpen = 0; }); },
        [&] { Change(w, [](Settings& s) { s.IsIpGetOnly = 1; }); },
        [&] { w.IsPublished = 0; },
    };
    int next = 3;
    for (const auto& off : offs) {
      off();
      QCOMPARE(run("2400:" + std::to_string(next++) + "::10"), 0);
      Change(w, [](Settings& s) {
        s.IsCreateWwwOpen = 1;
        s.IsIpGetOnly = 0;
      });
      w.IsPublished = 1;
    }
    Change(w, [](Settings& s) { s.IPMode = "LAN"; });
    w.OnTraceThreadEvent(TE_LAN_ADDRESS, &lan);  // the mode's first address
    QCOMPARE(run("2400:9::10", TE_LAN_ADDRESS, &lan), 1);
    QCOMPARE(f.TakePublished(), std::string("[2400:9::10]\r\n"));
  }

  // The real interfaces of a namespace of the test's own, read by the real
  // worker, to a real server: the stable address arrives byte for byte, a new
  // temporary address uploads nothing, a renumbering uploads once.
  void Ipv6OfTheInterfacesReachesTheServerOncePerChange() {
    const char* self = "Ipv6OfTheInterfacesReachesTheServerOncePerChange";
    if (!test::InOwnNetworkNamespace()) {
      std::string why;
      const int status = test::RerunInNetworkNamespace({self}, why);
      if (status < 0) {
        QSKIP(why.c_str());
      }
      if (status == test::kNoInterfaces) {
        QSKIP("the kernel makes no veth interface in a namespace (see above)");
      }
      QCOMPARE(status, 0);
      return;
    }
    QVERIFY(test::Ip("link set lo up"));
    const test::VethPair pair = test::MakeVethPair();
    const std::string stable = "2400:3::ffff:ffff:ffff:fff0";
    QVERIFY(test::Ip("-6 addr add " + stable + "/64 dev " + pair.High +
                     " mngtmpaddr preferred_lft 3600 valid_lft 7200"));
    // The kernel makes the temporary address a moment after its base.
    const auto temporaryAddress = [] {
      for (const auto& a : ReadIpv6Addresses().Addresses) {
        if ((a.Flags & ipv6flag::kTemporary) != 0 && IsGlobalIpv6(a.Bytes)) {
          return a.Text();
        }
      }
      return std::string();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!temporaryAddress().empty(), 10000);

    test::VsftpdOptions logged;
    logged.LogCommands = true;
    test::VsftpdServer server(logged);
    QVERIFY2(server.Started(), server.Error().c_str());
    WriteFile(server.Pub() / "index.html", "old\r\n");
    server.Share(server.Pub() / "index.html");
    test::SmtpScript script;
    script.Answer = "250 x Hello [192.0.2.17]\r\n";
    test::ScriptedSmtpPeer peer(script);
    Settings settings = AccountOn(0);
    settings.Server = server.Address();
    settings.Trace = "127.0.0.1:" + std::to_string(peer.Port());
    settings.IsCreateWwwOpen = 1;
    settings.Sleep = kSleepNever;  // probes on request only
    Fixture f(settings, true, FtpTimeouts{std::chrono::milliseconds(5000)});
    CMainDialog& w = *f.Window;
    WriteFile(f.Template, "<a href=\"http://[%%IPV6%%]:8080/\">#####</a>\n");
    const auto page = [](const std::string& ipv6) {
      return "<a href=\"http://[" + ipv6 + "]:8080/\">192.0.2.17</a>\r\n";
    };
    const QString found = QStringLiteral("Msg: WANのIPアドレスを収得しました。");
    const auto probeAgain = [&](int runs) {
      w.OnCommand(IDM_UPDATE);
      QTRY_COMPARE_WITH_TIMEOUT(Messages(w).count(found), runs, 10000);
    };
    const QString finished = QString::fromUtf8(CMainDialog::kUpdateFinished);
    QTRY_COMPARE_WITH_TIMEOUT(Messages(w).count(finished), 1, 15000);
    QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), page(stable));
    QCOMPARE(w.Ipv6Field()->text(), QString::fromStdString(stable));

    // A privacy address goes (the kernel may make the next one at once).
    QVERIFY(test::Ip("-6 addr del " + temporaryAddress() + "/64 dev " + pair.High));
    probeAgain(2);
    QCOMPARE(w.PagesUnderWay(), std::size_t{0});

    QVERIFY(test::Ip("-6 addr add 2400:4::1/64 dev " + pair.High + " nodad"));
    QVERIFY(test::Ip("-6 addr del " + stable + "/64 dev " + pair.High));
    probeAgain(3);
    QTRY_COMPARE_WITH_TIMEOUT(Messages(w).count(finished), 2, 15000);
    QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), page("2400:4::1"));
    QCOMPARE(Messages(w).count(QString::fromUtf8(CMainDialog::kIpv6Changed)), 2);
    // One upload per page: the start's and the renumbering's.
    QCOMPARE(Count(server.Log(), "STOR"), std::size_t{2});
  }

  // A shared or private WAN address is published as any other, but the log
  // says why it cannot reach this PC, once per new address, and while the
  // window is hidden the tray says so too, once per address.
  void SharedAndPrivateWanAddressesAreExplained() {
    QStringList balloons;
    Settings settings;
    settings.IsCreateWwwOpen = 1;
    Fixture f(settings, false, {}, false, false, [&](MainDialogOptions& options) {
      options.TrayMessage = [&](const QString& text) { balloons << text; };
    });
    CMainDialog& w = *f.Window;
    w.IsPublished = 1;
    const auto report = [&](const std::string& address) {
      w.OnTraceThreadEvent(TE_WAN_ADDRESS, &address);
    };
    const auto warnings = [&] { return Messages(w).filter("Msg: 注意: "); };

    report("100.64.1.2");
    QCOMPARE(f.TakePublished(), std::string("IP: 100.64.1.2\r\n"));
    QCOMPARE(warnings().size(), 1);
    QVERIFY(warnings()[0].startsWith("Msg: 注意: WANのIPアドレス 100.64.1.2 "));
    QVERIFY(warnings()[0].contains("共有"));
    QCOMPARE(balloons.size(), 1);
    QVERIFY(balloons[0].contains("100.64.1.2") && balloons[0].contains("共有"));
    // The same address at the next probe: nothing again.
    report("100.64.1.2");
    QCOMPARE(warnings().size(), 1);
    QCOMPARE(balloons.size(), 1);

    report("192.168.0.9");
    QCOMPARE(f.TakePublished(), std::string("IP: 192.168.0.9\r\n"));
    QCOMPARE(warnings().size(), 2);
    QVERIFY(warnings()[0].contains("プライベートネットワーク"));
    QCOMPARE(balloons.size(), 2);
    QVERIFY(balloons[1].contains("192.168.0.9") && !balloons[1].contains("共有"));

    // Shown, the window's log is enough; hidden again, the tray still tells
    // of the address once.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    report("10.1.2.3");
    QCOMPARE(warnings().size(), 3);
    QCOMPARE(balloons.size(), 2);
    w.hide();
    report("10.1.2.3");
    report("10.1.2.3");
    QCOMPARE(warnings().size(), 3);
    QCOMPARE(balloons.size(), 3);
    QVERIFY(balloons[2].contains("10.1.2.3"));

    report("203.0.113.7");
    QCOMPARE(f.TakePublished(), std::string("IP: 203.0.113.7\r\n"));
    QCOMPARE(warnings().size(), 3);
    QCOMPARE(balloons.size(), 3);
  }

  // OK takes the record over and saves it; only a changed timer asks for a
  // probe at once. Cancel, or the window ending while the dialog is open,
  // changes nothing.
  // With no settings saved before, the window opens the settings dialog as
  // soon as it shows; a saved record, even all defaults, opens nothing.
  void FirstStartAsksForTheSettings() {
    for (const bool saved : {false, true}) {
      QTemporaryDir dir;
      const fs::path file = fs::path(dir.path().toStdString()) / "Tavro.reg";
      MessageBoxes::AnswerInAdvance(true);
      MainDialogOptions options;
      options.Store = MakeFileRegistryStore(file);
      if (saved) {
        QVERIFY(SaveSettings(*options.Store, Settings{}));
      }
      options.StartWorkers = false;
      options.TrayAvailable = [] { return false; };
      CMainDialog w(std::move(options));
      bool opened = false;
      bool windowShown = false;
      // Queued behind whatever the window queues as it shows.
      QTimer::singleShot(0, &w, [&] {
        QTimer::singleShot(0, &w, [&] {
          windowShown = w.isVisible();
          opened = w.GetSettingsDialog()->isVisible();
          if (opened) {
            w.GetSettingsDialog()->reject();
          }
          w.EndWithoutQuestion();
        });
      });
      w.DoModal();
      QCOMPARE(w.IsFirstStart(), !saved);
      QVERIFY(windowShown);
      QCOMPARE(opened, !saved);
      MessageBoxes::TakeShown();
      MessageBoxes::AnswerInAdvance(false);
    }
  }

  void SettingsCommandTakesOverWhatOKConfirms() {
    // how the dialog ends, the timer chosen (0 停止, 2 6 秒), Sleep after, probe
    using Row = std::tuple<QString, int, std::int32_t, bool>;
    for (const auto& [how, timer, sleep, probe] :
         {Row{"OK", 2, 6000, true}, Row{"OK", 0, -1, false}, Row{"Cancel", 2, -1, false},
          Row{"exit", 2, -1, false}}) {
      Fixture f;
      CMainDialog& w = *f.Window;
      const Settings before = w.CurrentSettings();
      CSettingsDialog* d = w.GetSettingsDialog();
      QTimer::singleShot(0, [&] {
        d->Ui().Control<QComboBox>(IDC_SLEEP)->setCurrentIndex(timer);
        d->Ui().Control<QComboBox>(IDC_IP_MODE)->setCurrentIndex(1);
        d->Ui().Control<QLineEdit>(IDC_TRACE)->setText("mx.example.test");
        if (how == "exit") {
          w.OnCommand(IDM_EXIT);
        }
        if (d->isVisible()) {
          how == "Cancel" ? d->reject() : d->accept();
        }
      });
      w.OnCommand(IDM_SETTING);
      QCOMPARE(w.CurrentSettings().Sleep, sleep);
      QCOMPARE(w.TraceWorker().Interval(), std::uint32_t(sleep));
      QCOMPARE(w.TraceWorker().ProbePending(), probe);
      QCOMPARE(w.CurrentSettings().Trace, std::string(how == "OK" ? "mx.example.test" : ""));
      QCOMPARE(w.CurrentSettings().IPMode, std::string(how == "OK" ? "LAN" : "WAN"));
      QVERIFY(f.Stored() == (how == "Cancel" ? before : w.CurrentSettings()));
    }
  }

  // The version dialog shows the version line, and pressing the command again
  // while it is open opens no second one; help and project go to the browser.
  void VersionHelpAndProjectCommands() {
    // (major, minor, patch) as "%d.%d%d"; only the low byte of the minor counts.
    const std::pair<std::array<quint32, 2>, const char*> versions[] = {
        {{0x00010002, 0x00010000}, "1.21"},
        {{0x00010000, 0}, "1.00"},
        {{0x0002000A, 0x00030007}, "2.103"},
        {{0x00010101, 0}, "1.10"}};
    for (const auto& [version, text] : versions) {
      QCOMPARE(FormatVersionText(version[0], version[1]), std::string(text));
    }
    Fixture f;
    CMainDialog& w = *f.Window;
    QStringList shown;
    QTimer::singleShot(0, [&] {
      QTimer::singleShot(0, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
          if (auto* about = qobject_cast<CAboutDialog*>(top); about && about->isVisible()) {
            shown.append(about->Ui().Control<QLabel>(IDC_VERSION)->text());
            about->reject();
          }
        }
      });
      w.OnCommand(IDM_VERSION);
    });
    w.OnCommand(IDM_VERSION);
    QCOMPARE(shown, QStringList("Tavro version " + QString::fromStdString(w.VersionText)));
    WebPages::RecordInstead(true);
    w.OnCommand(IDM_HELP);
    w.OnCommand(IDM_PROJECT);
    QCOMPARE(WebPages::TakeOpened(), QList<QUrl>({HelpPageUrl(), ProjectPageUrl()}));
    WebPages::RecordInstead(false);
  }

  // Minimising retreats into the tray only where the desktop has one; the
  // tray's double-click, however often, and the show command bring it back.
  void MinimisingHidesOnlyIntoATray() {
    for (bool tray : {true, false}) {
      Fixture f({}, false, {}, tray);
      CMainDialog& w = *f.Window;
      for (bool byCommand : {false, true}) {
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.showMinimized();
        QCoreApplication::processEvents();
        QCOMPARE(w.isVisible(), !tray);
        for (int press = 0; press < 3; ++press) {
          byCommand ? w.OnCommand(IDM_VIEW)
                    : emit w.TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        }
        QVERIFY(w.isVisible() && !w.isMinimized());
      }
    }
  }

  // A page that cannot be made is logged and changes nothing: the window
  // never claims a published page that did not go out.
  void PublishWithoutATemplateLogsAndChangesNothing() {
    Fixture f;
    CMainDialog& w = *f.Window;
    for (const std::int32_t published : {0, 1}) {
      for (const std::string& path : {(f.Template.parent_path() / "missing.html").string(),
                                      f.Template.parent_path().string(), std::string()}) {
        Change(w, [&](Settings& s) { s.OnlineFile = path; });
        w.IsPublished = published;
        const QString title = published ? "Tavro - 公開中" : "Tavro - 非公開中";
        w.setWindowTitle(title);
        w.Publish();
        QCOMPARE(w.IsPublished, published);
        QCOMPARE(w.windowTitle(), title);
        QCOMPARE(Messages(w).first(),
                 QString("Err:ファイルを開くのに失敗しました。:") + QString::fromStdString(path));
        QVERIFY(!w.IsRetryPending());
      }
    }
  }

  // A switch of the mode while published puts the other address on the page:
  // at once where it is known, else with the next probe's answer, even where
  // that answer is no change.
  void SwitchingTheModePublishesTheNewAddress() {
    Fixture f;
    CMainDialog& w = *f.Window;
    CSettingsDialog* d = w.GetSettingsDialog();
    const auto choose = [&](int mode) {
      QTimer::singleShot(0, [&, mode] {
        d->Ui().Control<QComboBox>(IDC_IP_MODE)->setCurrentIndex(mode);
        d->accept();
      });
      w.OnCommand(IDM_SETTING);
    };
    const std::string wan = "198.51.100.1";
    const std::string lan = "192.168.1.5";
    w.LastWanAddress = wan;
    w.LastLanAddress = lan;
    w.IsPublished = 1;
    choose(1);
    QCOMPARE(w.CurrentSettings().IPMode, std::string("LAN"));
    QCOMPARE(f.TakePublished(), "IP: " + lan + "\r\n");

    // Back to WAN with the WAN address not known: a probe, and its answer
    // goes on the page though publishing at start is off.
    w.LastWanAddress.clear();
    choose(0);
    QCOMPARE(f.TakePublished(), std::string());
    QVERIFY(w.TraceWorker().ProbePending());
    w.OnTraceThreadEvent(TE_LAN_ADDRESS, &lan);
    QCOMPARE(f.TakePublished(), std::string());
    w.OnTraceThreadEvent(TE_WAN_ADDRESS, &wan);
    QCOMPARE(f.TakePublished(), "IP: " + wan + "\r\n");
    // Once only: the same answer again is no change.
    w.OnTraceThreadEvent(TE_WAN_ADDRESS, &wan);
    QCOMPARE(f.TakePublished(), std::string());

    // Not published, a switch sends nothing.
    w.IsPublished = 0;
    choose(1);
    QCOMPARE(f.TakePublished(), std::string());
  }

  // A page that did not reach the server is sent again by itself, the waits
  // growing, until the server holds it; the tray tells once that it failed
  // and once that it arrived.
  void FailedPublishIsRetriedUntilTheServerHoldsThePage() {
    const std::uint16_t port = test::VsftpdServer::UnusedPort();
    const Settings settings = AccountOn(port);
    QStringList balloons;
    Fixture f(settings, true, FtpTimeouts{std::chrono::milliseconds(5000)}, false, false,
              [&](MainDialogOptions& options) {
                options.RetryFirst = std::chrono::milliseconds(1000);
                options.RetryLimit = std::chrono::milliseconds(2000);
                options.TrayMessage = [&](const QString& text) { balloons << text; };
              });
    CMainDialog& w = *f.Window;
    w.LastWanAddress = "198.51.100.7";
    w.Publish();
    const auto retries = [&] {
      return Messages(w).filter(QString::fromUtf8(CMainDialog::kRetryAfter));
    };
    QTRY_VERIFY_WITH_TIMEOUT(retries().size() >= 2, 15000);
    QCOMPARE(retries().last(), QString::fromUtf8(CMainDialog::kRetryAfter) + "1" +
                                   QString::fromUtf8(CMainDialog::kRetryAfterEnd));
    QCOMPARE(retries()[retries().size() - 2], QString::fromUtf8(CMainDialog::kRetryAfter) + "2" +
                                                  QString::fromUtf8(CMainDialog::kRetryAfterEnd));
    QVERIFY(Messages(w).contains("Err: 接続できませんでした"));
    QVERIFY(Messages(w).contains("Err: 原因: Connection refused"));
    QCOMPARE(balloons, QStringList{QString::fromUtf8(CMainDialog::kTrayNotUpdated)});
    QVERIFY(w.IsRetryPending());

    test::VsftpdOptions on;
    on.Port = port;
    test::VsftpdServer server(on);
    QVERIFY2(server.Started(), server.Error().c_str());
    WriteFile(server.Pub() / "index.html", "old\r\n");
    server.Share(server.Pub() / "index.html");
    QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(server.Pub() / "index.html"),
                              std::string("IP: 198.51.100.7\r\n"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(balloons.size(), 2, 5000);
    QCOMPARE(balloons[1], QString::fromUtf8(CMainDialog::kTrayUpdated));
    QVERIFY(!w.IsRetryPending());
  }

  // A withdraw while a publish waits for its retry: the offline page is
  // retried instead, and no late online page ever lands over it.
  void AWithdrawSupersedesThePendingRetry() {
    const std::uint16_t port = test::VsftpdServer::UnusedPort();
    const Settings settings = AccountOn(port);
    Fixture f(settings, true, FtpTimeouts{std::chrono::milliseconds(5000)}, false, false,
              [&](MainDialogOptions& options) {
                options.RetryFirst = std::chrono::milliseconds(300);
                options.RetryLimit = std::chrono::milliseconds(600);
                options.TrayMessage = [](const QString&) {};
              });
    CMainDialog& w = *f.Window;
    const fs::path offline = f.Template.parent_path() / "offline.html";
    WriteFile(offline, "offline\r\n");
    Change(w, [&](Settings& s) { s.OfflineFile = offline.string(); });
    w.LastWanAddress = "198.51.100.7";
    w.Publish();
    QTRY_VERIFY_WITH_TIMEOUT(w.IsRetryPending(), 15000);
    w.Unpublish();
    QVERIFY(!w.IsRetryPending());
    QTRY_VERIFY_WITH_TIMEOUT(w.IsRetryPending(), 15000);

    test::VsftpdOptions on;
    on.Port = port;
    on.LogCommands = true;
    test::VsftpdServer server(on);
    QVERIFY2(server.Started(), server.Error().c_str());
    WriteFile(server.Pub() / "index.html", "old\r\n");
    server.Share(server.Pub() / "index.html");
    QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(server.Pub() / "index.html"),
                              std::string("offline\r\n"), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!w.IsRetryPending(), 5000);
    // Several of the old waits later, the offline page is still the last.
    QTest::qWait(2000);
    QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), std::string("offline\r\n"));
    QCOMPARE(Count(server.Log(), "STOR"), std::size_t{1});
  }

  // The three update items follow the reports, always together.
  void UpdateItemsFollowProbesAndUploads() {
    Fixture f;
    CMainDialog& w = *f.Window;
    const std::string address = "192.0.2.1";
    const std::string text = "Msg: 接続中\r\n";
    struct Step {
      bool Ftp;
      std::uint32_t Code;
      const char* Mode;
      bool Enabled;
    };
    const Step steps[] = {
        {false, TE_PROBE_STARTED, "WAN", false}, {false, TE_LAN_ADDRESS, "WAN", false},
        {false, TE_WAN_ADDRESS, "WAN", true},    {false, TE_PROBE_STARTED, "WAN", false},
        {false, TE_PROBE_FAILED, "WAN", true},   {false, TE_PROBE_STARTED, "LAN", false},
        {false, TE_LAN_ADDRESS, "LAN", true},    {true, FTPCMD_CONNECT, "LAN", false},
        {true, FTPMSG_TEXT, "LAN", false},       {false, TE_STATUS_TEXT, "LAN", false},
        {true, FTPCMD_DISCONNECT, "LAN", true},  {true, FTPCMD_PUT, "LAN", true},
    };
    for (const Step& step : steps) {
      Change(w, [&](Settings& s) { s.IPMode = step.Mode; });
      const std::string* payload =
          (step.Code == TE_LAN_ADDRESS || step.Code == TE_WAN_ADDRESS) && !step.Ftp ? &address
                                                                                    : &text;
      QCOMPARE(step.Ftp ? w.OnFtpThreadMessage(step.Code, payload)
                        : w.OnTraceThreadEvent(step.Code, payload),
               1);
      QCOMPARE(w.UpdateItemsEnabled(), step.Enabled);
    }
    // A LAN report in LAN mode empties the WAN field; the finished
    // disconnect is the last line of the sequence.
    QCOMPARE(w.WanField()->text(), QString());
    QCOMPARE(w.LastWanAddress, std::string());
    QCOMPARE(Messages(w).first(), QString("Msg: 更新作業が終了しました。"));
    QCOMPARE(Messages(w)[1], QString::fromStdString(text));
    QCOMPARE(Messages(w)[2], QString::fromStdString(text));
  }

  // Yes uploads the offline page at once, also when publish sequences are
  // still queued: the online page must not land after it. A server that cannot
  // be reached gives the failure box, and the program may end all the same.
  void YesUploadsTheOfflinePageLast() {
    test::VsftpdServer server;
    QVERIFY2(server.Started(), server.Error().c_str());
    for (const QString how : {"unreachable", "publish queued"}) {
      const bool reachable = how != "unreachable";
      Fixture f({}, how == "publish queued", FtpTimeouts{std::chrono::milliseconds(5000)});
      CMainDialog& w = *f.Window;
      const fs::path offline = f.Template.parent_path() / "offline.html";
      WriteFile(offline, "offline #####\r\n");
      Change(w, [&](Settings& s) {
        s.Server = reachable ? server.Address() : "127.0.0.1:1";
        s.User = test::VsftpdServer::User;
        s.Password = test::VsftpdServer::Password;
        s.OfflineFile = offline.string();
        s.FtpFile = "/pub/index.html";
      });
      w.LastWanAddress = "198.51.100.1";
      WriteFile(server.Pub() / "index.html", "online page\r\n");
      server.Share(server.Pub() / "index.html");
      w.IsPublished = 1;
      for (int i = 0; how == "publish queued" && i < 3; ++i) {
        w.Publish();
      }
      MessageBoxes::SetNextAnswer(IDYES);
      QVERIFY(w.ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION));
      QCOMPARE(w.IsExiting, 1);
      QCOMPARE(w.IsPublished, 0);
      QCOMPARE(w.windowTitle(), QString("Tavro - 非公開中"));
      const auto shown = MessageBoxes::TakeShown();
      QCOMPARE(shown.size(), reachable ? 1 : 2);
      const std::string page = reachable ? "offline #####\r\n" : "online page\r\n";
      QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), page);
      if (!reachable) {
        QCOMPARE(shown[1].Text, QString("非公開設定にできませんでした。"));
        QCOMPARE(shown[1].Style, 0u);
        QCOMPARE(shown[1].Owner, &w);
      }
      // Had the three queued sequences not been dropped, the online page
      // would come back within this second.
      QTest::qWait(how == "publish queued" ? 1000 : 0);
      QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), page);
    }
  }

  // What a mail server writes between the brackets is shown and logged as it
  // came, but only an address reaches the page on the server: anything else
  // is refused with its own line, by the probe's publish and by the publish
  // command alike, and no upload starts.
  void OnlyAnAddressReachesThePublishedPage() {
    test::VsftpdOptions logged;
    logged.LogCommands = true;
    test::VsftpdServer server(logged);
    QVERIFY2(server.Started(), server.Error().c_str());
    test::ScriptedSmtpPeer peer;
    std::string markup = "<img src=x onerror=alert(document.cookie)><iframe src=//evil.test>";
    while (markup.size() < 500) {
      markup += "<b onmouseover=alert(1)>x</b>";
    }
    markup.resize(500);
    struct Row {
      std::string Answer, Shown;
      std::string Page;  // empty: nothing may be uploaded
      std::string Refusal;
    };
    const auto refused = [](const std::string& text, const std::string& shown) {
      return Row{"250 x Hello [" + text + "]\r\n", text, "",
                 "Err: 公開できるIPアドレスではありません: " + shown};
    };
    const std::vector<Row> rows{
        refused("<script>alert(1)</script>", "<script>alert(1)</script>"),
        {"250 [" + markup + "]\r\n", markup, "",
         "Err: 公開できるIPアドレスではありません: " + markup.substr(0, 200)},
        refused("999.1.1.1", "999.1.1.1"),
        refused("1.2.3", "1.2.3"),
        refused(" 1.2.3.4", " 1.2.3.4"),
        {"250 x Hello [IPv6:2001:db8::1]\r\n", "IPv6:2001:db8::1", "<p>2001:db8::1</p>\r\n", ""},
    };
    for (const Row& row : rows) {
      WriteFile(server.Pub() / "index.html", "old\r\n");
      server.Share(server.Pub() / "index.html");
      test::SmtpScript script;
      script.Answer = row.Answer;
      peer.SetScript(script);
      Settings settings;
      settings.Trace = "127.0.0.1:" + std::to_string(peer.Port());
      settings.IsCreateWwwOpen = 1;
      settings.Server = server.Address();
      settings.User = test::VsftpdServer::User;
      settings.Password = test::VsftpdServer::Password;
      settings.FtpFile = "/pub/index.html";
      Fixture f(settings, true, FtpTimeouts{std::chrono::milliseconds(5000)});
      CMainDialog& w = *f.Window;
      WriteFile(f.Template, "<p>#####</p>\n");
      const QString answer = QString::fromStdString("Msg: " + row.Answer);
      QTRY_VERIFY2_WITH_TIMEOUT(Messages(w).contains(kWanChanged),
                                qPrintable(Messages(w).join('\n')), 10000);
      QCOMPARE(w.WanField()->text(), QString::fromStdString(row.Shown));
      QVERIFY(Messages(w).contains(answer));
      if (!row.Page.empty()) {
        QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(server.Pub() / "index.html"), row.Page,
                                  10000);
        continue;
      }
      QCOMPARE(Messages(w).first(), QString::fromStdString(row.Refusal));
      w.IsPublished = 0;
      w.OnCommand(IDM_PUBLISH);
      QCOMPARE(Messages(w).first(), QString::fromStdString(row.Refusal));
      QCOMPARE(Messages(w).count(QString::fromStdString(row.Refusal)), 2);
      QCOMPARE(w.IsPublished, 0);
      QVERIFY(!fs::exists(f.Page()));
      // Nothing was queued: the next address, published after it by the
      // same worker in order, is the only upload.
      const std::size_t before = Count(server.Log(), "STOR");
      const std::string next = "198.51.100.1";
      w.IsPublished = 1;
      w.OnTraceThreadEvent(TE_WAN_ADDRESS, &next);
      QTRY_COMPARE_WITH_TIMEOUT(test::ReadFileBytes(server.Pub() / "index.html"),
                                std::string("<p>198.51.100.1</p>\r\n"), 10000);
      QCOMPARE(Count(server.Log(), "STOR"), before + 1);
      QCOMPARE(std::distance(fs::directory_iterator(server.Pub()), fs::directory_iterator()), 1);
    }
  }

  // Every way out asks while the page is published (not where only the
  // address is wanted), closes unless the answer was Cancel, and saves; a
  // signal ends without the question and leaves the page as it is.
  void EndingPathsAskSaveAndClose_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("state");  // 0 not published, 1 published, 2 also address only
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("boxes");
    for (const char* path : {"exit command", "tray exit", "Enter", "Escape", "close box"}) {
      QTest::addRow("%s, No", path) << path << 1 << IDNO << 1;
      QTest::addRow("%s, Cancel", path) << path << 1 << IDCANCEL << 1;
    }
    QTest::addRow("exit command, not published") << "exit command" << 0 << 0 << 0;
    QTest::addRow("exit command, address only") << "exit command" << 2 << IDYES << 0;
    // A box closed otherwise lets the program end, whose end asks again.
    QTest::addRow("exit command, box closed otherwise") << "exit command" << 1 << 0 << 2;
    QTest::addRow("signal") << "signal" << 1 << 0 << 0;
  }
  void EndingPathsAskSaveAndClose() {
    QFETCH(QString, path);
    QFETCH(int, state);
    QFETCH(int, answer);
    QFETCH(int, boxes);
    Settings settings;
    settings.IsCreateWwwOpen = state != 0;
    settings.IsIpGetOnly = state == 2;
    Fixture f(settings);
    CMainDialog& w = *f.Window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Changed behind the window's back: only a save on the way out puts the
    // window's record back.
    Settings elsewhere = f.Stored();
    elsewhere.Server = "changed.example.test";
    QVERIFY(SaveSettings(*MakeFileRegistryStore(f.SettingsFile), elsewhere));
    MessageBoxes::SetNextAnswer(answer);
    if (path == "exit command") {
      w.Ui().MenuItem(IDOK)->trigger();
    } else if (path == "tray exit") {
      w.GetTrayMenu()->actions().last()->trigger();
    } else if (path == "Enter") {
      QTest::keyClick(&w, Qt::Key_Return);
    } else if (path == "Escape") {
      QTest::keyClick(&w, Qt::Key_Escape);
    } else if (path == "signal") {
      w.EndWithoutQuestion();
    } else {
      w.close();
    }
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), boxes);
    if (boxes > 0) {
      QCOMPARE(shown[0].Owner, &w);
      QCOMPARE(shown[0].Caption, QString("maindialog_test"));
      QCOMPARE(shown[0].Text,
               QString("現在の設定は公開状態になっていますが\n設定を非公開状態にしますか"));
      QCOMPARE(shown[0].Style, 0x43u);
    }
    const bool closes = answer != IDCANCEL;
    QCOMPARE(w.isVisible(), !closes);
    QCOMPARE(w.IsPublished, state != 0 ? 1 : 0);
    QCOMPARE(w.IsExiting, answer == IDNO || path == "signal" ? 1 : 0);
    QCOMPARE(f.Stored().Server, std::string(closes ? "" : "changed.example.test"));
    if (closes) {
      const bool ok = path != "Escape" && path != "close box" && path != "signal";
      QCOMPARE(w.result(), int(ok ? QDialog::Accepted : QDialog::Rejected));
      QVERIFY(!w.TrayIcon()->isVisible());
    }
  }

  // A log-off asks the question, Cancel refuses it; one called off after a
  // Yes or No brings back the running state, and the window's end then asks
  // again, Yes or No only.
  void LogOffAsksAndMayBeCalledOff() {
    Fixture f;
    CMainDialog& w = *f.Window;
    w.IsPublished = 1;
    MessageBoxes::SetNextAnswer(IDCANCEL);
    QVERIFY(!w.OnQueryEndSession());
    MessageBoxes::SetNextAnswer(IDNO);
    QVERIFY(w.OnQueryEndSession());
    QCOMPARE(w.IsExiting, 1);
    QVERIFY(w.OnQueryEndSession());  // already agreed: no second question
    QCOMPARE(MessageBoxes::TakeShown().size(), 2);
    w.OnEndSession(false);
    QCOMPARE(w.IsExiting, 0);
    MessageBoxes::SetNextAnswer(IDNO);
    f.Window.reset();
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].Style, 0x44u);
  }

  // Settings that could not be read at start-up are not replaced by the
  // defaults at the end, even where the file could be written by then.
  void UnreadableSettingsAreNotOverwritten() {
    Settings settings;
    settings.Server = "user.example.test";
    Fixture f(settings, false, {}, false, true);
    f.Window->OnOK();
    QCOMPARE(f.Stored().Server, std::string("user.example.test"));
  }

  void RightClickOffersTheLogMenu() {
    Fixture f;
    CMainDialog& w = *f.Window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget* list = w.Log().List()->viewport();
    QContextMenuEvent onList(QContextMenuEvent::Mouse, QPoint(5, 5),
                             list->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(list, &onList);
    QVERIFY(w.GetLogMenu()->isVisible());
    w.GetLogMenu()->hide();
    QContextMenuEvent onField(QContextMenuEvent::Mouse, QPoint(5, 5),
                              w.LanField()->mapToGlobal(QPoint(5, 5)));
    QTimer::singleShot(0, [] {
      if (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
      }
    });
    QCoreApplication::sendEvent(w.LanField(), &onField);
    QVERIFY(!w.GetLogMenu()->isVisible());
    // Its first item writes the log.
    FileDialogs::SetNextAnswer(std::nullopt);
    w.GetLogMenu()->actions().first()->trigger();
    QCOMPARE(FileDialogs::TakeShown().size(), 1);
    w.GetLogMenu()->actions().last()->trigger();  // キャンセル: nothing
    QCOMPARE(FileDialogs::TakeShown().size(), 0);
  }
};

QTEST_MAIN(MainDialogTest)
#include "maindialog_test.moc"
