// The TLS code (Poco's NetSSL, OpenSSL) as a table of functions, so that the
// windowed program can load it the first time it makes a TLS connection:
// linked in, those libraries alone would cost every start a tenth more
// memory, for the many users who never name an https:// or ftpes:// server.
// The tests, fuzzers and benchmarks link the same functions directly.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/Session.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <string>
#include <string_view>

namespace tavro {

// Bumped whenever a member changes, so that a module of another build is
// refused rather than called wrongly.
inline constexpr int kTlsFunctionsVersion = 1;

struct TlsFunctions {
  int Version;
  Poco::Net::Context::Ptr (*MakeVerifyingClientContext)(const std::string& host);
  Poco::Net::StreamSocket (*AttachTlsClient)(const Poco::Net::StreamSocket& plain,
                                             const std::string& host,
                                             Poco::Net::Context::Ptr context);
  std::string (*TlsFailureCause)(const Poco::Net::Context::Ptr& context,
                                 std::string_view otherwise);
  std::string (*CertificateProblemText)(long verifyError);
  Poco::Net::StreamSocket (*SecureControlSocket)(const Poco::Net::StreamSocket& plain,
                                                 const std::string& host,
                                                 Poco::Net::Context::Ptr context);
  void (*RecordCertificateProblems)(Poco::Net::Context::Ptr context);
  std::string (*TakeCertificateProblem)();
  Poco::Net::Session::Ptr (*CurrentTlsSession)(const Poco::Net::StreamSocket& socket);
  Poco::Net::StreamSocket (*SecureDataSocket)(const Poco::Net::StreamSocket& accepted,
                                              const std::string& host,
                                              Poco::Net::Context::Ptr context,
                                              Poco::Net::Session::Ptr session);
  void (*FinishSecureSend)(Poco::Net::StreamSocket& secure, Poco::Net::StreamSocket& plain,
                           Poco::Timespan timeout);
};

// The module's one exported symbol, a C name so that dlsym finds it.
inline constexpr char kTlsFunctionsSymbol[] = "tavro_tls_functions";

}  // namespace tavro

extern "C" const tavro::TlsFunctions* tavro_tls_functions();
