#include "probe/HttpAddressCheck.h"
#include "platform/AsciiText.h"

#include "platform/CauseLine.h"
#include "platform/SystemError.h"
#include "platform/TlsClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/URI.h>

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <istream>
#include <mutex>
#include <optional>
#include <thread>

namespace tavro {

namespace {

constexpr std::size_t MaxLoggedLine = 511;

Poco::Timespan ToTimespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
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

// Poco bounds each receive of the headers, not the whole answer, so a server
// that drips a header byte now and then would hold the probe for ever. When
// the hop's time is up this shuts the connection down, which ends any read
// in progress; the socket itself stays with its owner.
class HopDeadline {
public:
  HopDeadline(poco_socket_t fd, std::chrono::milliseconds limit)
      : Watchdog([this, fd, until = std::chrono::steady_clock::now() + limit] {
          std::unique_lock lock(Mutex);
          if (!Finished.wait_until(lock, until, [this] { return Done; })) {
            TimedOut = true;
            ::shutdown(fd, SHUT_RDWR);
          }
        }) {}
  ~HopDeadline() {
    {
      std::lock_guard lock(Mutex);
      Done = true;
    }
    Finished.notify_one();
    Watchdog.join();
  }
  // Whether the connection was shut down; headers cut off that way can read
  // as complete, so they must not be trusted.
  bool Expired() {
    std::lock_guard lock(Mutex);
    return TimedOut;
  }
  HopDeadline(const HopDeadline&) = delete;
  HopDeadline& operator=(const HopDeadline&) = delete;

private:
  std::mutex Mutex;
  std::condition_variable Finished;
  bool Done = false;
  bool TimedOut = false;
  std::thread Watchdog;
};

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

// What went wrong, in the words of the layer that knows: the system's error
// for a socket, else Poco's text.
std::string ExceptionCause(const Poco::Exception& error) {
  if (dynamic_cast<const Poco::Net::NetException*>(&error) && error.code() > 0) {
    return SystemErrorText(error.code());
  }
  return error.displayText();
}

std::optional<Hop> FetchOnce(const CheckServiceUrl& url, Ipv4Address address,
                             const SmtpTimeouts& timeouts, std::string& cause) {
  // The time-out of the step under way, for the cause of a time-out.
  std::chrono::milliseconds step = timeouts.Connect;
  const std::chrono::milliseconds hopLimit = timeouts.Send + timeouts.Receive;
  Poco::Net::Context::Ptr context;
  bool handshaking = false;
  Poco::Net::StreamSocket socket;
  std::optional<HopDeadline> deadline;
  try {
    socket.connect(Poco::Net::SocketAddress(Poco::Net::IPAddress(address.ToString()), url.Port),
                   ToTimespan(timeouts.Connect));
    step = timeouts.Receive;
    socket.setReceiveTimeout(ToTimespan(timeouts.Receive));
    socket.setSendTimeout(ToTimespan(timeouts.Send));
    // The handshake, the request and the whole answer share one bound.
    deadline.emplace(socket.impl()->sockfd(), hopLimit);
    if (url.Secure) {
      context = MakeVerifyingClientContext(url.Host);
      if (!context) {
        cause = "TLS cannot be set up for " + url.Host;
        return std::nullopt;
      }
      // The handshake runs here, before the request is written.
      handshaking = true;
      socket = AttachTlsClient(socket, url.Host, context);
      handshaking = false;
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
    if (deadline->Expired()) {
      cause = TimedOutCause(hopLimit.count());
      return std::nullopt;
    }
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
  } catch (const Poco::Exception& error) {
    if (deadline && deadline->Expired()) {
      cause = TimedOutCause(hopLimit.count());
    } else if (handshaking) {
      cause = TlsFailureCause(context, dynamic_cast<const Poco::TimeoutException*>(&error)
                                           ? TimedOutCause(step.count())
                                           : ExceptionCause(error));
    } else if (dynamic_cast<const Poco::TimeoutException*>(&error)) {
      cause = TimedOutCause(step.count());
    } else {
      cause = ExceptionCause(error);
    }
    return std::nullopt;
  } catch (const std::exception& error) {
    cause = error.what();
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
                                        INameResolver& resolver, const SmtpTimeouts& timeouts,
                                        std::string* cause) {
  std::string why;
  const auto fail = [&](std::string text) {
    if (cause) {
      *cause = std::move(text);
    }
    return std::nullopt;
  };
  CheckServiceUrl url = first;
  for (int redirects = 0;; ++redirects) {
    auto hop = FetchOnce(url, address, timeouts, why);
    if (!hop) {
      return fail(std::move(why));
    }
    if (hop->Status / 100 == 2) {
      return std::move(hop->Page);
    }
    if (IsRedirect(hop->Status) && !hop->Location.empty() && redirects == MaxCheckRedirects) {
      return fail("more than " + std::to_string(MaxCheckRedirects) + " redirects");
    }
    if (!IsRedirect(hop->Status) || hop->Location.empty()) {
      return fail(hop->Page.StatusLine);
    }
    std::optional<CheckServiceUrl> next;
    try {
      Poco::URI target(ToUriText(url));
      target.resolve(hop->Location);
      next = ParseCheckServiceUrl(target.toString());
    } catch (const Poco::Exception&) {
    }
    if (!next) {
      return fail("redirect to no http or https address: " + hop->Location);
    }
    // An address read over TLS must not come from a plain hop an attacker
    // on the path could answer.
    if (url.Secure && !next->Secure) {
      return fail("redirect from https to http refused");
    }
    why = kNoIpv4AddressCause;
    const auto addresses = resolver.ResolveIPv4(next->Host, &why);
    if (addresses.empty()) {
      return fail(why + " (" + next->Host + ")");
    }
    url = std::move(*next);
    address = addresses.front();
  }
}

}  // namespace tavro
