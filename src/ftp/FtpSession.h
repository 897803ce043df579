// One FTP session on Poco's sockets, shaped after the platform calls the
// publishing code was written for: open and log on in one step, active mode,
// binary transfers, and the file and directory operations. Every wait on the
// network is bounded by FtpTimeouts; each reply, however many lines and
// preliminary replies it takes, ends within one reply time-out and within
// FtpReplyReader::MaxReply bytes.
//
// Paths and names are program text (UTF-8); the session converts them with the
// encoding it chose from the server's FEAT reply (see FtpTextCodec), so a name
// converted with Codec().ToText from a listing goes back as the same bytes.
// Local file paths are program text too.
//
// Failures are results, never exceptions, and LastCause says what happened.
// After a time-out or a broken control connection the dialogue with the server
// is out of step, so the session closes itself: later operations fail at once.
// A data connection that does not come, or goes silent, for one time-out is
// such a time-out: the transfer fails then, without waiting for a final reply.
#pragma once

#include "ftp/FtpEntry.h"
#include "ftp/FtpTextCodec.h"
#include "ftp/RemoteSession.h"
#include "platform/Timeouts.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

class FtpSession final : public RemoteSession {
public:
  struct ServerAddress {
    std::string Host;
    std::uint16_t Port = 21;
  };

  explicit FtpSession(FtpTimeouts timeouts = {});
  ~FtpSession() override;
  FtpSession(const FtpSession&) = delete;
  FtpSession& operator=(const FtpSession&) = delete;

  // "host" uses port 21; "host:port" and "[v6 address]:port" select a port.
  // defaultPort where the text names none (SFTP's 22 for its own texts).
  static std::optional<ServerAddress> ParseServer(std::string_view server,
                                                  std::uint16_t defaultPort = 21);

  // A server text "ftpes://host[:port]" secures the session with TLS (AUTH TLS
  // before anything else, data connections protected too); a failed
  // handshake or certificate, or a refusal, fails Open before USER is sent.
  // Connects, reads the greeting, asks FEAT for the text encoding (and says
  // OPTS UTF8 ON where UTF8 is offered), logs on and sets binary type.
  bool Open(std::string_view server, std::string_view user, std::string_view password) override;
  bool IsOpen() const override;
  // QUIT where the session is open; waits at most one reply time-out.
  void Close() override;

  const FtpTextCodec& Codec() const override { return TextCodec; }

  // A transfer takes its data connection only from the address of the
  // server's control connection; any other connection is closed unused and
  // the wait goes on. The notice is called with the first such stranger's
  // address of a transfer, on the caller's thread, while the transfer waits.
  // Set before Open.
  void SetStrangerNotice(std::function<void(const std::string& address)> notice) {
    StrangerNotice = std::move(notice);
  }

  // Why the last operation that failed did so, as one line of plain text: the
  // server's reply ("530 Login incorrect."), the system's error ("Connection
  // refused"), a time-out ("timed out after 30 s"), a certificate problem, or
  // what the session itself refused. Server text in it is bounded already
  // (BoundedCause). Set on every failure; a success leaves it undefined.
  const std::string& LastCause() const override { return Cause; }

  bool ChangeDirectory(std::string_view path) override;
  // The server's answer to PWD as program text; nullopt where it gave none.
  std::optional<std::string> CurrentDirectory() override;

  // LIST of the path (the current directory where empty); calls onEntry for
  // every line it can read, in the server's order, and returns how many; 0
  // where the server refused (the session lives). The session's directory is
  // the same afterwards. nullopt where the listing was cut off part-way (the
  // data connection broke, the server's last reply was no success) or the
  // session broke meanwhile: the entries reported are not the folder, and the
  // session has closed itself. A listing is bounded as a whole: an entry
  // beyond MaxListEntries, or data still coming after Timeouts.Listing(),
  // cuts it off too ("more than 1000000 entries", "timed out after 600 s").
  std::optional<std::size_t> List(std::string_view path,
                                  const std::function<void(const FtpEntry&)>& onEntry) override;

  // RETR into a file written beside localFile and moved into place once the
  // whole file has arrived, so a failed download leaves nothing behind. Fails
  // where localFile exists, unless replaceExisting, which replaces it only on
  // success.
  bool Download(std::string_view remoteFile, const std::string& localFile,
                bool replaceExisting) override;
  bool Upload(const std::string& localFile, std::string_view remoteFile) override;
  bool Delete(std::string_view path) override;
  // SIZE of the path: true where the server gives a size (a file is there);
  // false where it answers 550 (nothing there, or no plain file), refuses
  // otherwise or the session fails, the cause set; nullopt where the server
  // does not know the command (500, 501, 502, 504), the cause set too.
  std::optional<bool> FileExists(std::string_view path) override;
  bool Rename(std::string_view from, std::string_view to) override;
  // SourceRefused: RNFR refused; TargetRefused: RNTO refused (some servers
  // will not rename over an existing file).
  RenameResult TryRename(std::string_view from, std::string_view to) override;
  bool RemoveDirectory(std::string_view path) override;
  bool CreateDirectory(std::string_view path) override;

private:
  class Client;

  // Program text to the bytes of a command argument; nullopt where the
  // encoding cannot carry it or it would break the command line (CR, LF, NUL).
  // Sets the cause where it gives nullopt.
  std::optional<std::string> ToArgument(std::string_view text);
  // Runs one exchange; a refusal by the server leaves the session open, any
  // other failure closes it.
  bool Exchange(const std::function<void(Client&)>& exchange);
  // True, with the cause set, where the session is closed.
  bool Closed();
  void Fail(std::string_view cause);
  void Abandon();

  FtpTimeouts Timeouts;
  FtpTextCodec TextCodec;
  std::unique_ptr<Client> Control;
  std::string Cause;
  std::string ClosedBecause;  // the cause that closed the session
  std::function<void(const std::string&)> StrangerNotice;
};

}  // namespace tavro
