// What the worker, the page replacement and the unpublish on the way out need
// from a connection to the owner's server, whichever protocol carries it:
// FtpSession (FTP, FTP over TLS) and SftpSession (SSH) both provide it, with
// the same results, the same causes for what failed and the same listing
// entries, so the code above never asks which one it holds.
//
// Paths and names are program text (UTF-8); entries carry the server's raw
// bytes, which Codec().ToText turns into text that goes back as those bytes.
// Failures are results, never exceptions; LastCause says why, as one bounded
// line. After a time-out or a broken connection the session closes itself.
#pragma once

#include "ftp/FtpEntry.h"
#include "ftp/FtpTextCodec.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

class RemoteSession {
public:
  // The most entries one listing may report: a folder with more is taken for
  // a server that lists without end.
  static constexpr std::size_t MaxListEntries = 1'000'000;

  virtual ~RemoteSession() = default;

  virtual bool Open(std::string_view server, std::string_view user, std::string_view password) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  virtual const FtpTextCodec& Codec() const = 0;
  virtual const std::string& LastCause() const = 0;

  virtual bool ChangeDirectory(std::string_view path) = 0;
  virtual std::optional<std::string> CurrentDirectory() = 0;
  // The entries of the folder (the current one where empty), in the server's
  // order; 0 where the server refused, the session open. nullopt where the
  // listing was cut off part-way: the session has closed itself.
  virtual std::optional<std::size_t> List(std::string_view path,
                                          const std::function<void(const FtpEntry&)>& onEntry) = 0;
  // Written beside localFile and moved into place only once complete.
  virtual bool Download(std::string_view remoteFile, const std::string& localFile,
                        bool replaceExisting) = 0;
  virtual bool Upload(const std::string& localFile, std::string_view remoteFile) = 0;
  virtual bool Delete(std::string_view path) = 0;
  // True where a plain file is there; false where the server says nothing is
  // (or it refuses); nullopt where the server cannot tell.
  virtual std::optional<bool> FileExists(std::string_view path) = 0;
  virtual bool Rename(std::string_view from, std::string_view to) = 0;
  // Rename, telling apart a refusal to rename the file at all (SourceRefused)
  // from one to rename it to that name, such as over an existing file
  // (TargetRefused). Failed: anything else (a broken session, a bad name).
  enum class RenameResult { Renamed, SourceRefused, TargetRefused, Failed };
  virtual RenameResult TryRename(std::string_view from, std::string_view to) = 0;
  virtual bool RemoveDirectory(std::string_view path) = 0;
  virtual bool CreateDirectory(std::string_view path) = 0;
};

}  // namespace tavro
