#include "platform/TlsClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SecureStreamSocket.h>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <memory>
#include <csignal>
#include <mutex>
#include <utility>

#include <signal.h>

namespace tavro {

namespace {

using VerifyCallback = int (*)(int, X509_STORE_CTX*);

// Poco's own verify callback, which every client context has; the recording
// one runs in front of it and leaves the decision to it.
std::atomic<VerifyCallback> PocoVerify{nullptr};

void FreeVerifyError(void*, void* data, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<std::atomic<long>*>(data);
}

// The context's slot for the first verify error of its connections: the
// SSL object of a failed handshake is gone by the time the error is caught.
int VerifyErrorIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeVerifyError);
  return index;
}

int RecordingVerify(int ok, X509_STORE_CTX* store) {
  if (!ok) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (SSL_CTX* context = ssl ? SSL_get_SSL_CTX(ssl) : nullptr) {
      if (auto* first =
              static_cast<std::atomic<long>*>(SSL_CTX_get_ex_data(context, VerifyErrorIndex()))) {
        long none = X509_V_OK;
        first->compare_exchange_strong(none, X509_STORE_CTX_get_error(store));
      }
    }
  }
  const VerifyCallback next = PocoVerify.load();
  return next ? next(ok, store) : ok;
}

}  // namespace

Poco::Net::StreamSocket AttachTlsClient(const Poco::Net::StreamSocket& plain,
                                        const std::string& host, Poco::Net::Context::Ptr context) {
  return Poco::Net::SecureStreamSocket::attach(plain, host, std::move(context));
}

std::string TlsFailureCause(const Poco::Net::Context::Ptr& context, std::string_view otherwise) {
  long error = X509_V_OK;
  if (context) {
    if (auto* first = static_cast<std::atomic<long>*>(
            SSL_CTX_get_ex_data(context->sslContext(), VerifyErrorIndex()))) {
      error = first->load();
    }
  }
  if (error == X509_V_OK) {
    return std::string(otherwise);
  }
  return CertificateProblemText(error);
}

std::string CertificateProblemText(long verifyError) {
  switch (verifyError) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "certificate has expired";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "certificate is for another name";
    default:
      return X509_verify_cert_error_string(verifyError);
  }
}

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
    auto firstError = std::make_unique<std::atomic<long>>(X509_V_OK);
    if (SSL_CTX_set_ex_data(ssl, VerifyErrorIndex(), firstError.get()) != 1) {
      return nullptr;
    }
    firstError.release();  // the context's free callback owns it now
    if (const VerifyCallback own = SSL_CTX_get_verify_callback(ssl); own != RecordingVerify) {
      PocoVerify.store(own);
    }
    SSL_CTX_set_verify(ssl, SSL_CTX_get_verify_mode(ssl), RecordingVerify);
    context->enableExtendedCertificateVerification(false);
    context->enableSessionCache(true);
    return context;
  } catch (const Poco::Exception&) {
    return nullptr;
  }
}

}  // namespace tavro
