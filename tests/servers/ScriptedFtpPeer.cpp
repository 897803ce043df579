#include "servers/ScriptedFtpPeer.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>

#include <cstdio>
#include <sstream>

namespace tavro::test {
void ScriptedFtpPeer::Session::Write(const std::string& bytes) {
  IsDropped = IsDropped || !LoopbackServer::SendAll(Control, bytes);
}

std::optional<Poco::Net::StreamSocket> ScriptedFtpPeer::Session::OpenData(const std::string& from) {
  try {
    Poco::Net::StreamSocket data(Poco::Net::SocketAddress::IPv4);
    if (!from.empty()) {
      data.impl()->bind(Poco::Net::SocketAddress(from, 0));
    }
    data.connect(Poco::Net::SocketAddress(DataHost, static_cast<Poco::UInt16>(DataPort)),
                 Poco::Timespan(5, 0));
    data.setSendTimeout(Poco::Timespan(10, 0));
    data.setReceiveTimeout(Poco::Timespan(10, 0));
    return data;
  } catch (const Poco::Exception&) {
    return std::nullopt;
  }
}

void ScriptedFtpPeer::Session::Drop() {
  IsDropped = true;
  try {
    Control.close();
  } catch (const Poco::Exception&) {
  }
}

void ScriptedFtpPeer::Session::SendData(const std::string& bytes) {
  if (auto data = OpenData()) {
    LoopbackServer::SendAll(*data, bytes);
    data->close();
  }
}

ScriptedFtpPeer::ScriptedFtpPeer() {
  auto ok = [](std::string reply) {
    return [reply](Session& s, const std::string&) { s.Reply(reply); };
  };
  Handlers["USER"] = ok("331 Please specify the password.");
  Handlers["PASS"] = ok("230 Login successful.");
  Handlers["TYPE"] = ok("200 Switching to Binary mode.");
  Handlers["FEAT"] = ok("211-Features:\r\n EPRT\r\n SIZE\r\n211 End");
  Handlers["OPTS"] = ok("200 Always in UTF8 mode.");
  Handlers["GREETING"] = ok("220 Scripted peer ready");
  Handlers["CWD"] = [this](Session& s, const std::string& argument) {
    std::lock_guard lock(Mutex);
    if (Folders.count(argument) == 0) {
      s.Reply("550 Failed to change directory.");
      return;
    }
    s.Directory = argument;
    s.Reply("250 Directory successfully changed.");
  };
  Handlers["PWD"] = [](Session& s, const std::string&) {
    s.Reply("257 \"" + s.Directory + "\" is the current directory");
  };
  Handlers["LIST"] = [this](Session& s, const std::string& argument) {
    std::string listing;
    {
      std::lock_guard lock(Mutex);
      std::istringstream words(argument);
      std::string word;
      if (argument.empty()) {
        listing = Folders[s.Directory];
      }
      while (words >> word) {
        listing += Folders.count(word) ? Folders[word] : std::string();
      }
    }
    s.Reply("150 Here comes the directory listing.");
    s.SendData(listing);
    s.Reply("226 Directory send OK.");
  };
  Handlers["DELE"] = ok("250 Delete operation successful.");
  Handlers["MKD"] = ok("257 \"/new\" created");
  Handlers["QUIT"] = [](Session& s, const std::string&) {
    s.Reply("221 Goodbye.");
    s.Drop();
  };
  Handlers["EPRT"] = [](Session& s, const std::string& argument) {
    char host[64] = {};
    if (std::sscanf(argument.c_str(), "|1|%63[^|]|%u|", host, &s.DataPort) != 2) {
      s.Reply("501 Bad EPRT");
      return;
    }
    s.DataHost = host;
    s.Reply("200 EPRT command successful.");
  };
}

// The server member goes first and waits for every conversation.
ScriptedFtpPeer::~ScriptedFtpPeer() = default;

void ScriptedFtpPeer::On(const std::string& verb, Handler handler) {
  std::lock_guard lock(Mutex);
  Handlers[verb] = std::move(handler);
}

void ScriptedFtpPeer::AddFolder(const std::string& path, const std::string& listing) {
  std::lock_guard lock(Mutex);
  Folders[path] = listing;
}

std::string ScriptedFtpPeer::Address() const {
  return "127.0.0.1:" + std::to_string(Server.Port());
}

std::vector<std::string> ScriptedFtpPeer::Received() const {
  std::lock_guard lock(Mutex);
  return Lines;
}

ScriptedFtpPeer::Handler ScriptedFtpPeer::Find(const std::string& verb) {
  std::lock_guard lock(Mutex);
  const auto found = Handlers.find(verb);
  return found == Handlers.end() ? Handler{} : found->second;
}

void ScriptedFtpPeer::Converse(Poco::Net::StreamSocket& control) {
  Session session(control, Server);
  Find("GREETING")(session, std::string());
  std::string pending;
  while (!session.Dropped()) {
    const auto line = Server.ReadLine(control, pending);
    if (!line) {
      break;
    }
    {
      std::lock_guard lock(Mutex);
      Lines.push_back(*line);
    }
    const auto space = line->find(' ');
    const std::string verb = line->substr(0, space);
    const std::string argument =
        space == std::string::npos ? std::string() : line->substr(space + 1);
    if (const Handler handler = Find(verb)) {
      handler(session, argument);
    } else {
      session.Reply("502 Command not implemented.");
    }
  }
  session.Drop();
}

}  // namespace tavro::test
