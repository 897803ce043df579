#include "probe/AddressProbe.h"

#include "platform/CauseLine.h"
#include "platform/TcpClient.h"
#include "probe/HttpAddressCheck.h"
#include "probe/LanAddressChoice.h"
#include "probe/MailServerAddress.h"
#include "probe/SmtpAnswer.h"
#include "probe/StunClient.h"
#include "probe/WanSources.h"

#include <array>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace tavro {

namespace {

// The texts of the log, byte for byte as users know them. Plain arrays, so
// that nothing here has a destructor that could run at exit under a worker.
constexpr char NoMailServerText[] = "Err: メールサーバーが指定されていません。";
constexpr char LanFailedText[] = "Err: LANのホスト名を収得するのに失敗しました。";
constexpr char LanFoundText[] = "Msg: LANのIPアドレスを収得しました。";
constexpr char WanResolvingText[] = "Msg: WANのホスト名を収得中。";
constexpr char WanResolveFailedText[] = "Err: WANのホスト名を収得するのに失敗しました。";
constexpr char WanSocketText[] = "Msg: WANのソケットを作成中。";
constexpr char WanSocketFailedText[] = "Err: WANのソケットが作成できませんでした。";
constexpr char WanConnectingText[] = "Msg: WANのメールサーバに接続中。";
constexpr char WanConnectFailedText[] = "Err: WANのメールサーバに接続ができませんでした。";
constexpr char WanFoundText[] = "Msg: WANのIPアドレスを収得しました。";
constexpr char WanNoAddressText[] = "Err: WANのメールサーバがIPアドレスを返してくれませんでした。";
constexpr char MessagePrefix[] = "Msg: ";

// The causes that no system call gives.
constexpr char EmptySettingCause[] = "the Trace setting is empty";
constexpr char NoUrlCause[] = "no http or https address with a host";
constexpr char PeerClosedCause[] = "connection closed by the server";
constexpr char NoBracketsCause[] = "no address in square brackets in the answer";
constexpr char NoAddressInPageCause[] = "no IPv4 address in the page";
constexpr char NoStunHostCause[] = "no host (and valid port) after stun:";
constexpr char UnexpectedCause[] = "unexpected error";

constexpr char LanOnlyMode[] = "LAN";
constexpr char MailService[] = "mail";
constexpr std::uint16_t SmtpPort = 25;

constexpr std::size_t BufferSize = 512;
// "HELO " + host + CR LF must fit the 512-byte line buffer with its NUL.
constexpr std::size_t MaxHeloHost = BufferSize - 1 - 7;

// One receive into a zeroed 512-byte buffer; the text is what came, up to the
// first NUL, or all 512 bytes when no NUL came. A failed or timed-out receive
// leaves the buffer zeroed and so gives an empty text; then cause says why.
std::string ReceiveText(TcpClient& client, std::chrono::milliseconds timeout, std::string& cause) {
  std::array<char, BufferSize> buffer{};
  const std::ptrdiff_t received = client.Receive(buffer.data(), buffer.size(), timeout);
  cause = received < 0 ? client.FailureCause() : received == 0 ? PeerClosedCause : "";
  return std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
}

// How a source's steps report and learn of an abandoned run. With several
// sources asked at once Log is empty: their steps would interleave.
struct SourceContext {
  INameResolver& Resolver;
  const SmtpTimeouts& Timeouts;
  std::function<void(std::string)> Log;
  std::function<bool()> Abandoned;

  void Say(std::string text) const {
    if (Log) {
      Log(std::move(text));
    }
  }
};

struct SourceResult {
  bool Abandoned = false;
  std::optional<std::string> Address;  // the text the source gave
  const char* FailureText = nullptr;   // the step's "Err: " text where it gave none
  std::string Cause;
};

SourceResult Gone() {
  SourceResult result;
  result.Abandoned = true;
  return result;
}

SourceResult Failed(const char* text, std::string cause) {
  SourceResult result;
  result.FailureText = text;
  result.Cause = std::move(cause);
  return result;
}

SourceResult Found(std::string address) {
  SourceResult result;
  result.Address = std::move(address);
  return result;
}

SourceResult AskMailServer(const std::string& setting, const SourceContext& c) {
  const MailServerAddress server = MailServerAddress::Parse(setting);
  c.Say(WanResolvingText);
  if (c.Abandoned()) {
    return Gone();
  }
  std::string cause = kNoIpv4AddressCause;
  const std::vector<Ipv4Address> serverAddresses = c.Resolver.ResolveIPv4(server.Host, &cause);
  if (serverAddresses.empty()) {
    return Failed(WanResolveFailedText, cause);
  }

  c.Say(WanSocketText);
  TcpClient client;
  if (!client.Open()) {
    return Failed(WanSocketFailedText, client.FailureCause());
  }
  const std::uint16_t port =
      server.Port ? *server.Port : c.Resolver.ServicePort(MailService).value_or(SmtpPort);

  c.Say(WanConnectingText);
  if (c.Abandoned()) {
    return Gone();
  }
  if (!client.Connect(serverAddresses.front(), port, c.Timeouts.Connect)) {
    cause = client.FailureCause();
    client.Close();
    return Failed(WanConnectFailedText, cause);
  }

  if (c.Abandoned()) {
    return Gone();
  }
  c.Say(MessagePrefix + ReceiveText(client, c.Timeouts.Receive, cause));

  // HELO names the mail server as configured, not this machine.
  const std::string request = "HELO " + server.Host.substr(0, MaxHeloHost) + "\r\n";
  if (c.Abandoned()) {
    return Gone();
  }
  client.Send(request, c.Timeouts.Send);
  if (c.Abandoned()) {
    return Gone();
  }
  const std::string answer = ReceiveText(client, c.Timeouts.Receive, cause);
  c.Say(MessagePrefix + answer);
  client.Close();

  if (const auto echoed = BracketedText(answer)) {
    return Found(*echoed);
  }
  // An empty answer is one that never came; else it came without the brackets.
  return Failed(WanNoAddressText, answer.empty() && !cause.empty() ? cause : NoBracketsCause);
}

// The same notices as the mail server path, so the window reads both alike:
// the status line and the body's first line stand for the greeting and the
// HELO answer, and each failure is the text of the matching step.
SourceResult AskCheckService(const std::string& source, const SourceContext& c) {
  const std::string setting = source.substr(0, source.find('\0'));
  c.Say(WanResolvingText);
  if (c.Abandoned()) {
    return Gone();
  }
  const auto url = ParseCheckServiceUrl(setting);
  std::string cause = url ? kNoIpv4AddressCause : NoUrlCause;
  const std::vector<Ipv4Address> addresses =
      url ? c.Resolver.ResolveIPv4(url->Host, &cause) : std::vector<Ipv4Address>{};
  if (addresses.empty()) {
    return Failed(WanResolveFailedText, cause);
  }
  // No socket of its own to make here: each hop opens its connection.
  c.Say(WanSocketText);
  c.Say(WanConnectingText);
  if (c.Abandoned()) {
    return Gone();
  }
  const auto page = FetchCheckPage(*url, addresses.front(), c.Resolver, c.Timeouts, &cause);
  if (c.Abandoned()) {
    return Gone();
  }
  if (!page) {
    return Failed(WanConnectFailedText, cause);
  }
  c.Say(MessagePrefix + page->StatusLine);
  c.Say(MessagePrefix + FirstBodyLine(page->Body));
  if (auto address = FirstIpv4Address(page->Body)) {
    return Found(std::move(*address));
  }
  return Failed(WanNoAddressText, NoAddressInPageCause);
}

// The notices of the other two kinds again: no answer at all is the connect
// error, an answer without a mapped address the last one.
SourceResult AskStunServer(const std::string& source, const SourceContext& c) {
  c.Say(WanResolvingText);
  if (c.Abandoned()) {
    return Gone();
  }
  const auto server = ParseStunSource(source);
  std::string cause = server ? kNoIpv4AddressCause : NoStunHostCause;
  const std::vector<Ipv4Address> addresses =
      server ? c.Resolver.ResolveIPv4(server->Host, &cause) : std::vector<Ipv4Address>{};
  if (addresses.empty()) {
    return Failed(WanResolveFailedText, cause);
  }
  c.Say(WanSocketText);
  StunClient client;
  if (!client.Open()) {
    return Failed(WanSocketFailedText, client.FailureCause());
  }
  c.Say(WanConnectingText);
  if (c.Abandoned()) {
    return Gone();
  }
  const StunExchange exchange =
      client.Ask(addresses.front(), server->Port, c.Timeouts.Stun, c.Abandoned);
  if (c.Abandoned()) {
    return Gone();
  }
  if (!exchange.Answered) {
    return Failed(WanConnectFailedText, exchange.Cause);
  }
  const StunAnswer& answer = exchange.Answer;
  if (answer.Result != StunAnswer::Kind::Mapped) {
    c.Say(MessagePrefix + answer.Why);
    return Failed(WanNoAddressText, answer.Why);
  }
  c.Say(std::string(MessagePrefix) + (answer.Xored ? "XOR-MAPPED-ADDRESS " : "MAPPED-ADDRESS ") +
        answer.Address + " port " + std::to_string(answer.Port));
  return Found(answer.Address);
}

SourceResult AskSource(const std::string& source, const SourceContext& c) {
  if (IsStunSource(source)) {
    return AskStunServer(source, c);
  }
  if (IsCheckServiceUrl(source)) {
    return AskCheckService(source, c);
  }
  return AskMailServer(source, c);
}

}  // namespace

AddressProbe::AddressProbe(std::shared_ptr<INameResolver> resolver, Notify notify)
    : Resolver(std::move(resolver)), Send(std::move(notify)) {}

void AddressProbe::ReportEvent(std::uint32_t code, const std::string* payload) {
  Send(code, payload);
}

void AddressProbe::ReportText(std::string text) {
  StatusText = std::move(text);
  Send(TE_STATUS_TEXT, &StatusText);
}

void AddressProbe::Fail(std::string_view text, std::string_view cause) {
  ReportText(std::string(text));
  ReportText(CauseLine(cause));
  ReportEvent(TE_PROBE_FAILED, nullptr);
}

void AddressProbe::ProbeAddresses(const ProbeSettings& settings) {
  if (IsAbandoned()) {
    return;
  }
  ReportEvent(TE_PROBE_STARTED, nullptr);
  // The setting is read as a C string would hold it, so a NUL ends it here too.
  if (settings.MailServer.empty() || settings.MailServer.front() == '\0') {
    Fail(NoMailServerText, EmptySettingCause);
    return;
  }

  std::string cause = kNoIpv4AddressCause;
  const std::vector<Ipv4Address> ownAddresses = Resolver->ResolveIPv4(Resolver->HostName(), &cause);
  if (ownAddresses.empty()) {
    LanAddress.clear();
    Fail(LanFailedText, cause);
    return;
  }
  LanAddress =
      ChooseLanAddress(ownAddresses, [this] { return Resolver->InterfaceAddresses(); }).ToString();
  ReportText(LanFoundText);
  ReportEvent(TE_LAN_ADDRESS, &LanAddress);
  if (settings.Mode == LanOnlyMode) {
    return;
  }

  const std::vector<std::string> sources = SplitWanSources(settings.MailServer);
  if (sources.size() > 1) {
    ProbeWanFromSources(sources, settings);
    return;
  }
  // One source: the whole setting as it always was read, blanks and all.
  const SourceContext context{*Resolver, settings.Timeouts,
                              [this](std::string text) { ReportText(std::move(text)); },
                              [this] { return IsAbandoned(); }};
  const SourceResult result =
      sources.size() == 1 && IsStunSource(sources.front()) ? AskStunServer(sources.front(), context)
      : IsCheckServiceUrl(settings.MailServer) ? AskCheckService(settings.MailServer, context)
                                               : AskMailServer(settings.MailServer, context);
  if (result.Abandoned) {
    return;
  }
  if (!result.Address) {
    WanAddress.clear();
    Fail(result.FailureText, result.Cause);
    return;
  }
  WanAddress = *result.Address;
  ReportText(WanFoundText);
  ReportEvent(TE_WAN_ADDRESS, &WanAddress);
}

// Each source on a thread of its own, within its own time-outs, so that the
// run takes as long as the slowest source rather than all of them together.
void AddressProbe::ProbeWanFromSources(const std::vector<std::string>& sources,
                                       const ProbeSettings& settings) {
  std::vector<SourceResult> results(sources.size());
  const auto ask = [this, &sources, &settings, &results](std::size_t i) {
    const SourceContext context{*Resolver, settings.Timeouts, {}, [this] { return IsAbandoned(); }};
    try {
      results[i] = AskSource(sources[i], context);
    } catch (const std::exception& error) {
      results[i] = Failed(WanConnectFailedText, error.what());
    } catch (...) {
      results[i] = Failed(WanConnectFailedText, UnexpectedCause);
    }
  };
  {
    // The first source on this thread: a thread costs more to start than a
    // loopback source takes to answer.
    std::vector<std::thread> askers;
    askers.reserve(sources.size() - 1);
    for (std::size_t i = 1; i < sources.size(); ++i) {
      try {
        askers.emplace_back(ask, i);
      } catch (const std::system_error&) {
        ask(i);  // no thread to be had: this source waits its turn
      }
    }
    ask(0);
    for (auto& asker : askers) {
      asker.join();
    }
  }
  if (IsAbandoned()) {
    return;
  }
  std::vector<SourceAnswer> answers;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    answers.push_back({sources[i], results[i].Address, results[i].Cause});
    ReportText(SourceAnswerLine(answers.back()));
  }
  const WanDecision decision = DecideWanAddress(answers);
  if (!decision.Counts) {
    WanAddress.clear();
    Fail(DisagreementLine(answers), decision.Cause);
    return;
  }
  ReportText(AgreementLine(decision));
  WanAddress = decision.Address;
  ReportText(WanFoundText);
  ReportEvent(TE_WAN_ADDRESS, &WanAddress);
}

}  // namespace tavro
