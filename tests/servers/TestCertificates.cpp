#include "servers/TestCertificates.h"

#include <cstdlib>
#include <fstream>

namespace tavro::test {

TestCertificates::TestCertificates() {
  std::filesystem::create_directory(Dir / "no-ca-dir");
  std::ofstream(Dir / "leaf.ext") << "basicConstraints=CA:FALSE\n"
                                  << "extendedKeyUsage=serverAuth\n"
                                  << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
  std::ofstream(Dir / "other.ext") << "basicConstraints=CA:FALSE\n"
                                   << "extendedKeyUsage=serverAuth\n"
                                   << "subjectAltName=DNS:other-name.test\n";
  // Elliptic curve keys: made in milliseconds, unlike RSA.
  const std::string script =
      "set -e; cd '" + Dir.Path().string() +
      "'\n"
      "ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
      "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 3 -subj '/CN=Tavro Test CA' "
      "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign\n"
      "openssl req -new $ec -keyout server.key -out server.csr -subj /CN=localhost\n"
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3 "
      "-extfile leaf.ext -out localhost.pem\n"
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3 "
      "-extfile other.ext -out other-name.pem\n"
      // Its end a day before its start: expired from the moment it is made.
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days -1 "
      "-extfile leaf.ext -out expired.pem\n"
      "openssl x509 -req -in server.csr -signkey server.key -days 3 -extfile leaf.ext "
      "-out self-signed.pem\n"
      "chmod 0644 *.pem server.key\n";
  std::ofstream(Dir / "make.sh") << script;
  const std::string command =
      "/bin/sh '" + (Dir / "make.sh").string() + "' >'" + (Dir / "openssl.log").string() + "' 2>&1";
  if (std::system(command.c_str()) != 0) {
    Failure = "openssl could not make the test certificates (Debian package openssl)";
  }
}

void TestCertificates::TrustTestCa() const {
  ::setenv("SSL_CERT_FILE", Ca().c_str(), 1);
  ::setenv("SSL_CERT_DIR", (Dir / "no-ca-dir").c_str(), 1);
}

}  // namespace tavro::test
