// A small FTP server on 127.0.0.1 whose answers the test scripts, for the
// faults that a real server will not produce on request: a peer that drops a
// transfer, never answers, answers garbage or sends an absurd listing. It
// speaks active mode only (PORT and EPRT) and serves one control connection at
// a time. Every command line it receives is kept, byte for byte.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavro::test {

class ScriptedFtpPeer {
public:
  // The running control connection, as a handler sees it.
  class Session {
  public:
    explicit Session(Poco::Net::StreamSocket control) : Control(std::move(control)) {}
    // Sends one reply line (CR LF is added); "" sends nothing.
    void Reply(const std::string& line);
    // Connects to the address of the last PORT or EPRT.
    std::optional<Poco::Net::StreamSocket> OpenData();
    // Ends the control connection (the peer "drops" the session).
    void Drop();
    bool Dropped() const { return IsDropped; }

    std::string DataHost;
    unsigned DataPort = 0;

  private:
    Poco::Net::StreamSocket Control;
    bool IsDropped = false;
  };

  using Handler = std::function<void(Session&, const std::string& argument)>;

  // Answers every command a client of the program sends with a plausible
  // success; tests replace what they need with On() before the client starts.
  ScriptedFtpPeer();
  ~ScriptedFtpPeer();
  ScriptedFtpPeer(const ScriptedFtpPeer&) = delete;
  ScriptedFtpPeer& operator=(const ScriptedFtpPeer&) = delete;

  void SetGreeting(std::string greeting);
  // The handler for a command verb (upper case: "LIST", "STOR", ...).
  void On(const std::string& verb, Handler handler);
  // The listing that the default LIST handler sends.
  void SetListing(std::string listing);

  std::string Address() const;
  std::vector<std::string> Received() const;
  // The bytes the last STOR received through the default handler.
  std::string Uploaded() const;

  // Helpers for handlers: a LIST that sends `listing` and ends normally, and a
  // STOR that keeps the data.
  static void SendListing(Session& session, const std::string& listing);

private:
  void Serve();
  void Converse(Poco::Net::StreamSocket control);
  Handler Find(const std::string& verb);

  Poco::Net::ServerSocket Listener;
  std::atomic<bool> Stopping{false};
  mutable std::mutex Mutex;
  std::string Greeting = "220 Scripted peer ready";
  std::string Listing;
  std::map<std::string, Handler> Handlers;
  std::vector<std::string> Lines;
  std::string Stored;
  std::thread Thread;
};

}  // namespace tavro::test
