// The windowed program's SFTP functions: the first SFTP session or host key
// probe loads the SFTP module and hands over to it. Where the module cannot be
// loaded, sessions fail Open and probes fail, both with a cause that says so;
// the reason goes to stderr once.
#include "platform/ModuleFile.h"
#include "sftp/SftpModule.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace tavro {

namespace {

constexpr char kUnavailable[] = "SFTP is not available: its module cannot be loaded";

std::once_flag LoadOnce;
std::atomic<const SftpFunctions*> Table{nullptr};

const SftpFunctions* Functions() {
  std::call_once(LoadOnce, [] {
    std::string failure;
    Table = LoadModuleTable<SftpFunctions>(TAVRO_SFTP_MODULE_NAME, TAVRO_SFTP_MODULE_INSTALLED,
                                           kSftpFunctionsSymbol, kSftpFunctionsVersion, "SFTP",
                                           failure);
    if (Table == nullptr) {
      std::fprintf(stderr, "tavro: SFTP is not available: %s\n", failure.c_str());
    }
  });
  return Table;
}

// What a server that asks for SFTP gets without the module: every step
// fails with the one cause, and nothing reaches the server.
class UnavailableSession final : public RemoteSession {
public:
  bool Open(std::string_view, std::string_view, std::string_view) override { return false; }
  bool IsOpen() const override { return false; }
  void Close() override {}
  const FtpTextCodec& Codec() const override { return TextCodec; }
  const std::string& LastCause() const override { return Cause; }
  bool ChangeDirectory(std::string_view) override { return false; }
  std::optional<std::string> CurrentDirectory() override { return std::nullopt; }
  std::optional<std::size_t> List(std::string_view,
                                  const std::function<void(const FtpEntry&)>&) override {
    return std::nullopt;
  }
  bool Download(std::string_view, const std::string&, bool) override { return false; }
  bool Upload(const std::string&, std::string_view) override { return false; }
  bool Delete(std::string_view) override { return false; }
  std::optional<bool> FileExists(std::string_view) override { return std::nullopt; }
  bool Rename(std::string_view, std::string_view) override { return false; }
  RenameResult TryRename(std::string_view, std::string_view) override {
    return RenameResult::Failed;
  }
  bool RemoveDirectory(std::string_view) override { return false; }
  bool CreateDirectory(std::string_view) override { return false; }

private:
  FtpTextCodec TextCodec{FtpTextEncoding::Utf8};
  std::string Cause = kUnavailable;
};

}  // namespace

std::unique_ptr<RemoteSession> MakeSftpSession(const FtpTimeouts& timeouts,
                                               const std::string& knownHostsFile) {
  if (const SftpFunctions* table = Functions()) {
    return std::unique_ptr<RemoteSession>(table->MakeSession(timeouts, knownHostsFile));
  }
  return std::make_unique<UnavailableSession>();
}

const HostKeyCheck* RefusedHostKeyOf(const RemoteSession& session) {
  // Asked also of FTP sessions, which must not load the module: only a
  // loaded one makes sessions that can refuse a key.
  const SftpFunctions* table = Table;
  return table ? table->RefusedHostKey(session) : nullptr;
}

std::optional<HostKeyCheck> ProbeHostKey(std::string_view server, const FtpTimeouts& timeouts,
                                         const std::string& knownHostsFile, std::string& cause) {
  if (const SftpFunctions* table = Functions()) {
    return table->ProbeHostKey(server, timeouts, knownHostsFile, cause);
  }
  cause = kUnavailable;
  return std::nullopt;
}

bool AcceptHostKey(const std::string& knownHostsFile, const HostKeyCheck& key, std::string& cause) {
  if (const SftpFunctions* table = Functions()) {
    return table->AcceptHostKey(knownHostsFile, key, cause);
  }
  cause = kUnavailable;
  return false;
}

}  // namespace tavro
