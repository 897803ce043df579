// Client-side TLS for the check service and for FTP over TLS. Certificates are
// checked against the system's store (OpenSSL's default verify paths, which
// honour SSL_CERT_FILE and SSL_CERT_DIR), and the server's name is checked by
// OpenSSL inside the handshake: a certificate issued for another name fails the
// handshake itself, so no request and no password ever leaves on such a
// connection.
#pragma once

#include <Poco/Net/Context.h>

#include <string>

namespace tavro {

// A context for connections to one host: TLS 1.2 or later, chain and name
// verified, client session cache on (FTP data connections resume the control
// connection's session). host is a DNS name or an IPv4/IPv6 literal. Returns
// null where OpenSSL refuses the name or the store cannot be set up.
Poco::Net::Context::Ptr MakeVerifyingClientContext(const std::string& host);

}  // namespace tavro
