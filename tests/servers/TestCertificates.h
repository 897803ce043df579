// Certificates made for the TLS tests at run time with the openssl command, in
// a temporary folder removed by the destructor: a test CA, a server
// certificate from it for localhost and 127.0.0.1, one from it for another
// name, an expired one, and a self-signed one for localhost. The machine's
// store is never touched; TrustTestCa points the process's OpenSSL at the test
// CA instead.
#pragma once

#include "support/TempDir.h"

#include <filesystem>
#include <string>

namespace tavro::test {

class TestCertificates {
public:
  TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  bool Made() const { return Failure.empty(); }
  const std::string& Error() const { return Failure; }

  // One private key serves every certificate.
  std::filesystem::path Key() const { return Dir / "server.key"; }
  std::filesystem::path Ca() const { return Dir / "ca.pem"; }
  std::filesystem::path Localhost() const { return Dir / "localhost.pem"; }
  std::filesystem::path OtherName() const { return Dir / "other-name.pem"; }
  std::filesystem::path Expired() const { return Dir / "expired.pem"; }
  std::filesystem::path SelfSigned() const { return Dir / "self-signed.pem"; }

  // Sets SSL_CERT_FILE to the test CA and SSL_CERT_DIR to an empty folder, so
  // that only certificates from the test CA verify in this process.
  void TrustTestCa() const;

private:
  TempDir Dir{"tavro-certs"};
  std::string Failure;
};

}  // namespace tavro::test
