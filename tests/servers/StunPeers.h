// STUN servers for the probe's tests, both on 127.0.0.1 on a UDP port of the
// system's choosing and stopped by their destructors.
//
// CoturnServer is Debian's coturn (turnserver) with a private configuration:
// STUN only, no TCP, TLS, DTLS or command line interface, its database and log
// in a folder of its own. It never reads the system's configuration.
//
// ScriptedStunPeer answers each datagram it receives with what its script
// makes of it, or stays silent, and records every datagram.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavro::test {

class CoturnServer {
public:
  CoturnServer();
  ~CoturnServer();
  CoturnServer(const CoturnServer&) = delete;
  CoturnServer& operator=(const CoturnServer&) = delete;

  bool Started() const { return Pid > 0; }
  const std::string& Error() const { return Failure; }
  std::uint16_t Port() const { return ListenPort; }

private:
  bool Launch();

  TempDir BaseDir{"tavro-coturn"};
  std::uint16_t ListenPort = 0;
  pid_t Pid = -1;
  std::string Failure;
};

// A Binding success answer for `request` (its transaction id, which an answer
// must repeat) with the given attributes after the header, and the attributes
// tests use.
std::string StunSuccessFor(const std::string& request, const std::string& attributes);
std::string StunAttribute(std::uint16_t type, const std::string& value);
// XOR-MAPPED-ADDRESS (xored) or MAPPED-ADDRESS of an IPv4 address and port.
std::string StunIpv4Address(bool xored, std::uint32_t address, std::uint16_t port);

class ScriptedStunPeer {
public:
  // Each request's answers, in order; none for silence.
  using Script = std::function<std::vector<std::string>(const std::string& request)>;

  explicit ScriptedStunPeer(Script script = {});
  ~ScriptedStunPeer();
  ScriptedStunPeer(const ScriptedStunPeer&) = delete;
  ScriptedStunPeer& operator=(const ScriptedStunPeer&) = delete;

  std::uint16_t Port() const { return ListenPort; }
  void SetScript(Script script);
  std::vector<std::string> Requests() const;

private:
  void Serve();

  int Socket = -1;
  std::uint16_t ListenPort = 0;
  mutable std::mutex Mutex;
  Script Answers;
  std::vector<std::string> Received;
  std::atomic<bool> Stop{false};
  std::thread Server;
};

}  // namespace tavro::test
