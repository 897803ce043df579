// A small FTP server on 127.0.0.1 whose answers the test scripts, for the
// faults that a real server will not produce on request: a peer that drops a
// transfer, never answers, answers garbage, never ends a reply or sends an
// absurd listing. It speaks active mode through EPRT only. Every command line
// it receives is kept, byte for byte.
//
// Its folders are those a test adds; LIST with an argument splits it at
// blanks, as a shell splits the arguments of ls, which some servers do.
#pragma once

#include "servers/LoopbackServer.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavro::test {

class ScriptedFtpPeer {
public:
  // The running control connection, as a handler sees it.
  class Session {
  public:
    Session(Poco::Net::StreamSocket control, const LoopbackServer& server)
        : Control(std::move(control)), Server(server) {}
    // Sends one reply line (CR LF is added).
    void Reply(const std::string& line) { Write(line + "\r\n"); }
    void Write(const std::string& bytes);
    // False once the client has gone or the peer stops: ends endless replies.
    bool Live() const { return !IsDropped && !Server.Stopping(); }
    // Connects to the address of the last EPRT, from `from` where given (a
    // stranger on another loopback address, 127.0.0.2).
    std::optional<Poco::Net::StreamSocket> OpenData(const std::string& from = {});
    // Sends the bytes on a new data connection and closes it.
    void SendData(const std::string& bytes);
    // Ends the control connection (the peer "drops" the session).
    void Drop();
    bool Dropped() const { return IsDropped; }

    std::string DataHost;
    unsigned DataPort = 0;
    std::string Directory = "/";

  private:
    Poco::Net::StreamSocket Control;
    const LoopbackServer& Server;
    bool IsDropped = false;
  };

  using Handler = std::function<void(Session&, const std::string& argument)>;

  // Answers the log-on, EPRT, DELE and MKD with a plausible success and
  // anything else with 502; tests add what they need with On() before the
  // client starts.
  ScriptedFtpPeer();
  ~ScriptedFtpPeer();
  ScriptedFtpPeer(const ScriptedFtpPeer&) = delete;
  ScriptedFtpPeer& operator=(const ScriptedFtpPeer&) = delete;

  // The handler for a command verb (upper case: "LIST", "STOR", ...), or for
  // "GREETING", sent when a client connects.
  void On(const std::string& verb, Handler handler);
  // A folder that CWD accepts and LIST shows with these listing lines.
  void AddFolder(const std::string& path, const std::string& listing);

  std::string Address() const;
  std::vector<std::string> Received() const;

private:
  void Converse(Poco::Net::StreamSocket& control);
  Handler Find(const std::string& verb);

  mutable std::mutex Mutex;
  std::map<std::string, Handler> Handlers;
  std::map<std::string, std::string> Folders;
  std::vector<std::string> Lines;
  // Last, so that every conversation has ended before the rest goes.
  LoopbackServer Server{[this](Poco::Net::StreamSocket& control) { Converse(control); }};
};

}  // namespace tavro::test
