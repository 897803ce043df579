// The host keys Tavro trusts for SFTP servers, kept in one file in OpenSSH's
// known_hosts format ("[host]:port" for ports other than 22), mode 0600.
// A key is added only on the owner's word, after they saw its fingerprint.
#pragma once

#include "platform/Timeouts.h"

#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// The address part of a server text that asks for SFTP ("sftp://host" or
// "sftp://host:port", the scheme in any case, one trailing "/" allowed);
// nullopt for any other text.
std::optional<std::string_view> SftpServerAddress(std::string_view server);

struct HostKeyCheck {
  enum class Verdict { Known, Unknown, Changed };
  Verdict Status = Verdict::Unknown;
  std::string Type;         // "ssh-ed25519"
  std::string Fingerprint;  // "SHA256:" and the base64 of the key's hash
  std::string Entry;        // the known_hosts line that accepts the key
};

// Connects, takes the server's host key after the key exchange and leaves
// without logging on; nullopt with the cause set where no key was had.
std::optional<HostKeyCheck> ProbeHostKey(std::string_view server, const FtpTimeouts& timeouts,
                                         const std::string& knownHostsFile, std::string& cause);

// Appends the key's line to the file, making the file (0600) and its folder
// (0700) where missing. False with the cause set where it cannot be written.
bool AcceptHostKey(const std::string& knownHostsFile, const HostKeyCheck& key, std::string& cause);

}  // namespace tavro
