// The WAN address from a web "check IP" service. Many home providers block
// outgoing connections to port 25, so the mail server's HELO answer never
// comes; a Trace text that is an http:// or https:// address names such a
// service instead. One GET (and at most three redirects), at most 64 KiB of
// the body, and the first dotted-decimal IPv4 address in it.
#pragma once

#include "platform/Ipv4Address.h"
#include "platform/NameResolver.h"
#include "platform/Timeouts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

inline constexpr std::size_t MaxCheckBody = 64 * 1024;
inline constexpr int MaxCheckRedirects = 3;

// True where the Trace text begins with http:// or https://, in any case.
bool IsCheckServiceUrl(std::string_view trace);

struct CheckServiceUrl {
  bool Secure = false;
  std::string Host;
  std::uint16_t Port = 80;
  std::string Target;  // path and query, "/" at least; never the fragment
};

// Nullopt where the text is no http or https address with a host.
std::optional<CheckServiceUrl> ParseCheckServiceUrl(std::string_view url);

// The first dotted-decimal IPv4 address in text: four numbers of 0 to 255,
// written without leading zeros, that are not part of a longer run of digits
// and dots (so neither "1.2.3.4.5" nor a version such as "10.0.0.1234"
// yields an address).
std::optional<std::string> FirstIpv4Address(std::string_view text);

// The part of a body that goes into the log: up to its first line end or NUL,
// without a CR, at most 511 bytes (as one receive of the mail server path).
std::string FirstBodyLine(std::string_view body);

struct CheckPage {
  std::string StatusLine;  // e.g. "HTTP/1.1 200 OK"
  // At most MaxCheckBody bytes. Where the body was cut (longer than that, or
  // broken off), its trailing digits and dots are dropped, so that a number
  // cut in half is never read as part of an address.
  std::string Body;
};

// GETs the page, following redirects (301, 302, 303, 307, 308) to at most
// MaxCheckRedirects further addresses, each hop one connection and one
// request. The first hop connects to address, which the caller resolved from
// url.Host; later hops resolve through resolver. Nullopt where any hop cannot
// connect, its TLS handshake or certificate fails, the final status is not
// 2xx, a fourth redirect comes, or a redirect leaves https for http; then,
// where cause is given, why: the system's error, a time-out, the certificate's
// problem, the status line ("HTTP/1.1 503 Service Unavailable"), "more than 3
// redirects", "redirect from https to http refused", a redirect's host that
// does not resolve.
std::optional<CheckPage> FetchCheckPage(const CheckServiceUrl& url, Ipv4Address address,
                                        INameResolver& resolver, const SmtpTimeouts& timeouts,
                                        std::string* cause = nullptr);

}  // namespace tavro
