// The FTP worker: one FTP session on a thread of its own that carries out the
// commands its owner queues, one at a time and in order, and reports each step
// to the owner's sink (kWmFtpThreadEvent when a command starts its network
// work, kWmFtpThreadMessage for status texts, listing entries and results).
// Payloads: a start notice carries none, FTPMSG_TEXT a text, FTPMSG_ENTRY an
// ListedEntry and a command's code its CommandResult.
//
// Texts. Every path and name given to a Queue operation is program text
// (UTF-8); the worker converts it for the server with the encoding chosen at
// connect time. Each entry arrives with its name already decoded by the
// worker into program text that converts back to exactly the server's bytes,
// also where they are not valid in the server's encoding, and with those
// bytes beside it (ListedEntry): the owner shows the text and passes it back
// (alone or joined into a path) for a rename, a removal or a download. Status
// texts quote program text.
//
// Lifetime. The thread and the CFtpThread object share the working state, so
// the owner may destroy the object at once, even while a command blocks:
// reports stop there, the commands still queued run to the end, an open
// session is closed, and the thread ends by itself within its time-outs.
// Nothing waits for the thread except DiscardPendingAndWait, with a bound.
#pragma once

#include "platform/ReportSink.h"
#include "platform/Timeouts.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace tavro {

// Command codes: the wParam of both messages for that command. A transfer that
// waits for its data connection closes any connection that does not come from
// the server's address and says so once in a status text.
inline constexpr std::uint32_t FTPCMD_CONNECT = 1;
inline constexpr std::uint32_t FTPCMD_DISCONNECT = 2;
inline constexpr std::uint32_t FTPCMD_CHDIR = 3;
inline constexpr std::uint32_t FTPCMD_GET = 5;
inline constexpr std::uint32_t FTPCMD_PUT = 6;
inline constexpr std::uint32_t FTPCMD_DELETE = 7;
inline constexpr std::uint32_t FTPCMD_RENAME = 8;
inline constexpr std::uint32_t FTPCMD_RMDIR = 9;
inline constexpr std::uint32_t FTPCMD_MKDIR = 10;
inline constexpr std::uint32_t FTPCMD_LIST = 15;
// Upload by temporary name and rename (QueueReplace). It reports as an upload:
// its start notice and result carry FTPCMD_PUT.
inline constexpr std::uint32_t FTPCMD_REPLACE = 17;
// Message codes of kWmFtpThreadMessage that are no command.
inline constexpr std::uint32_t FTPMSG_TEXT = 13;
inline constexpr std::uint32_t FTPMSG_ENTRY = 16;

class CFtpThread {
public:
  CFtpThread();
  // Stops the reports and asks the thread to stop; does not wait.
  ~CFtpThread();
  CFtpThread(const CFtpThread&) = delete;
  CFtpThread& operator=(const CFtpThread&) = delete;

  // The owner, set before Start; held weakly, so a gone owner gets nothing.
  void SetOwner(std::weak_ptr<IReportSink> owner);
  // Before Start; the tests use short ones.
  void SetTimeouts(FtpTimeouts timeouts);
  // The SFTP servers' known host keys; by default the file beside the
  // settings (DefaultKnownHostsFile). Before Start.
  void SetKnownHostsFile(std::string path);
  void Start();

  // Each request appends its command and returns at once. Commands 1, 5 to
  // 10 and 17 keep their own arguments: two downloads queued back to back each
  // fetch their own file.
  void QueueConnect(std::string server, std::string user, std::string password);
  void QueueDisconnect();
  // Writes Directory now (GetDirectory reads it back at once); the command and
  // any listing after it use Directory as it is when they run.
  void QueueChangeDirectory(std::string remotePath);
  // Fails where the local file exists.
  void QueueDownload(std::string remoteFile, std::string localFile);
  // Replaces an existing local file, but only once the whole file has arrived
  // (the user has already confirmed the overwrite).
  void QueueDownloadReplacing(std::string remoteFile, std::string localFile);
  void QueueUpload(std::string localFile, std::string remoteFile);
  // The upload of a page: it goes up under a temporary name beside the remote
  // file and is renamed over it, so that a visitor sees the old page or the
  // new one, never part of one (ReplaceRemoteFile, with its fallbacks for
  // servers that rename differently). Texts and notices as QueueUpload's,
  // with FTPCMD_PUT. LocalFile::Remove deletes localFile once the command has
  // run (before its result is reported), whatever the outcome, also where it
  // is dropped unrun by DiscardPendingAndWait: for a file made for this one
  // upload.
  enum class LocalFile { Keep, Remove };
  void QueueReplace(std::string localFile, std::string remoteFile,
                    LocalFile afterwards = LocalFile::Keep);
  void QueueDelete(std::string remoteFile);
  void QueueRename(std::string existingName, std::string newName);
  void QueueRemoveDirectory(std::string remoteDirectory);
  void QueueCreateDirectory(std::string remoteDirectory);
  // Lists Directory as it is when the listing runs: after a refused change,
  // the folder the server is really in.
  void QueueList();

  std::string GetDirectory() const;
  // Connected state: a session that logged on and has not been disconnected.
  bool IsConnected() const;

  // Commands still queued run to the last before the stop takes effect.
  void RequestStop();
  // For leaving the program: stops the reports (the owner is about to wait on
  // its own thread and cannot handle them), drops the commands that have not
  // started and waits up to limit for the one in flight. True where no command
  // is running any more.
  bool DiscardPendingAndWait(std::chrono::milliseconds limit);
  // True once the thread has left its loop after a stop.
  bool IsIdle() const;

private:
  struct State;

  void Enqueue(std::uint32_t code, std::string first = {}, std::string second = {},
               std::string third = {}, bool replace = false, bool removeLocal = false);

  std::shared_ptr<State> Shared;
};

}  // namespace tavro
