// One Tavro per settings folder, with the real program started again and
// again on a private settings folder: a second start hands over to the first
// and ends without probing, publishing or saving; starts at the same moment
// end with one running; a first start killed outright blocks nothing.
#include "registry/RegistryStore.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/VsftpdServer.h"
#include "settings/Settings.h"
#include "support/TextFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace tavro;
namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 20000;  // ms; generous, every wait polls
constexpr const char* kHandedOver = "tavro: already running with the settings in ";
constexpr const char* kWanChanged = "Msg: WAN IPアドレスに変更がありました。";
constexpr const char* kUpdateFinished = "Msg: 更新作業が終了しました。";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// One start of the real program, its stderr collected as it comes.
struct Start {
  QProcess Process;
  QString Err;

  Start(const QProcessEnvironment& env, const QStringList& args = {}) {
    Process.setProcessEnvironment(env);
    QObject::connect(&Process, &QProcess::readyReadStandardError,
                     [this] { Err += QString::fromUtf8(Process.readAllStandardError()); });
    Process.start(qEnvironmentVariable("TAVRO_EXECUTABLE"), args);
    Process.waitForStarted();
  }
  ~Start() {
    Process.kill();
    Process.waitForFinished();
  }
  // Ended by itself with status 0, its stderr read to the end.
  bool EndedWithZero() {
    if (Running() && !Process.waitForFinished(kDeadline)) {
      return false;
    }
    Err += QString::fromUtf8(Process.readAllStandardError());
    return Process.exitStatus() == QProcess::NormalExit && Process.exitCode() == 0;
  }
  bool Running() const { return Process.state() == QProcess::Running; }
};

// A settings folder of its own, at the end of a path far longer than a local
// socket's name may be, and a runtime folder of its own.
struct Home {
  QTemporaryDir Dir;
  const fs::path Base = Dir.path().toStdString();
  const fs::path Config = Base / std::string(150, 'c');
  const fs::path Folder = Config / "Quillbet";
  const fs::path SettingsFile = Folder / "Tavro.reg";
  const fs::path Runtime = Base / "run";

  Home() {
    fs::create_directories(Runtime);
    fs::permissions(Runtime, fs::perms::owner_all);
  }
  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(Base.string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(Config.string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(Runtime.string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TAVRO_LOG_TO_STDERR", "1");
    return env;
  }
  bool Save(const Settings& settings) const {
    return SaveSettings(*MakeFileRegistryStore(SettingsFile), settings);
  }
};

// A client of the first start's socket that speaks as the test tells it.
struct RawPeer {
  int Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);

  explicit RawPeer(const fs::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket.string().copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(Fd);
      Fd = -1;
    }
  }
  ~RawPeer() {
    if (Fd >= 0) {
      ::close(Fd);
    }
  }
  bool Send(const std::string& text) const {
    return ::send(Fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  }
  // Everything the other side sends until it closes; nullopt where it keeps
  // the connection open for `wait` ms.
  std::optional<std::string> ReadToEnd(int wait) const {
    std::string all;
    for (;;) {
      pollfd entry{Fd, POLLIN, 0};
      if (::poll(&entry, 1, wait) != 1) {
        return std::nullopt;
      }
      char buffer[256];
      const ssize_t n = ::recv(Fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        return all;
      }
      all.append(buffer, std::size_t(n));
    }
  }
};

}  // namespace

class SingleInstanceTest : public QObject {
  Q_OBJECT

private slots:
  // The first start publishes as its settings ask; a second start with the
  // same settings folder ends at once with one line, and the server sees one
  // probe and one upload, the settings file no save. The first runs on.
  void SecondStartHandsOverAndEnds() {
    Home home;
    test::VsftpdOptions logged;
    logged.LogCommands = true;
    test::VsftpdServer ftp(logged);
    QVERIFY2(ftp.Started(), ftp.Error().c_str());
    test::ScriptedSmtpPeer mail([] {
      test::SmtpScript script;
      script.Answer = "250 peer.test Hello [203.0.113.9]\r\n";
      return script;
    }());
    std::ofstream(home.Base / "online.html", std::ios::binary) << "<p>on #####</p>\n";
    std::ofstream(home.Base / "offline.html", std::ios::binary) << "<p>off</p>\n";
    Settings record;
    record.Server = ftp.Address();
    record.User = test::VsftpdServer::User;
    record.Password = test::VsftpdServer::Password;
    record.FtpFile = "/pub/index.html";
    record.OnlineFile = (home.Base / "online.html").string();
    record.OfflineFile = (home.Base / "offline.html").string();
    record.Trace = "127.0.0.1:" + std::to_string(mail.Port());
    record.IsCreateWwwOpen = 1;
    QVERIFY(home.Save(record));

    Start first(home.Environment());
    QTRY_VERIFY2_WITH_TIMEOUT(first.Err.contains(kUpdateFinished), qPrintable(first.Err),
                              kDeadline);
    QCOMPARE(test::ReadFileBytes(ftp.Pub() / "index.html"),
             std::string("<p>on 203.0.113.9</p>\r\n"));
    QCOMPARE(Count(ftp.Log(), "STOR"), std::size_t(1));
    QCOMPARE(mail.Connections(), std::size_t(1));
    const std::string settingsBefore = test::ReadFileBytes(home.SettingsFile);

    Start second(home.Environment());
    QVERIFY2(second.EndedWithZero(), qPrintable(second.Err));
    const QStringList lines = second.Err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(kHandedOver + QString::fromStdString(home.Folder.string())),
             qPrintable(lines[0]));
    // The second start has ended: whatever it did is done. It neither
    // probed, nor uploaded, nor saved.
    QCOMPARE(mail.Connections(), std::size_t(1));
    QCOMPARE(Count(ftp.Log(), "STOR"), std::size_t(1));
    QCOMPARE(test::ReadFileBytes(home.SettingsFile), settingsBefore);
    QVERIFY(first.Running());

    // The command line's probe is no start of the program: it runs as ever.
    Start probe(home.Environment(), {"--probe"});
    QVERIFY2(probe.EndedWithZero(), qPrintable(probe.Err));
    QVERIFY(QString::fromUtf8(probe.Process.readAllStandardOutput()).contains("203.0.113.9"));
    QVERIFY2(!probe.Err.contains(kHandedOver), qPrintable(probe.Err));
    QCOMPARE(mail.Connections(), std::size_t(2));

    // The first one still answers and ends as usual, giving up its lock.
    first.Process.terminate();
    QVERIFY2(first.EndedWithZero(), qPrintable(first.Err));
    QVERIFY(!first.Err.contains(kHandedOver));
    QVERIFY(!fs::exists(home.Folder / "Tavro.instance.lock"));
    QVERIFY(fs::is_empty(home.Runtime));
  }

  // Starts at the same moment: the lock picks one, the others hand over to
  // it, also while it is not listening yet.
  void SimultaneousStartsLeaveOne() {
    Home home;
    std::vector<std::unique_ptr<Start>> starts;
    for (int i = 0; i < 4; ++i) {
      starts.push_back(std::make_unique<Start>(home.Environment()));
    }
    int handedOver = 0;
    Start* running = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(starts.begin(), starts.end(),
                    [](const auto& s) { return !s->Running() || s->Err.contains("Err: "); }),
        kDeadline);
    for (auto& start : starts) {
      if (start->Running()) {
        QVERIFY2(running == nullptr, "two are running");
        running = start.get();
      } else {
        QVERIFY2(start->EndedWithZero(), qPrintable(start->Err));
        QVERIFY2(start->Err.startsWith(kHandedOver), qPrintable(start->Err));
        ++handedOver;
      }
    }
    QVERIFY(running != nullptr);
    QCOMPARE(handedOver, 3);
    // The one running probed (with no mail server set, it says so).
    QVERIFY2(running->Err.contains("Err: "), qPrintable(running->Err));
  }

  // A first start killed outright leaves its lock and its socket behind; the
  // next start runs all the same and is then the one later starts find.
  void KilledFirstStartBlocksNothing() {
    Home home;
    Settings record;
    test::ScriptedSmtpPeer mail([] {
      test::SmtpScript script;
      script.Answer = "250 peer.test Hello [203.0.113.9]\r\n";
      return script;
    }());
    record.Trace = "127.0.0.1:" + std::to_string(mail.Port());
    QVERIFY(home.Save(record));
    {
      Start killed(home.Environment());
      QTRY_VERIFY2_WITH_TIMEOUT(killed.Err.contains(kWanChanged), qPrintable(killed.Err),
                                kDeadline);
      killed.Process.kill();
      QVERIFY(killed.Process.waitForFinished(kDeadline));
      QCOMPARE(killed.Process.exitStatus(), QProcess::CrashExit);
    }
    QVERIFY(fs::exists(home.Folder / "Tavro.instance.lock"));
    QVERIFY(!fs::is_empty(home.Runtime));  // the socket file

    Start next(home.Environment());
    QTRY_VERIFY2_WITH_TIMEOUT(next.Err.contains(kWanChanged), qPrintable(next.Err), kDeadline);
    QVERIFY2(!next.Err.contains(kHandedOver), qPrintable(next.Err));
    QCOMPARE(mail.Connections(), std::size_t(2));

    Start later(home.Environment());
    QVERIFY2(later.EndedWithZero(), qPrintable(later.Err));
    QVERIFY2(later.Err.startsWith(kHandedOver), qPrintable(later.Err));
    QCOMPARE(mail.Connections(), std::size_t(2));
    QVERIFY(next.Running());
  }

  // Only the user may use the socket; a peer that says nothing, too much or
  // something else is cut off without an answer, and the window is asked as
  // before while such peers hang on.
  void StrangePeersGetNoAnswer() {
    Home home;
    Start first(home.Environment());
    QTRY_VERIFY2_WITH_TIMEOUT(first.Err.contains("Err: "), qPrintable(first.Err), kDeadline);
    std::vector<fs::path> sockets;
    for (const auto& entry : fs::directory_iterator(home.Runtime)) {
      sockets.push_back(entry.path());
    }
    QCOMPARE(sockets.size(), std::size_t(1));
    struct stat info {};
    QCOMPARE(::lstat(sockets[0].c_str(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
    QCOMPARE(info.st_mode & 0777, mode_t(0600));

    RawPeer silent(sockets[0]), talkative(sockets[0]), wrong(sockets[0]), half(sockets[0]);
    QVERIFY(silent.Fd >= 0 && talkative.Fd >= 0 && wrong.Fd >= 0 && half.Fd >= 0);
    QVERIFY(talkative.Send(std::string(65, 's')));
    QVERIFY(wrong.Send("shown\n"));
    QVERIFY(half.Send("sho"));
    QCOMPARE(talkative.ReadToEnd(kDeadline), std::optional<std::string>(""));
    QCOMPARE(wrong.ReadToEnd(kDeadline), std::optional<std::string>(""));

    Start second(home.Environment());
    QVERIFY2(second.EndedWithZero(), qPrintable(second.Err));
    QVERIFY2(second.Err.startsWith(kHandedOver), qPrintable(second.Err));
    // The two that never finished their request are let go in the end.
    QCOMPARE(silent.ReadToEnd(kDeadline), std::optional<std::string>(""));
    QCOMPARE(half.ReadToEnd(kDeadline), std::optional<std::string>(""));
    QVERIFY(first.Running());
  }
};

QTEST_MAIN(SingleInstanceTest)
#include "singleinstance_test.moc"
