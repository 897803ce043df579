// The check service of tests/servers/check_service.py, run under python3 on a
// loopback port of the system's choosing, over TLS where a certificate is
// given. Its pages: /plain, /html, /none, /long-early, /long-late (200 KB),
// /redirect/N (a chain of N redirects), /to-plain (a redirect to the same
// server's /plain over http), /error (500), /unavailable (503), /silent (never
// answers).
// The destructor stops it.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tavro::test {

class HttpCheckServer {
public:
  // Over TLS where a certificate is given.
  explicit HttpCheckServer(const std::filesystem::path& certificate = {},
                           const std::filesystem::path& key = {});
  ~HttpCheckServer();
  HttpCheckServer(const HttpCheckServer&) = delete;
  HttpCheckServer& operator=(const HttpCheckServer&) = delete;

  bool Started() const { return Pid > 0; }
  const std::string& Error() const { return Failure; }
  std::uint16_t Port() const { return ListenPort; }
  // "http://localhost:port" or "https://localhost:port".
  std::string Url(const std::string& path) const;
  // The paths requested so far, in order.
  std::vector<std::string> Requests() const;

private:
  TempDir BaseDir{"tavro-http"};
  bool Tls = false;
  std::uint16_t ListenPort = 0;
  pid_t Pid = -1;
  std::string Failure;
};

}  // namespace tavro::test
