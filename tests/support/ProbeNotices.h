// What one run of AddressProbe reports, in the form the probe tests compare:
// each notice with its text, written as the log shows it.
#pragma once

#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavro::test {

struct Notice {
  std::uint32_t Code = 0;
  std::optional<std::string> Text;
  bool operator==(const Notice&) const = default;
};
inline void PrintTo(const Notice& n, std::ostream* os) {
  *os << n.Code << ":" << ::testing::PrintToString(n.Text);
}
inline Notice Text(std::string text) {
  return {TE_STATUS_TEXT, std::move(text)};
}
inline const Notice Failed{TE_PROBE_FAILED, {}};
inline const std::vector<Notice> UpToConnect{Text("Msg: WANのホスト名を収得中。"),
                                             Text("Msg: WANのソケットを作成中。"),
                                             Text("Msg: WANのメールサーバに接続中。")};

// Long enough that a peer thread starved by a loaded machine still answers in
// time; only the cases that expect a time-out wait it out.
inline constexpr std::chrono::milliseconds ProbeStepTimeout{3000};

// Each step may take `timeout`; the real name services unless a test gives
// its own.
inline std::vector<Notice> Probe(const std::string& server, const std::string& mode = "WAN",
                                 std::shared_ptr<INameResolver> resolver = nullptr,
                                 std::function<void(const Notice&)> onEach = {},
                                 std::chrono::milliseconds timeout = ProbeStepTimeout) {
  std::vector<Notice> notices;
  AddressProbe probe(resolver ? resolver : std::make_shared<SystemNameResolver>(),
                     [&](std::uint32_t code, const std::string* payload) {
                       notices.push_back({code, payload ? std::optional(*payload) : std::nullopt});
                       if (onEach) {
                         onEach(notices.back());
                       }
                     });
  probe.ProbeAddresses({server, mode, {timeout, timeout, timeout}});
  return notices;
}

// The notices after the LAN address, which depends on the machine.
inline std::vector<Notice> Wan(const std::vector<Notice>& n) {
  auto lan = std::find_if(n.begin(), n.end(), [](auto& x) { return x.Code == TE_LAN_ADDRESS; });
  return lan == n.end() ? n : std::vector<Notice>(lan + 1, n.end());
}
inline std::vector<Notice> AfterConnect(std::vector<Notice> rest) {
  rest.insert(rest.begin(), UpToConnect.begin(), UpToConnect.end());
  return rest;
}
inline Notice Cause(const std::string& cause) {
  return Text("Err: 原因: " + cause);
}
// What the resolver says of a name that no name service knows.
inline const std::string UnknownName = "Name or service not known";
inline std::vector<Notice> Unresolved(const std::string& cause = UnknownName) {
  return {UpToConnect[0], Text("Err: WANのホスト名を収得するのに失敗しました。"), Cause(cause),
          Failed};
}
inline std::vector<Notice> ConnectFailed(const std::string& cause) {
  return AfterConnect(
      {Text("Err: WANのメールサーバに接続ができませんでした。"), Cause(cause), Failed});
}
inline const std::string NoBrackets = "no address in square brackets in the answer";
// A run that got as far as the answer: both texts logged, then the address
// or the failure and its cause.
inline std::vector<Notice> Answered(const std::string& greeting, const std::string& answer,
                                    const std::optional<std::string>& address,
                                    const std::string& cause = NoBrackets) {
  if (address) {
    return AfterConnect({Text("Msg: " + greeting), Text("Msg: " + answer),
                         Text("Msg: WANのIPアドレスを収得しました。"),
                         Notice{TE_WAN_ADDRESS, *address}});
  }
  return AfterConnect({Text("Msg: " + greeting), Text("Msg: " + answer),
                       Text("Err: WANのメールサーバがIPアドレスを返してくれませんでした。"),
                       Cause(cause), Failed});
}

}  // namespace tavro::test
