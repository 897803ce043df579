// Kept apart from the rest of FtpSession so that the SFTP module, which reads
// server texts the same way, can take it without the FTP code.
#include "ftp/FtpSession.h"

namespace tavro {

std::optional<FtpSession::ServerAddress> FtpSession::ParseServer(std::string_view server,
                                                                std::uint16_t defaultPort) {
  ServerAddress address;
  address.Port = defaultPort;
  std::string_view host = server;
  std::string_view port;
  if (!server.empty() && server.front() == '[') {
    const auto close = server.find(']');
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    host = server.substr(1, close - 1);
    const std::string_view rest = server.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return std::nullopt;
      }
      port = rest.substr(1);
      if (port.empty()) {
        return std::nullopt;
      }
    }
  } else if (const auto colon = server.find(':');
             colon != std::string_view::npos &&
             server.find(':', colon + 1) == std::string_view::npos) {
    // One colon: host and port. More than one: a bare IPv6 address.
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
    if (port.empty()) {
      return std::nullopt;
    }
  }
  if (host.empty()) {
    return std::nullopt;
  }
  if (!port.empty()) {
    if (port.size() > 5) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') {
        return std::nullopt;
      }
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
      return std::nullopt;
    }
    address.Port = static_cast<std::uint16_t>(value);
  }
  address.Host = std::string(host);
  return address;
}

}  // namespace tavro
