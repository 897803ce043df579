#include "platform/TlsClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetSSL.h>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <mutex>

#include <signal.h>

namespace tavro {

Poco::Net::Context::Ptr MakeVerifyingClientContext(const std::string& host) {
  static std::once_flag initialised;
  std::call_once(initialised, [] {
    Poco::Net::initializeSSL();
    // OpenSSL writes to its sockets with write(), not send(MSG_NOSIGNAL) as
    // the plain connections do, so a server that resets a TLS connection
    // would end the whole program with SIGPIPE. Nothing in Tavro wants that
    // signal; a failed write is an error result like any other.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      ::signal(SIGPIPE, SIG_IGN);
    }
  });
  if (host.empty()) {
    return nullptr;
  }
  try {
    Poco::Net::Context::Params params;
    params.verificationMode = Poco::Net::Context::VERIFY_RELAXED;
    params.loadDefaultCAs = true;
    params.cipherList = "DEFAULT:!aNULL:!eNULL";
    Poco::Net::Context::Ptr context =
        new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);
    SSL_CTX* ssl = context->sslContext();
    if (SSL_CTX_set_min_proto_version(ssl, TLS1_2_VERSION) != 1) {
      return nullptr;
    }
    // The name check runs inside OpenSSL's chain verification, during the
    // handshake. Poco's own check would come only after it, and for a socket
    // attached without a name it compares against the peer's address.
    X509_VERIFY_PARAM* verify = SSL_CTX_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_ip_asc(verify, host.c_str()) != 1 &&
        X509_VERIFY_PARAM_set1_host(verify, host.c_str(), host.size()) != 1) {
      return nullptr;
    }
    context->enableExtendedCertificateVerification(false);
    context->enableSessionCache(true);
    return context;
  } catch (const Poco::Exception&) {
    return nullptr;
  }
}

}  // namespace tavro
