#include "probe/AddressProbe.h"

#include "platform/CauseLine.h"
#include "platform/TcpClient.h"
#include "probe/HttpAddressCheck.h"
#include "probe/LanAddressChoice.h"
#include "probe/MailServerAddress.h"
#include "probe/SmtpAnswer.h"

#include <array>
#include <cstring>

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
  const MailServerAddress server = MailServerAddress::Parse(settings.MailServer);

  std::string cause = kNoIpv4AddressCause;
  const std::vector<Ipv4Address> ownAddresses =
      Resolver->ResolveIPv4(Resolver->HostName(), &cause);
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
  if (IsCheckServiceUrl(settings.MailServer)) {
    ProbeWanFromCheckService(settings);
    return;
  }

  ReportText(WanResolvingText);
  if (IsAbandoned()) {
    return;
  }
  cause = kNoIpv4AddressCause;
  const std::vector<Ipv4Address> serverAddresses = Resolver->ResolveIPv4(server.Host, &cause);
  if (serverAddresses.empty()) {
    WanAddress.clear();
    Fail(WanResolveFailedText, cause);
    return;
  }

  ReportText(WanSocketText);
  TcpClient client;
  if (!client.Open()) {
    WanAddress.clear();
    Fail(WanSocketFailedText, client.FailureCause());
    return;
  }
  const std::uint16_t port =
      server.Port ? *server.Port : Resolver->ServicePort(MailService).value_or(SmtpPort);

  ReportText(WanConnectingText);
  if (IsAbandoned()) {
    return;
  }
  if (!client.Connect(serverAddresses.front(), port, settings.Timeouts.Connect)) {
    cause = client.FailureCause();
    client.Close();
    WanAddress.clear();
    Fail(WanConnectFailedText, cause);
    return;
  }

  if (IsAbandoned()) {
    return;
  }
  ReportText(MessagePrefix + ReceiveText(client, settings.Timeouts.Receive, cause));

  // HELO names the mail server as configured, not this machine.
  const std::string request = "HELO " + server.Host.substr(0, MaxHeloHost) + "\r\n";
  if (IsAbandoned()) {
    return;
  }
  client.Send(request, settings.Timeouts.Send);
  if (IsAbandoned()) {
    return;
  }
  const std::string answer = ReceiveText(client, settings.Timeouts.Receive, cause);
  ReportText(MessagePrefix + answer);
  client.Close();

  if (const auto echoed = BracketedText(answer)) {
    WanAddress = *echoed;
    ReportText(WanFoundText);
    ReportEvent(TE_WAN_ADDRESS, &WanAddress);
    return;
  }
  WanAddress.clear();
  // An empty answer is one that never came; else it came without the brackets.
  Fail(WanNoAddressText, answer.empty() && !cause.empty() ? cause : NoBracketsCause);
}

// The same notices as the mail server path, so the window reads both alike:
// the status line and the body's first line stand for the greeting and the
// HELO answer, and each failure is the text of the matching step.
void AddressProbe::ProbeWanFromCheckService(const ProbeSettings& settings) {
  const std::string setting = settings.MailServer.substr(0, settings.MailServer.find('\0'));
  ReportText(WanResolvingText);
  if (IsAbandoned()) {
    return;
  }
  const auto url = ParseCheckServiceUrl(setting);
  std::string cause = url ? kNoIpv4AddressCause : NoUrlCause;
  const std::vector<Ipv4Address> addresses =
      url ? Resolver->ResolveIPv4(url->Host, &cause) : std::vector<Ipv4Address>{};
  if (addresses.empty()) {
    WanAddress.clear();
    Fail(WanResolveFailedText, cause);
    return;
  }
  // No socket of its own to make here: each hop opens its connection.
  ReportText(WanSocketText);
  ReportText(WanConnectingText);
  if (IsAbandoned()) {
    return;
  }
  const auto page = FetchCheckPage(*url, addresses.front(), *Resolver, settings.Timeouts, &cause);
  if (IsAbandoned()) {
    return;
  }
  if (!page) {
    WanAddress.clear();
    Fail(WanConnectFailedText, cause);
    return;
  }
  ReportText(MessagePrefix + page->StatusLine);
  ReportText(MessagePrefix + FirstBodyLine(page->Body));
  if (auto address = FirstIpv4Address(page->Body)) {
    WanAddress = std::move(*address);
    ReportText(WanFoundText);
    ReportEvent(TE_WAN_ADDRESS, &WanAddress);
    return;
  }
  WanAddress.clear();
  Fail(WanNoAddressText, NoAddressInPageCause);
}

}  // namespace tavro
