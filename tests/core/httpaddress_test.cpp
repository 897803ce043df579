#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "probe/HttpAddressCheck.h"
#include "servers/HttpCheckServer.h"
#include "servers/TestCertificates.h"
#include "support/ProbeNotices.h"

#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;

namespace {

std::vector<Notice> WanNotices(const std::string& trace, std::chrono::milliseconds timeout = 5s) {
  return Wan(Probe(trace, "WAN", nullptr, {}, timeout));
}
// The check service's pages: its status line stands where a greeting would.
std::vector<Notice> Found(const std::string& firstLine, std::optional<std::string> address) {
  return Answered("HTTP/1.1 200 OK", firstLine, address, "no IPv4 address in the page");
}

}  // namespace

TEST(HttpAddressCheck, FirstDottedQuadIsTakenOnlyWhenItStandsAlone) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"203.0.113.7\n", "203.0.113.7"},
      {"Current IP Address: 203.0.113.7</body>", "203.0.113.7"},
      {"ip=0.0.0.0, then 255.255.255.255", "0.0.0.0"},
      {"end of sentence 10.1.2.3.", "10.1.2.3"},
      {"256.1.1.1 1.2.3.4.5 10.0.0.1234 01.2.3.4 1.2.3 then 9.8.7.6", "9.8.7.6"},
      {"1..2.3.4 1.2.3.-4 a.b.c.d", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, address] : cases) {
    EXPECT_EQ(FirstIpv4Address(text), address) << text;
  }
}

TEST(HttpAddressCheck, PageDecidesAddressOrStepThatFails) {
  HttpCheckServer server;
  ASSERT_TRUE(server.Started()) << server.Error();
  const std::vector<std::pair<std::string, std::vector<Notice>>> cases{
      {"/plain", Found("203.0.113.7", "203.0.113.7")},
      {"/html", Found("<!DOCTYPE html>", "198.51.100.23")},
      {"/none", Found("<html><body>No address here, only version 1.2.3.4.5 and 999.1.1.1"
                      "</body></html>",
                      std::nullopt)},
      // 200 KB: the address must be in the first 64 KiB, and the rest is not waited for.
      {"/long-early", Found("203.0.113.7", "203.0.113.7")},
      {"/long-late", Found(std::string(511, 'x'), std::nullopt)},
      {"/redirect/2", Found("Your address: 203.0.113.7", "203.0.113.7")},
      {"/redirect/3", Found("Your address: 203.0.113.7", "203.0.113.7")},
      {"/redirect/4", ConnectFailed("more than 3 redirects")},
      {"/redirect/5", ConnectFailed("more than 3 redirects")},
      {"/error", ConnectFailed("HTTP/1.1 500 Internal Server Error")},
      {"/unavailable", ConnectFailed("HTTP/1.1 503 Service Unavailable")},
      {"/missing", ConnectFailed("HTTP/1.1 404 Not Found")},
  };
  for (const auto& [path, notices] : cases) {
    EXPECT_EQ(WanNotices(server.Url(path)), notices) << path;
  }
  // One GET per hop and no retries; the chains of 4 and 5 stop at their
  // fourth redirect (/redirect/1 and /redirect/2) without following it.
  const auto requests = server.Requests();
  const auto count = [&](const char* path) {
    return std::count(requests.begin(), requests.end(), path);
  };
  EXPECT_EQ(count("/error"), 1);
  EXPECT_EQ(count("/redirect/1"), 3);
  EXPECT_EQ(count("/redirect/0"), 2);

  // The scheme in any case; the first line as the mail server path cuts it.
  EXPECT_EQ(WanNotices("HtTp://127.0.0.1:" + std::to_string(server.Port()) + "/plain"),
            Found("203.0.113.7", "203.0.113.7"));
}

TEST(HttpAddressCheck, SilentServersAndBadAddressesFailWithinTheTimeouts) {
  HttpCheckServer server;
  ASSERT_TRUE(server.Started()) << server.Error();
  // A listener that never accepts: the TLS handshake gets no answer either.
  Poco::Net::ServerSocket mute(Poco::Net::SocketAddress("127.0.0.1", 0));
  const std::string mutePort = std::to_string(mute.address().port());
  for (const std::string& url :
       {server.Url("/silent"), server.Url("/drip"), "http://localhost:" + mutePort + "/",
        "https://localhost:" + mutePort + "/"}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WanNotices(url, 500ms), ConnectFailed("timed out after 1 s")) << url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << url;
  }
  std::uint16_t closed = 0;
  {
    Poco::Net::ServerSocket gone(Poco::Net::SocketAddress("127.0.0.1", 0));
    closed = gone.address().port();
  }
  EXPECT_EQ(WanNotices("http://127.0.0.1:" + std::to_string(closed) + "/"),
            ConnectFailed("Connection refused"));
  EXPECT_EQ(WanNotices("http://nosuch.invalid/"), Unresolved());
  EXPECT_EQ(WanNotices("https:///path"), Unresolved("no http or https address with a host"));
}

TEST(HttpAddressCheck, TlsVerifiesChainAndNameBeforeTheRequestLeaves) {
  static const TestCertificates certificates;
  ASSERT_TRUE(certificates.Made()) << certificates.Error();
  certificates.TrustTestCa();

  HttpCheckServer good(certificates.Localhost(), certificates.Key());
  ASSERT_TRUE(good.Started()) << good.Error();
  EXPECT_EQ(WanNotices(good.Url("/plain")), Found("203.0.113.7", "203.0.113.7"));
  EXPECT_EQ(WanNotices(good.Url("/redirect/2")), Found("Your address: 203.0.113.7", "203.0.113.7"));
  // The certificate names 127.0.0.1 too; an address is checked as an address.
  EXPECT_EQ(WanNotices("https://127.0.0.1:" + std::to_string(good.Port()) + "/html"),
            Found("<!DOCTYPE html>", "198.51.100.23"));

  // Over TLS the address must not come from a plain hop.
  EXPECT_EQ(WanNotices(good.Url("/to-plain")), ConnectFailed("redirect from https to http refused"));

  const std::vector<std::pair<std::filesystem::path, std::string>> refused{
      {certificates.OtherName(), "certificate is for another name"},
      {certificates.Expired(), "certificate has expired"},
      {certificates.SelfSigned(), "self-signed certificate"},
  };
  for (const auto& [certificate, cause] : refused) {
    HttpCheckServer bad(certificate, certificates.Key());
    ASSERT_TRUE(bad.Started()) << bad.Error();
    EXPECT_EQ(WanNotices(bad.Url("/plain")), ConnectFailed(cause)) << certificate;
    EXPECT_TRUE(bad.Requests().empty()) << certificate;
  }
  // An address is checked as an address: the other name's certificate names
  // no 127.0.0.1.
  HttpCheckServer other(certificates.OtherName(), certificates.Key());
  ASSERT_TRUE(other.Started()) << other.Error();
  EXPECT_EQ(WanNotices("https://127.0.0.1:" + std::to_string(other.Port()) + "/plain"),
            ConnectFailed("certificate is for another name"));
}
