#include "ftp/FtpTls.h"

#include "platform/TlsClient.h"

#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SecureStreamSocketImpl.h>

#include <Poco/Timestamp.h>

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <atomic>
#include <utility>

namespace tavro {

namespace {

// The verify callback Poco installed, which decides; ours only listens.
std::atomic<SSL_verify_cb> PocoVerify{nullptr};
thread_local std::string CertificateProblem;

int RecordingVerify(int ok, X509_STORE_CTX* store) {
  const SSL_verify_cb decide = PocoVerify.load();
  const int verdict = decide ? decide(ok, store) : ok;
  if (verdict == 0 && CertificateProblem.empty()) {
    CertificateProblem = CertificateProblemText(X509_STORE_CTX_get_error(store));
  }
  return verdict;
}

}  // namespace

void RecordCertificateProblems(Poco::Net::Context::Ptr context) {
  SSL_CTX* ssl = context->sslContext();
  const SSL_verify_cb current = SSL_CTX_get_verify_callback(ssl);
  if (current == &RecordingVerify) {
    return;
  }
  // Every context gets the same callback from Poco.
  PocoVerify = current;
  SSL_CTX_set_verify(ssl, SSL_CTX_get_verify_mode(ssl), &RecordingVerify);
}

std::string TakeCertificateProblem() {
  return std::exchange(CertificateProblem, std::string());
}

Poco::Net::StreamSocket SecureControlSocket(const Poco::Net::StreamSocket& plain,
                                            const std::string& host,
                                            Poco::Net::Context::Ptr context) {
  return Poco::Net::SecureStreamSocket::attach(plain, host, std::move(context));
}

Poco::Net::Session::Ptr CurrentTlsSession(const Poco::Net::StreamSocket& socket) {
  auto* impl = dynamic_cast<Poco::Net::SecureStreamSocketImpl*>(socket.impl());
  return impl ? impl->currentSession() : nullptr;
}

Poco::Net::StreamSocket SecureDataSocket(const Poco::Net::StreamSocket& accepted,
                                         const std::string& host, Poco::Net::Context::Ptr context,
                                         Poco::Net::Session::Ptr session) {
  return Poco::Net::SecureStreamSocket::attach(accepted, host, std::move(context),
                                               std::move(session));
}

void FinishSecureSend(Poco::Net::StreamSocket& secure, Poco::Net::StreamSocket& plain,
                      Poco::Timespan timeout) {
  if (!secure.poll(timeout, Poco::Net::Socket::SELECT_WRITE)) {
    throw Poco::TimeoutException("the data connection took nothing more");
  }
  // Poco's TLS shutdown also shuts the TCP connection down in both directions
  // unless the plain socket under it is non-blocking; only close_notify is
  // wanted here.
  plain.setBlocking(false);
  try {
    secure.shutdown();
  } catch (...) {
    plain.setBlocking(true);
    throw;
  }
  plain.setBlocking(true);
  const Poco::Timestamp deadline = Poco::Timestamp() + timeout.totalMicroseconds();
  char buffer[4096];
  for (;;) {
    const Poco::Timestamp::TimeDiff left = deadline - Poco::Timestamp();
    if (left <= 0 || (secure.available() <= 0 &&
                      !secure.poll(Poco::Timespan(left), Poco::Net::Socket::SELECT_READ))) {
      throw Poco::TimeoutException("the server did not end the data connection");
    }
    try {
      if (secure.receiveBytes(buffer, sizeof buffer) <= 0) {
        return;
      }
    } catch (const Poco::Net::NetException&) {
      return;  // a close without close_notify ends it just as well
    }
  }
}

}  // namespace tavro
