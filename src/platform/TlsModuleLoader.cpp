// The windowed program's TLS functions: each loads the TLS module on its
// first call and hands over to it. Where the module cannot be loaded, no
// context is made, so callers report that TLS cannot be set up, as for any
// other context that fails; the reason goes to stderr once.
#include "ftp/FtpTls.h"
#include "platform/ModuleFile.h"
#include "platform/TlsClient.h"
#include "platform/TlsModule.h"

#include <Poco/Exception.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace tavro {

namespace {

const TlsFunctions* Load() {
  std::string failure;
  const TlsFunctions* table = LoadModuleTable<TlsFunctions>(
      TAVRO_TLS_MODULE_NAME, TAVRO_TLS_MODULE_INSTALLED, kTlsFunctionsSymbol,
      kTlsFunctionsVersion, "TLS", failure);
  if (table == nullptr) {
    std::fprintf(stderr, "tavro: TLS is not available: %s\n", failure.c_str());
  }
  return table;
}

std::once_flag LoadOnce;
std::atomic<const TlsFunctions*> Table{nullptr};

const TlsFunctions* Functions() {
  std::call_once(LoadOnce, [] { Table = Load(); });
  return Table;
}

// Only reached with a context, which only a loaded module makes.
const TlsFunctions& Loaded() {
  if (const TlsFunctions* table = Functions()) {
    return *table;
  }
  throw Poco::IllegalStateException("TLS is not available");
}

}  // namespace

Poco::Net::Context::Ptr MakeVerifyingClientContext(const std::string& host) {
  const TlsFunctions* table = Functions();
  return table ? table->MakeVerifyingClientContext(host) : nullptr;
}

Poco::Net::StreamSocket AttachTlsClient(const Poco::Net::StreamSocket& plain,
                                        const std::string& host, Poco::Net::Context::Ptr context) {
  return Loaded().AttachTlsClient(plain, host, std::move(context));
}

std::string TlsFailureCause(const Poco::Net::Context::Ptr& context, std::string_view otherwise) {
  const TlsFunctions* table = Functions();
  return table ? table->TlsFailureCause(context, otherwise) : std::string(otherwise);
}

std::string CertificateProblemText(long verifyError) {
  const TlsFunctions* table = Functions();
  return table ? table->CertificateProblemText(verifyError)
               : "certificate problem " + std::to_string(verifyError);
}

Poco::Net::StreamSocket SecureControlSocket(const Poco::Net::StreamSocket& plain,
                                            const std::string& host,
                                            Poco::Net::Context::Ptr context) {
  return Loaded().SecureControlSocket(plain, host, std::move(context));
}

void RecordCertificateProblems(Poco::Net::Context::Ptr context) {
  Loaded().RecordCertificateProblems(std::move(context));
}

std::string TakeCertificateProblem() {
  // Asked also after a plain connection failed, which must not load the
  // module: none recorded anything then.
  const TlsFunctions* table = Table;
  return table ? table->TakeCertificateProblem() : std::string();
}

Poco::Net::Session::Ptr CurrentTlsSession(const Poco::Net::StreamSocket& socket) {
  return Loaded().CurrentTlsSession(socket);
}

Poco::Net::StreamSocket SecureDataSocket(const Poco::Net::StreamSocket& accepted,
                                         const std::string& host, Poco::Net::Context::Ptr context,
                                         Poco::Net::Session::Ptr session) {
  return Loaded().SecureDataSocket(accepted, host, std::move(context), std::move(session));
}

void FinishSecureSend(Poco::Net::StreamSocket& secure, Poco::Net::StreamSocket& plain,
                      Poco::Timespan timeout) {
  Loaded().FinishSecureSend(secure, plain, timeout);
}

}  // namespace tavro
