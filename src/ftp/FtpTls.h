// FTP over TLS with explicit negotiation: AUTH TLS on the control connection
// before USER, then PBSZ 0 and PROT P so that every data connection is TLS as
// well. The server's certificate and name are verified during each handshake
// (MakeVerifyingClientContext), so the password never leaves on a connection
// to the wrong server.
#pragma once

#include "platform/AsciiText.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/Session.h>
#include <Poco/Net/StreamSocket.h>

#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// The address part of a server text that asks for FTP over TLS
// ("ftpes://host[:port]", the scheme in any case, one trailing "/" allowed);
// nullopt for any other text.
// Inline: plain FTP asks it too, and needs none of the TLS code for that.
inline std::optional<std::string_view> ExplicitTlsServer(std::string_view server) {
  constexpr std::string_view scheme = "ftpes://";
  if (!StartsWithNoCase(server, scheme)) {
    return std::nullopt;
  }
  server.remove_prefix(scheme.size());
  if (!server.empty() && server.back() == '/') {
    server.remove_suffix(1);
  }
  return server;
}

// The control connection after the server's 234 to AUTH TLS: the handshake
// runs here, bounded by the socket's time-outs, and throws where it or the
// certificate fails.
Poco::Net::StreamSocket SecureControlSocket(const Poco::Net::StreamSocket& plain,
                                            const std::string& host,
                                            Poco::Net::Context::Ptr context);

// Makes every handshake with this context remember, on the thread that runs
// it, why OpenSSL refused the server's certificate; Poco's verification stays
// as it is. Call once, before the first handshake.
void RecordCertificateProblems(Poco::Net::Context::Ptr context);
// Why the last handshake on this thread refused the certificate ("certificate
// has expired", "certificate is for another name", else OpenSSL's text for
// the verify error), and forgets it; empty where no certificate was refused.
std::string TakeCertificateProblem();

// The TLS session a secured connection holds now; null for a plain one. Data
// connections must resume a session of the control connection's (servers
// commonly accept them only from the client that holds one), and under TLS
// 1.3 each session ticket serves once: the first data connection resumes the
// control connection's session, each later one the newest ticket that the
// server sent on the one before.
Poco::Net::Session::Ptr CurrentTlsSession(const Poco::Net::StreamSocket& socket);

// A data connection the server opened, secured as the client side of TLS.
Poco::Net::StreamSocket SecureDataSocket(const Poco::Net::StreamSocket& accepted,
                                         const std::string& host, Poco::Net::Context::Ptr context,
                                         Poco::Net::Session::Ptr session);

// Ends what the client sends on a TLS data connection, given the secured
// socket and the plain one under it: close_notify (a server takes a file that
// ends without it for a broken one), then whatever the server still sends is
// read until it closes, within timeout. TLS 1.3 servers send session tickets
// on every connection; closing with them unread, or shutting down the
// receiving side, makes the kernel answer with a reset that cuts off the end
// of the file still in flight.
void FinishSecureSend(Poco::Net::StreamSocket& secure, Poco::Net::StreamSocket& plain,
                      Poco::Timespan timeout);

}  // namespace tavro
