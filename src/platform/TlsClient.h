// Client-side TLS for the check service and for FTP over TLS. Certificates are
// checked against the system's store (OpenSSL's default verify paths, which
// honour SSL_CERT_FILE and SSL_CERT_DIR), and the server's name is checked by
// OpenSSL inside the handshake: a certificate issued for another name fails the
// handshake itself, so no request and no password ever leaves on such a
// connection.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/StreamSocket.h>

#include <string>
#include <string_view>

namespace tavro {

// A context for connections to one host: TLS 1.2 or later, chain and name
// verified, client session cache on (FTP data connections resume the control
// connection's session). host is a DNS name or an IPv4/IPv6 literal. Returns
// null where OpenSSL refuses the name or the store cannot be set up.
Poco::Net::Context::Ptr MakeVerifyingClientContext(const std::string& host);

// Why a TLS connection made with such a context failed, for a cause line:
// where verification refused the server's certificate, "certificate has
// expired", "certificate is for another name" (host name or address
// mismatch) or OpenSSL's own verify text ("self-signed certificate"); the
// first such problem of the context's connections counts. Otherwise
// `otherwise`, the text of what the handshake threw.
// A connected socket made a TLS client of `host`: the handshake runs here,
// bounded by the socket's time-outs, and throws where it or the certificate
// fails.
Poco::Net::StreamSocket AttachTlsClient(const Poco::Net::StreamSocket& plain,
                                        const std::string& host, Poco::Net::Context::Ptr context);

std::string TlsFailureCause(const Poco::Net::Context::Ptr& context, std::string_view otherwise);

// The cause text of one of OpenSSL's verify errors, as described above; the
// FTP connections, which verify through their own callback, say the same.
std::string CertificateProblemText(long verifyError);

}  // namespace tavro
