// The main window through its real handlers: worker reports, the update
// items, publishing, the exit question and every ending path.
#include "app/CMainDialog.h"
#include "platform/CodePage932.h"
#include "probe/AddressProbe.h"
#include "publish/CFtpThread.h"
#include "registry/RegistryStore.h"
#include "servers/VsftpdServer.h"
#include "support/TextFiles.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"
#include "ui/ResourceIds.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>

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

struct Fixture {
  QTemporaryDir Dir;
  fs::path SettingsFile = fs::path(Dir.path().toStdString()) / "Tavro.reg";
  fs::path Template = fs::path(Dir.path().toStdString()) / "index.html";
  std::unique_ptr<CMainDialog> Window;

  explicit Fixture(const Settings& settings = {}, bool startWorkers = false, FtpTimeouts ftp = {}) {
    MessageBoxes::AnswerInAdvance(true);
    FileDialogs::AnswerInAdvance(true);
    auto store = MakeFileRegistryStore(SettingsFile);
    SaveSettings(*store, settings);
    MainDialogOptions options;
    options.Store = std::move(store);
    options.StartWorkers = startWorkers;
    options.Ftp = ftp;
    Window = std::make_unique<CMainDialog>(std::move(options));
    Window->OnInitDialog();
    WriteFile(Template, "IP: #####\n");
    Window->OnlineFile = Template.string();
  }
  ~Fixture() {
    Window.reset();
    MessageBoxes::AnswerInAdvance(false);
    FileDialogs::AnswerInAdvance(false);
  }
  fs::path Page() const { return Template.string() + ".tmp"; }
  // True once per Publish: the generated page appears, and is taken away.
  bool TakePublished() {
    const bool published = fs::exists(Page());
    fs::remove(Page());
    return published;
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
    QCOMPARE(w.windowTitle(), QString("Tavro"));
    QCOMPARE(w.IsPublished, 1);
    QCOMPARE(w.IsExiting, 0);
    QCOMPARE(w.Trace, std::string("mail.example.test"));
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

  void VersionTextTakesMajorMinorAndPatch_data() {
    QTest::addColumn<quint32>("ms");
    QTest::addColumn<quint32>("ls");
    QTest::addColumn<QString>("text");
    QTest::newRow("1.2.1.0") << quint32(0x00010002) << quint32(0x00010000) << "1.21";
    QTest::newRow("1.0.0.0") << quint32(0x00010000) << quint32(0) << "1.00";
    QTest::newRow("2.10.3.7") << quint32(0x0002000A) << quint32(0x00030007) << "2.103";
    // Only the low byte of the minor part counts.
    QTest::newRow("1.257.0.0") << quint32(0x00010101) << quint32(0) << "1.10";
  }
  void VersionTextTakesMajorMinorAndPatch() {
    QFETCH(quint32, ms);
    QFETCH(quint32, ls);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(FormatVersionText(ms, ls)), text);
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
    w.IPMode = mode.toStdString();
    w.IsPublished = published;
    w.IsCreateWwwOpen = createOpen;
    w.IsIpGetOnly = getOnly;
    const std::string address = "192.0.2.17";
    const bool isLan = code == int(TE_LAN_ADDRESS);

    QCOMPARE(w.OnTraceThreadEvent(code, &address), 1);
    QCOMPARE((isLan ? w.LanField() : w.WanField())->text(), QString("192.0.2.17"));
    QCOMPARE(isLan ? w.LastLanAddress : w.LastWanAddress, address);
    QCOMPARE(Messages(w), QStringList({isLan ? kLanChanged : kWanChanged}));
    QCOMPARE(f.TakePublished(), publishes);
    if (publishes) {
      QCOMPARE(w.windowTitle(), QString("Tavro - 公開中"));
    }

    // The same address again is shown but neither logged nor published.
    (isLan ? w.LanField() : w.WanField())->clear();
    w.OnTraceThreadEvent(code, &address);
    QCOMPARE((isLan ? w.LanField() : w.WanField())->text(), QString("192.0.2.17"));
    QCOMPARE(Messages(w).size(), 1);
    QVERIFY(!f.TakePublished());
  }

  void PublishFillsTheAddressTheModeSelects_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("expected");
    QTest::newRow("WAN") << "WAN"
                         << "IP: 203.0.113.5\r\n";
    QTest::newRow("LAN") << "LAN"
                         << "IP: 192.168.1.2\r\n";
    QTest::newRow("other text") << "Wan"
                                << "IP: 192.168.1.2\r\n";
  }
  void PublishFillsTheAddressTheModeSelects() {
    QFETCH(QString, mode);
    QFETCH(QString, expected);
    Fixture f;
    CMainDialog& w = *f.Window;
    w.IPMode = mode.toStdString();
    w.LastWanAddress = "203.0.113.5";
    w.LastLanAddress = "192.168.1.2";
    w.OnCommand(IDM_PUBLISH);
    QCOMPARE(QString::fromStdString(test::ReadFileBytes(f.Page())), expected);
    QCOMPARE(w.IsPublished, 1);
    QVERIFY(Messages(w).isEmpty());
  }

  void PublishWithoutATemplateLogsAndStillCountsAsPublished() {
    Fixture f;
    CMainDialog& w = *f.Window;
    for (const std::string& path : {(f.Template.parent_path() / "missing.html").string(),
                                    f.Template.parent_path().string(), std::string()}) {
      w.OnlineFile = path;
      w.IsPublished = 0;
      w.Publish();
      QCOMPARE(w.IsPublished, 1);
      QCOMPARE(w.windowTitle(), QString("Tavro - 公開中"));
      QCOMPARE(Messages(w).first(),
               QString("Err:ファイルを開くのに失敗しました。:") + QString::fromStdString(path));
    }
    w.Unpublish();
    QCOMPARE(w.IsPublished, 0);
    QCOMPARE(w.windowTitle(), QString("Tavro - 非公開中"));
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
      w.IPMode = step.Mode;
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

  void ConfirmUnpublishAsksOnlyWhilePublished_data() {
    QTest::addColumn<int>("published");
    QTest::addColumn<int>("getOnly");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("mayEnd");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<int>("exiting");
    QTest::newRow("not published") << 0 << 0 << IDYES << true << false << 0;
    QTest::newRow("address only") << 1 << 1 << IDYES << true << false << 0;
    QTest::newRow("No") << 1 << 0 << IDNO << true << true << 1;
    QTest::newRow("Cancel") << 1 << 0 << IDCANCEL << false << true << 0;
    QTest::newRow("box closed otherwise") << 1 << 0 << 0 << true << true << 0;
  }
  void ConfirmUnpublishAsksOnlyWhilePublished() {
    QFETCH(int, published);
    QFETCH(int, getOnly);
    QFETCH(int, answer);
    QFETCH(bool, mayEnd);
    QFETCH(bool, asked);
    QFETCH(int, exiting);
    Fixture f;
    CMainDialog& w = *f.Window;
    w.IsPublished = published;
    w.IsIpGetOnly = getOnly;
    MessageBoxes::SetNextAnswer(answer);
    QCOMPARE(w.ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION), mayEnd);
    QCOMPARE(w.IsExiting, exiting);
    QCOMPARE(w.IsPublished, published);
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), asked ? 1 : 0);
    if (asked) {
      QCOMPARE(shown[0].Owner, &w);
      QCOMPARE(shown[0].Caption, QCoreApplication::applicationName());
      QCOMPARE(shown[0].Caption, QString("maindialog_test"));
      QCOMPARE(shown[0].Text,
               QString("現在の設定は公開状態になっていますが\n設定を非公開状態にしますか"));
      QCOMPARE(shown[0].Style, 0x43u);
    }
  }

  // Yes uploads the offline page at once; a server that cannot be reached
  // gives the failure box, and the program may end all the same.
  void YesUploadsTheOfflinePageAtOnce() {
    test::VsftpdServer server;
    QVERIFY2(server.Started(), server.Error().c_str());
    for (bool reachable : {true, false}) {
      Fixture f({}, false, FtpTimeouts{std::chrono::milliseconds(5000)});
      CMainDialog& w = *f.Window;
      const fs::path offline = f.Template.parent_path() / "offline.html";
      WriteFile(offline, "offline #####\r\n");
      w.Server = reachable ? server.Address() : "127.0.0.1:1";
      w.User = test::VsftpdServer::User;
      w.Password = test::VsftpdServer::Password;
      w.OfflineFile = offline.string();
      w.FtpFile = "/pub/index.html";
      WriteFile(server.Pub() / "index.html", "online page\r\n");
      server.Share(server.Pub() / "index.html");
      w.IsPublished = 1;
      MessageBoxes::SetNextAnswer(IDYES);
      QVERIFY(w.ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION));
      QCOMPARE(w.IsExiting, 1);
      QCOMPARE(w.IsPublished, 0);
      QCOMPARE(w.windowTitle(), QString("Tavro - 非公開中"));
      const auto shown = MessageBoxes::TakeShown();
      QCOMPARE(shown.size(), reachable ? 1 : 2);
      QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"),
               std::string(reachable ? "offline #####\r\n" : "online page\r\n"));
      if (!reachable) {
        QCOMPARE(shown[1].Text, QString("非公開設定にできませんでした。"));
        QCOMPARE(shown[1].Style, 0u);
        QCOMPARE(shown[1].Owner, &w);
      }
    }
  }

  // Yes while a publish sequence is still queued: the online page must not
  // land after the offline one.
  void YesWhileAPublishIsQueuedLeavesTheOfflinePageLast() {
    test::VsftpdServer server;
    QVERIFY2(server.Started(), server.Error().c_str());
    Fixture f({}, true, FtpTimeouts{std::chrono::milliseconds(5000)});
    CMainDialog& w = *f.Window;
    const fs::path offline = f.Template.parent_path() / "offline.html";
    WriteFile(offline, "offline\r\n");
    w.Server = server.Address();
    w.User = test::VsftpdServer::User;
    w.Password = test::VsftpdServer::Password;
    w.OfflineFile = offline.string();
    w.FtpFile = "/pub/index.html";
    w.LastWanAddress = "198.51.100.1";
    w.IPMode = "WAN";
    WriteFile(server.Pub() / "index.html", "old page\r\n");
    server.Share(server.Pub() / "index.html");
    for (int i = 0; i < 3; ++i) {
      w.Publish();
    }
    MessageBoxes::SetNextAnswer(IDYES);
    QVERIFY(w.ConfirmUnpublish(MB_YESNOCANCEL | MB_ICONINFORMATION));
    const auto shown = MessageBoxes::TakeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), std::string("offline\r\n"));
    // Three sequences were queued: had they not been dropped, the online page
    // would come back within this second.
    QTest::qWait(1000);
    QCOMPARE(test::ReadFileBytes(server.Pub() / "index.html"), std::string("offline\r\n"));
  }

  void EndingPathsAskSaveAndClose_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("published");
    for (const char* path : {"exit command", "tray exit", "Enter", "Escape", "close box"}) {
      const bool ok = QString(path) != "Escape" && QString(path) != "close box";
      const int result = ok ? QDialog::Accepted : QDialog::Rejected;
      QTest::addRow("%s, No", path) << path << IDNO << true << result << 1;
      QTest::addRow("%s, Cancel", path) << path << IDCANCEL << false << 0 << 1;
    }
    // Not published: nothing to ask, the window simply ends.
    QTest::addRow("exit command, not published") << "exit command" << 0 << true << 1 << 0;
  }
  void EndingPathsAskSaveAndClose() {
    QFETCH(QString, path);
    QFETCH(int, answer);
    QFETCH(bool, closes);
    QFETCH(int, result);
    QFETCH(int, published);
    Settings settings;
    settings.IsCreateWwwOpen = published;
    Fixture f(settings);
    CMainDialog& w = *f.Window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.Server = "changed.example.test";
    MessageBoxes::SetNextAnswer(answer);
    if (path == "exit command") {
      w.Ui().MenuItem(IDOK_COMMAND)->trigger();
    } else if (path == "tray exit") {
      w.GetTrayMenu()->actions().last()->trigger();
    } else if (path == "Enter") {
      QTest::keyClick(&w, Qt::Key_Return);
    } else if (path == "Escape") {
      QTest::keyClick(&w, Qt::Key_Escape);
    } else {
      w.close();
    }
    QCOMPARE(MessageBoxes::TakeShown().size(), published);
    QCOMPARE(w.isVisible(), !closes);
    QCOMPARE(w.IsPublished, published);
    if (closes) {
      QCOMPARE(w.result(), result);
      QCOMPARE(w.IsExiting, published);
      QCOMPARE(f.Stored().Server, std::string("changed.example.test"));
      QVERIFY(!w.TrayIcon()->isVisible());
    } else {
      QCOMPARE(w.IsExiting, 0);
      QCOMPARE(f.Stored().Server, std::string());
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

  // A signal ends the program without the question and leaves the page.
  void SignalEndsWithoutAQuestion() {
    Fixture f;
    CMainDialog& w = *f.Window;
    w.show();
    w.IsPublished = 1;
    w.Trace = "saved.example.test";
    w.EndWithoutQuestion();
    QVERIFY(!w.isVisible());
    QVERIFY(MessageBoxes::TakeShown().isEmpty());
    QCOMPARE(w.IsPublished, 1);
    QCOMPARE(f.Stored().Trace, std::string("saved.example.test"));
  }

  // Settings that could not be read at start-up are not replaced by the
  // defaults at the end, even where the file could be written by then.
  void UnreadableSettingsAreNotOverwritten() {
    QTemporaryDir dir;
    const fs::path file = fs::path(dir.path().toStdString()) / "Tavro.reg";
    auto store = std::make_unique<FailingFirstStore>(MakeFileRegistryStore(file));
    FailingFirstStore* watch = store.get();
    MainDialogOptions options;
    options.Store = std::move(store);
    options.StartWorkers = false;
    MessageBoxes::AnswerInAdvance(true);
    {
      CMainDialog w(std::move(options));
      w.OnInitDialog();
      QVERIFY(!w.SettingsWereLoaded());
      QCOMPARE(watch->Calls, 1);
      w.OnOK();
      QCOMPARE(watch->Calls, 1);
    }
    QVERIFY(!fs::exists(file));
    MessageBoxes::AnswerInAdvance(false);
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
