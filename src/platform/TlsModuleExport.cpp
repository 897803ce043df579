// The loadable TLS module's table: the very functions the tests link.
#include "ftp/FtpTls.h"
#include "platform/TlsClient.h"
#include "platform/TlsModule.h"

extern "C" __attribute__((visibility("default"))) const tavro::TlsFunctions* tavro_tls_functions() {
  static const tavro::TlsFunctions table = {
      tavro::kTlsFunctionsVersion,     &tavro::MakeVerifyingClientContext,
      &tavro::AttachTlsClient,         &tavro::TlsFailureCause,
      &tavro::CertificateProblemText,  &tavro::SecureControlSocket,
      &tavro::RecordCertificateProblems, &tavro::TakeCertificateProblem,
      &tavro::CurrentTlsSession,       &tavro::SecureDataSocket,
      &tavro::FinishSecureSend,
  };
  return &table;
}
