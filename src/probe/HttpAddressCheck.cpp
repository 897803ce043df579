#include "probe/HttpAddressCheck.h"

#include "platform/TlsClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/URI.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <istream>

namespace tavro {

namespace {

constexpr std::size_t MaxLoggedLine = 511;

Poco::Timespan ToTimespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
           return (c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) == lower;
         });
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// One number of a dotted quad at text[i]: 1 to 3 digits, 0 to 255, no
// leading zero. Advances i past it.
bool ReadOctet(std::string_view text, std::size_t& i) {
  const std::size_t begin = i;
  unsigned value = 0;
  while (i < text.size() && IsDigit(text[i]) && i - begin < 4) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    ++i;
  }
  const std::size_t digits = i - begin;
  return digits >= 1 && digits <= 3 && value <= 255 && !(digits > 1 && text[begin] == '0');
}

struct Hop {
  CheckPage Page;
  int Status = 0;
  std::string Location;
};

// Reads at most MaxCheckBody bytes within one receive time-out for the whole
// body, so a server that drips a byte at a time cannot hold the probe.
std::string ReadBody(std::istream& in, Poco::Net::StreamSocket& socket,
                     const SmtpTimeouts& timeouts) {
  const auto deadline = std::chrono::steady_clock::now() + timeouts.Receive;
  std::string body;
  std::array<char, 8192> chunk{};
  bool cut = false;
  try {
    while (body.size() < MaxCheckBody) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        cut = true;
        break;
      }
      socket.setReceiveTimeout(ToTimespan(std::min(left, timeouts.Receive)));
      const std::size_t want = std::min(chunk.size(), MaxCheckBody - body.size());
      in.read(chunk.data(), static_cast<std::streamsize>(want));
      body.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
      if (!in) {
        cut = in.bad();
        break;
      }
    }
    // A body of exactly the limit counts as cut as well: asking whether more
    // follows could wait a whole time-out on a server that keeps the
    // connection open.
    cut = cut || body.size() == MaxCheckBody;
  } catch (const Poco::Exception&) {
    cut = true;
  } catch (const std::exception&) {
    cut = true;
  }
  if (cut) {
    while (!body.empty() && (IsDigit(body.back()) || body.back() == '.')) {
      body.pop_back();
    }
  }
  return body;
}

std::optional<Hop> FetchOnce(const CheckServiceUrl& url, Ipv4Address address,
                             const SmtpTimeouts& timeouts) {
  try {
    Poco::Net::StreamSocket socket;
    socket.connect(Poco::Net::SocketAddress(Poco::Net::IPAddress(address.ToString()), url.Port),
                   ToTimespan(timeouts.Connect));
    socket.setReceiveTimeout(ToTimespan(timeouts.Receive));
    socket.setSendTimeout(ToTimespan(timeouts.Send));
    if (url.Secure) {
      const auto context = MakeVerifyingClientContext(url.Host);
      if (!context) {
        return std::nullopt;
      }
      // The handshake runs here, before the request is written.
      socket = Poco::Net::SecureStreamSocket::attach(socket, url.Host, context);
    }
    // A session on a connected socket and without a host of its own neither
    // reconnects nor retries: one request on this connection only.
    Poco::Net::HTTPClientSession session(socket);
    session.setKeepAlive(false);
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, url.Target,
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    const std::uint16_t defaultPort = url.Secure ? 443 : 80;
    request.set("Host",
                url.Port == defaultPort ? url.Host : url.Host + ":" + std::to_string(url.Port));
    request.set("User-Agent", "Tavro/" TAVRO_VERSION);
    request.set("Accept", "text/plain, text/html;q=0.9, */*;q=0.5");
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    Hop hop;
    hop.Status = static_cast<int>(response.getStatus());
    hop.Page.StatusLine =
        response.getVersion() + " " + std::to_string(hop.Status) + " " + response.getReason();
    if (hop.Status / 100 == 3) {
      hop.Location = response.get("Location", "");
    } else if (hop.Status / 100 == 2) {
      hop.Page.Body = ReadBody(in, socket, timeouts);
    }
    return hop;
  } catch (const Poco::Exception&) {
    return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string ToUriText(const CheckServiceUrl& url) {
  return std::string(url.Secure ? "https://" : "http://") + url.Host + ":" +
         std::to_string(url.Port) + url.Target;
}

}  // namespace

bool IsCheckServiceUrl(std::string_view trace) {
  return StartsWithNoCase(trace, "http://") || StartsWithNoCase(trace, "https://");
}

std::optional<CheckServiceUrl> ParseCheckServiceUrl(std::string_view text) {
  if (!IsCheckServiceUrl(text)) {
    return std::nullopt;
  }
  try {
    const Poco::URI uri{std::string(text)};
    CheckServiceUrl url;
    url.Secure = uri.getScheme() == "https";
    url.Host = uri.getHost();
    url.Port = uri.getPort();
    url.Target = uri.getPathAndQuery();
    if (url.Target.empty()) {
      url.Target = "/";
    }
    if (url.Host.empty() || url.Port == 0) {
      return std::nullopt;
    }
    return url;
  } catch (const Poco::Exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> FirstIpv4Address(std::string_view text) {
  for (std::size_t start = 0; start < text.size(); ++start) {
    if (!IsDigit(text[start]) ||
        (start > 0 && (IsDigit(text[start - 1]) || text[start - 1] == '.'))) {
      continue;
    }
    std::size_t i = start;
    bool ok = ReadOctet(text, i);
    for (int dot = 0; ok && dot < 3; ++dot) {
      ok = i < text.size() && text[i] == '.';
      ++i;
      ok = ok && ReadOctet(text, i);
    }
    // A further digit, or a dot with a digit after it, makes it a longer run.
    if (ok && i < text.size() &&
        (IsDigit(text[i]) || (text[i] == '.' && i + 1 < text.size() && IsDigit(text[i + 1])))) {
      ok = false;
    }
    if (ok) {
      return std::string(text.substr(start, i - start));
    }
  }
  return std::nullopt;
}

std::string FirstBodyLine(std::string_view body) {
  std::string_view line = body.substr(0, body.find_first_of(std::string_view("\n\0", 2)));
  line = line.substr(0, MaxLoggedLine);
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  return std::string(line);
}

std::optional<CheckPage> FetchCheckPage(const CheckServiceUrl& first, Ipv4Address address,
                                        INameResolver& resolver, const SmtpTimeouts& timeouts) {
  CheckServiceUrl url = first;
  for (int redirects = 0;; ++redirects) {
    auto hop = FetchOnce(url, address, timeouts);
    if (!hop) {
      return std::nullopt;
    }
    if (hop->Status / 100 == 2) {
      return std::move(hop->Page);
    }
    if (!IsRedirect(hop->Status) || hop->Location.empty() || redirects == MaxCheckRedirects) {
      return std::nullopt;
    }
    std::optional<CheckServiceUrl> next;
    try {
      Poco::URI target(ToUriText(url));
      target.resolve(hop->Location);
      next = ParseCheckServiceUrl(target.toString());
    } catch (const Poco::Exception&) {
    }
    // An address read over TLS must not come from a plain hop an attacker
    // on the path could answer.
    if (!next || (url.Secure && !next->Secure)) {
      return std::nullopt;
    }
    const auto addresses = resolver.ResolveIPv4(next->Host);
    if (addresses.empty()) {
      return std::nullopt;
    }
    url = std::move(*next);
    address = addresses.front();
  }
}

}  // namespace tavro
