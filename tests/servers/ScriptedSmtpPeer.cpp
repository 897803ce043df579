#include "servers/ScriptedSmtpPeer.h"

namespace tavro::test {

using namespace std::chrono_literals;

ScriptedSmtpPeer::ScriptedSmtpPeer(SmtpScript script) : Script(std::move(script)) {}

// The server member goes first and waits for every conversation.
ScriptedSmtpPeer::~ScriptedSmtpPeer() = default;

void ScriptedSmtpPeer::SetScript(SmtpScript script) {
  std::lock_guard lock(Mutex);
  Script = std::move(script);
}

std::size_t ScriptedSmtpPeer::Connections() const {
  std::lock_guard lock(Mutex);
  return Accepted;
}

std::vector<std::string> ScriptedSmtpPeer::HeloLines() const {
  std::lock_guard lock(Mutex);
  return Helos;
}

bool ScriptedSmtpPeer::WaitForClientCloses(std::size_t count,
                                           std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] { return ClientCloses >= count; });
}

void ScriptedSmtpPeer::Serve(Poco::Net::StreamSocket& connection) {
  SmtpScript script;
  {
    std::lock_guard lock(Mutex);
    ++Accepted;
    script = Script;
  }
  if (script.Mode == SmtpScript::Behaviour::CloseAtOnce) {
    connection.close();
    return;
  }
  // A client that reads nothing cannot hold the peer for ever.
  connection.setSendTimeout(Poco::Timespan(10, 0));
  std::string pending;
  if (script.Mode == SmtpScript::Behaviour::Converse) {
    bool open = true;
    for (std::size_t i = 0; open && i < script.Greeting.size(); ++i) {
      if (i > 0) {
        if (script.BeforeNextSegment) {
          script.BeforeNextSegment();
        } else {
          std::this_thread::sleep_for(100ms);
        }
      }
      open = LoopbackServer::SendAll(connection, script.Greeting[i]);
    }
    if (const auto helo = open ? Server.ReadLine(connection, pending) : std::nullopt) {
      {
        std::lock_guard lock(Mutex);
        Helos.push_back(*helo + "\r\n");
      }
      const std::string argument = helo->size() > 5 ? helo->substr(5) : std::string();
      LoopbackServer::SendAll(
          connection, script.Answer ? *script.Answer
                                    : "250 peer.test Hello " + argument + " [" +
                                          connection.peerAddress().host().toString() + "]\r\n");
    }
  }
  // Held until the client closes it (counted: an end or a reset) or the peer
  // stops.
  while (Server.ReadLine(connection, pending)) {
  }
  if (!Server.Stopping()) {
    {
      std::lock_guard lock(Mutex);
      ++ClientCloses;
    }
    Changed.notify_all();
  }
}

}  // namespace tavro::test
