#include "publish/CFtpThread.h"

#include "ftp/FtpEntry.h"
#include "ftp/FtpReplace.h"
#include "ftp/FtpTextCodec.h"
#include "ftp/RemoteSession.h"
#include "platform/CauseLine.h"
#include "platform/EventSet.h"
#include "publish/RemoteSessions.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tavro {
namespace {

// CommandEvent before StopEvent: when both are signalled the command wins.
constexpr std::size_t CommandEvent = 0;
constexpr std::size_t StopEvent = 1;

std::string Quoted(std::string_view prefix, std::string_view value) {
  std::string text(prefix);
  text += '"';
  text += value;
  text += '"';
  return text;
}

struct Command {
  std::uint32_t Code = 0;
  std::string First;
  std::string Second;
  std::string Third;
  bool Replace = false;
  bool RemoveLocal = false;  // First, the local file, once the command has run
};

void RemoveLocalFile(const Command& command) {
  if (command.RemoveLocal) {
    ::unlink(command.First.c_str());
  }
}

}  // namespace

struct CFtpThread::State {
  // Shared with the owner's thread, under Mutex.
  mutable std::mutex Mutex;
  std::condition_variable Finished;  // a command or the loop has ended
  std::deque<Command> Queue;         // the running command stays at the head
  bool Running = false;
  bool Idle = false;
  bool Started = false;
  std::string Directory;
  FtpTimeouts Timeouts;
  std::string KnownHostsFile;  // empty: the one beside the settings

  EventSet Events{2};
  ReportChannel Channel;
  std::atomic<bool> Connected{false};

  // The worker's own.
  bool HasSession = false;
  std::unique_ptr<RemoteSession> Connection;
  std::string StatusText;
  ListedEntry Listed;  // the entry being reported; its strings are reused

  void Loop();
  void Execute(const Command& command);
  void Connect(const Command& command);
  void Disconnect();
  void ChangeDirectory();
  void Download(const Command& command);
  void Upload(const Command& command);
  void Replace(const Command& command);
  void Simple(const Command& command);
  void List();
  bool RequireConnection(std::uint32_t code);
  // After a command's outcome text: where it failed, the line that says why.
  void FailureCause(bool ok) {
    if (!ok) {
      Text(CauseLine(Connection->LastCause()));
    }
  }

  void Text(std::string text) {
    StatusText = std::move(text);
    Channel.Deliver(WorkerReport::WithText(kWmFtpThreadMessage, FTPMSG_TEXT, StatusText));
  }
  void Event(std::uint32_t code) { Channel.Deliver(WorkerReport::Notice(kWmFtpThreadEvent, code)); }
  void Result(std::uint32_t code, bool success) {
    Channel.Deliver(WorkerReport::Result(kWmFtpThreadMessage, code, success));
  }
};

void CFtpThread::State::Loop() {
  for (;;) {
    std::optional<Command> command;
    {
      std::lock_guard lock(Mutex);
      if (!Queue.empty()) {
        command = Queue.front();
        Running = true;
      }
    }
    if (!command) {
      // A command signal that finds the queue empty (the command was taken
      // before its signal came) leads back here.
      if (Events.WaitAny(std::nullopt) == StopEvent) {
        break;
      }
      continue;
    }
    Execute(*command);
    {
      std::lock_guard lock(Mutex);
      if (!Queue.empty()) {
        Queue.pop_front();
      }
      Running = false;
    }
    Finished.notify_all();
    Events.Reset(CommandEvent);
  }
  // Idle for good; a session still open is closed (its QUIT is bounded by the
  // reply time-out).
  if (Connection) {
    Connection->Close();
    Connection.reset();
  }
  HasSession = false;
  Connected = false;
  {
    std::lock_guard lock(Mutex);
    Idle = true;
  }
  Finished.notify_all();
}

void CFtpThread::State::Execute(const Command& command) {
  switch (command.Code) {
    case FTPCMD_CONNECT:
      Connect(command);
      break;
    case FTPCMD_DISCONNECT:
      Disconnect();
      break;
    case FTPCMD_CHDIR:
      ChangeDirectory();
      break;
    case FTPCMD_GET:
      Download(command);
      break;
    case FTPCMD_PUT:
      Upload(command);
      break;
    case FTPCMD_REPLACE:
      Replace(command);
      break;
    case FTPCMD_DELETE:
    case FTPCMD_RENAME:
    case FTPCMD_RMDIR:
    case FTPCMD_MKDIR:
      Simple(command);
      break;
    case FTPCMD_LIST:
      List();
      break;
    default:
      break;  // no command: taken off the queue, nothing done
  }
}

bool CFtpThread::State::RequireConnection(std::uint32_t code) {
  if (HasSession && Connection) {
    return true;
  }
  Text("Err: まだ接続されていません");
  Result(code, false);
  return false;
}

void CFtpThread::State::Connect(const Command& command) {
  if (HasSession && Connection) {
    Text("Err: すでに接続されています。");
    Result(FTPCMD_CONNECT, false);
    return;
  }
  if (HasSession) {
    // Left over from a failed attempt: the disconnect finds no connection and
    // says so; the session is replaced below.
    Disconnect();
  }
  Text("Msg: 接続中");
  Event(FTPCMD_CONNECT);
  HasSession = true;
  FtpTimeouts timeouts;
  std::string knownHosts;
  {
    std::lock_guard lock(Mutex);
    timeouts = Timeouts;
    knownHosts = KnownHostsFile;
  }
  auto connection =
      MakeRemoteSession(command.First, timeouts, knownHosts, [this](const std::string& address) {
        Text(Quoted("Msg: サーバー以外からのデータ接続を拒否しました。: ", address));
      });
  if (connection->Open(command.First, command.Second, command.Third)) {
    Connection = std::move(connection);
    Connected = true;
    Text("Msg: 接続しました");
    Result(FTPCMD_CONNECT, true);
  } else {
    Text("Err: 接続できませんでした");
    Text(CauseLine(connection->LastCause()));
    if (auto refusal = HostKeyRefusalText(*connection)) {
      Text(std::move(*refusal));
    }
    Result(FTPCMD_CONNECT, false);
  }
}

void CFtpThread::State::Disconnect() {
  if (!RequireConnection(FTPCMD_DISCONNECT)) {
    return;
  }
  Connection->Close();
  Text("Msg: 切断しました。");
  Connection.reset();
  HasSession = false;
  Connected = false;
  Result(FTPCMD_DISCONNECT, true);
}

void CFtpThread::State::ChangeDirectory() {
  if (!RequireConnection(FTPCMD_CHDIR)) {
    return;
  }
  std::string directory;
  {
    std::lock_guard lock(Mutex);
    directory = Directory;
  }
  if (Connection->ChangeDirectory(directory)) {
    Result(FTPCMD_CHDIR, true);
    return;
  }
  Text(Quoted("Err: 指定されたパスはディレクトリではありません。: ", directory));
  Text(CauseLine(Connection->LastCause()));
  const auto current = Connection->CurrentDirectory();
  if (current) {
    std::lock_guard lock(Mutex);
    // A change the owner queued meanwhile keeps its path.
    if (Directory == directory) {
      Directory = *current;
    }
  }
  Text(Quoted("Msg: ディレクトリとして設定しました。: ", current ? *current : directory));
  // A refused change is still reported as done: the directory is now the one
  // the server is really in.
  Result(FTPCMD_CHDIR, true);
}

void CFtpThread::State::Download(const Command& command) {
  if (!RequireConnection(FTPCMD_GET)) {
    return;
  }
  Text("Msg: ダウンロードします。");
  Event(FTPCMD_GET);
  const bool ok = Connection->Download(command.First, command.Second, command.Replace);
  Text(ok ? "Msg: ダウンロードに成功しました。" : "Err: ダウンロードに失敗しました。");
  FailureCause(ok);
  Result(FTPCMD_GET, ok);
}

void CFtpThread::State::Upload(const Command& command) {
  if (!RequireConnection(FTPCMD_PUT)) {
    return;
  }
  Text("Msg: アップロードします。");
  Event(FTPCMD_PUT);
  const bool ok = Connection->Upload(command.First, command.Second);
  Text(Quoted(ok ? "Msg: アップロードに成功しました。: " : "Err: アップロードに失敗しました。: ",
              command.Second));
  FailureCause(ok);
  Result(FTPCMD_PUT, ok);
}

void CFtpThread::State::Replace(const Command& command) {
  if (!HasSession || !Connection) {
    RemoveLocalFile(command);
    RequireConnection(FTPCMD_PUT);
    return;
  }
  Text("Msg: アップロードします。");
  Event(FTPCMD_PUT);
  std::string cause;
  const bool ok = ReplaceRemoteFile(*Connection, command.First, command.Second, {}, cause);
  // Before the result, so that an owner who sees it finds the file gone.
  RemoveLocalFile(command);
  Text(Quoted(ok ? "Msg: アップロードに成功しました。: " : "Err: アップロードに失敗しました。: ",
              command.Second));
  if (!ok) {
    Text(CauseLine(cause));
  }
  Result(FTPCMD_PUT, ok);
}

void CFtpThread::State::Simple(const Command& command) {
  struct Texts {
    std::string_view Announce;
    std::string_view Success;
    std::string_view Failure;
  };
  Texts texts;
  switch (command.Code) {
    case FTPCMD_DELETE:
      texts = {"Msg: ファイルを削除します。 : ", "Msg: ファイルを削除しました。: ",
               "Err: ファイルを削除できませんでした。: "};
      break;
    case FTPCMD_RENAME:
      texts = {"Msg: ファイル名を変更します。: ", "Msg: ファイル名を変更しました。: ",
               "Err: ファイル名を変更できませんでした。: "};
      break;
    case FTPCMD_RMDIR:
      texts = {"Msg: ディレクトリを削除します。 : ", "Msg: ディレクトリを削除しました。 : ",
               "Err: ディレクトリを削除することができませんでした。 : "};
      break;
    default:
      texts = {"Msg: ディレクトリを作成します。 : ", "Msg: ディレクトリを作成しました。 : ",
               "Err: ディレクトリを作成することができませんでした。 : "};
      break;
  }
  if (!RequireConnection(command.Code)) {
    return;
  }
  // The rename quotes the new name; the others their one path.
  const std::string& quoted = command.Code == FTPCMD_RENAME ? command.Second : command.First;
  Text(Quoted(texts.Announce, quoted));
  Event(command.Code);
  bool ok = false;
  switch (command.Code) {
    case FTPCMD_DELETE:
      ok = Connection->Delete(command.First);
      break;
    case FTPCMD_RENAME:
      ok = Connection->Rename(command.First, command.Second);
      break;
    case FTPCMD_RMDIR:
      ok = Connection->RemoveDirectory(command.First);
      break;
    default:
      ok = Connection->CreateDirectory(command.First);
      break;
  }
  Text(Quoted(ok ? texts.Success : texts.Failure, quoted));
  FailureCause(ok);
  Result(command.Code, ok);
}

void CFtpThread::State::List() {
  if (!RequireConnection(FTPCMD_LIST)) {
    return;
  }
  std::string directory;
  {
    std::lock_guard lock(Mutex);
    directory = Directory;
  }
  Text(Quoted("Msg: ディレクトリ検索中: ", directory));
  Event(FTPCMD_LIST);
  // Decoded here, with the session's own codec, so that no owner has to know
  // which encoding the server was given.
  const FtpTextCodec& codec = Connection->Codec();
  const auto count = Connection->List(directory, [this, &codec](const FtpEntry& entry) {
    Listed.Name = codec.ToText(entry.Name);
    Listed.Raw = entry;
    Channel.Deliver(WorkerReport::WithEntry(kWmFtpThreadMessage, FTPMSG_ENTRY, Listed));
  });
  if (!count) {
    // The entries reported are not the folder, and the session has closed:
    // the owner sees it disconnected and logs on again.
    Text("Err: ディレクトリ検索が途中で切れました");
    Text(CauseLine(Connection->LastCause()));
    Connection.reset();
    HasSession = false;
    Connected = false;
    Result(FTPCMD_LIST, false);
    return;
  }
  if (*count == 0) {
    // No entry at all, an empty directory included: the search did not start.
    Result(FTPCMD_LIST, false);
    return;
  }
  Text("Msg: ディレクトリ検索終了");
  Result(FTPCMD_LIST, true);
}

CFtpThread::CFtpThread() : Shared(std::make_shared<State>()) {}

CFtpThread::~CFtpThread() {
  Shared->Channel.Close();
  Shared->Events.Signal(StopEvent);
}

void CFtpThread::SetOwner(std::weak_ptr<IReportSink> owner) {
  Shared->Channel.Open(std::move(owner));
}

void CFtpThread::SetKnownHostsFile(std::string path) {
  std::lock_guard lock(Shared->Mutex);
  Shared->KnownHostsFile = std::move(path);
}

void CFtpThread::SetTimeouts(FtpTimeouts timeouts) {
  std::lock_guard lock(Shared->Mutex);
  Shared->Timeouts = timeouts;
}

void CFtpThread::Start() {
  {
    std::lock_guard lock(Shared->Mutex);
    if (Shared->Started) {
      return;
    }
    Shared->Started = true;
  }
  // The thread owns a share of the state and is never joined: the owner may
  // go away while it still blocks on the network.
  std::thread([state = Shared] { state->Loop(); }).detach();
}

void CFtpThread::Enqueue(std::uint32_t code, std::string first, std::string second,
                         std::string third, bool replace, bool removeLocal) {
  {
    std::lock_guard lock(Shared->Mutex);
    Shared->Queue.push_back(
        {code, std::move(first), std::move(second), std::move(third), replace, removeLocal});
  }
  Shared->Events.Signal(CommandEvent);
}

void CFtpThread::QueueConnect(std::string server, std::string user, std::string password) {
  Enqueue(FTPCMD_CONNECT, std::move(server), std::move(user), std::move(password));
}

void CFtpThread::QueueDisconnect() {
  Enqueue(FTPCMD_DISCONNECT);
}

void CFtpThread::QueueChangeDirectory(std::string remotePath) {
  {
    std::lock_guard lock(Shared->Mutex);
    Shared->Directory = std::move(remotePath);
  }
  Enqueue(FTPCMD_CHDIR);
}

void CFtpThread::QueueDownload(std::string remoteFile, std::string localFile) {
  Enqueue(FTPCMD_GET, std::move(remoteFile), std::move(localFile));
}

void CFtpThread::QueueDownloadReplacing(std::string remoteFile, std::string localFile) {
  Enqueue(FTPCMD_GET, std::move(remoteFile), std::move(localFile), {}, true);
}

void CFtpThread::QueueUpload(std::string localFile, std::string remoteFile) {
  Enqueue(FTPCMD_PUT, std::move(localFile), std::move(remoteFile));
}

void CFtpThread::QueueReplace(std::string localFile, std::string remoteFile, LocalFile afterwards) {
  Enqueue(FTPCMD_REPLACE, std::move(localFile), std::move(remoteFile), {}, false,
          afterwards == LocalFile::Remove);
}

void CFtpThread::QueueDelete(std::string remoteFile) {
  Enqueue(FTPCMD_DELETE, std::move(remoteFile));
}

void CFtpThread::QueueRename(std::string existingName, std::string newName) {
  Enqueue(FTPCMD_RENAME, std::move(existingName), std::move(newName));
}

void CFtpThread::QueueRemoveDirectory(std::string remoteDirectory) {
  Enqueue(FTPCMD_RMDIR, std::move(remoteDirectory));
}

void CFtpThread::QueueCreateDirectory(std::string remoteDirectory) {
  Enqueue(FTPCMD_MKDIR, std::move(remoteDirectory));
}

void CFtpThread::QueueList() {
  Enqueue(FTPCMD_LIST);
}

std::string CFtpThread::GetDirectory() const {
  std::lock_guard lock(Shared->Mutex);
  return Shared->Directory;
}

bool CFtpThread::IsConnected() const {
  return Shared->Connected;
}

void CFtpThread::RequestStop() {
  Shared->Events.Signal(StopEvent);
}

bool CFtpThread::DiscardPendingAndWait(std::chrono::milliseconds limit) {
  Shared->Channel.Close();
  std::unique_lock lock(Shared->Mutex);
  const auto dropped = Shared->Queue.begin() + (Shared->Running ? 1 : 0);
  std::for_each(dropped, Shared->Queue.end(), RemoveLocalFile);
  Shared->Queue.erase(dropped, Shared->Queue.end());
  return Shared->Finished.wait_for(lock, limit, [&] { return !Shared->Running || Shared->Idle; });
}

bool CFtpThread::IsIdle() const {
  std::lock_guard lock(Shared->Mutex);
  return Shared->Idle;
}

}  // namespace tavro
