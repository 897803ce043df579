#include "publish/PageGenerator.h"
#include "platform/PosixIo.h"

#include "platform/CodePage932.h"
#include "platform/PublishableAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tavro {
namespace {

constexpr std::string_view LineEnd = "\r\n";
constexpr std::size_t PlaceholderLength = 5;
constexpr std::size_t ReadBlock = std::size_t{1} << 20;
// The page is handed to write() once this much has gathered.
constexpr std::size_t WriteBlock = std::size_t{1} << 20;

std::size_t Find(std::string_view text, std::size_t from, char c) {
  const void* hit = std::memchr(text.data() + from, c, text.size() - from);
  return hit == nullptr ? text.size()
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
}

class Descriptor {
public:
  explicit Descriptor(int fd) : Fd(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return Fd; }
  void Reset(int fd) {
    Close();
    Fd = fd;
  }
  bool Close() {
    if (Fd < 0) {
      return true;
    }
    const bool ok = ::close(Fd) == 0;
    Fd = -1;
    return ok;
  }

private:
  int Fd;
};

// The page under construction, beside its final name, so that nobody ever
// sees half of it under that name; removed unless committed.
class PartialPage {
public:
  explicit PartialPage(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && File.Get() < 0; ++attempt) {
      Path = target + "." + std::to_string(::getpid()) + "-" +
             std::to_string(counter.fetch_add(1)) + ".part";
      File.Reset(::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (File.Get() < 0 && errno != EEXIST) {
        break;
      }
    }
    if (File.Get() < 0) {
      Path.clear();
    }
  }
  ~PartialPage() {
    File.Close();
    if (!Path.empty()) {
      ::unlink(Path.c_str());
    }
  }
  PartialPage(const PartialPage&) = delete;
  PartialPage& operator=(const PartialPage&) = delete;

  int Fd() const { return File.Get(); }

  // No fsync: the page is made again by every Publish and read at once by
  // this same system, so after a crash there is nothing worth keeping; what
  // matters is that the name never shows a partial page.
  bool Commit(const std::string& target) {
    if (!File.Close() || ::rename(Path.c_str(), target.c_str()) != 0) {
      return false;
    }
    Path.clear();
    return true;
  }

private:
  std::string Path;
  Descriptor File{-1};
};

// A template piece small enough that its page part stays near WriteBlock even
// when it is all "#" and the address is long.
std::size_t PieceSize(std::size_t addressLength, std::size_t ipv6Length) {
  const std::size_t growth = std::max({LineEnd.size(), addressLength / PlaceholderLength + 1,
                                       ipv6Length / kIpv6Placeholder.size() + 1});
  return std::clamp<std::size_t>(WriteBlock / growth, 1, ReadBlock);
}

// What "%%IPV6%%" may become: nothing, or an address and nothing else.
bool IsIpv6AddressOrEmpty(std::string_view text) {
  if (text.empty()) {
    return true;
  }
  // inet_pton reads a C string; a NUL inside would hide what follows it.
  if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) {
    return false;
  }
  in6_addr parsed{};
  return ::inet_pton(AF_INET6, std::string(text).c_str(), &parsed) == 1;
}

}  // namespace

PageFiller::PageFiller(std::string_view address, std::optional<std::string_view> ipv6Address) {
  const auto bytes = cp932::FromUtf8(address);
  Address = bytes ? *bytes : std::string(address);
  if (ipv6Address) {
    Ipv6 = std::string(*ipv6Address);
  }
}

void PageFiller::FlushHashes(std::string& page) {
  page.append(HeldHashes, '#');
  HeldHashes = 0;
}

void PageFiller::FlushToken(std::string& page) {
  page.append(kIpv6Placeholder.substr(0, TokenHeld));
  TokenHeld = 0;
}

bool PageFiller::Retoken(char c, std::string& page) {
  // The held bytes and c; the longest end of them that begins the token is
  // held again ("%%%IPV6%%" is "%" and the token), the rest is text.
  std::string seen(kIpv6Placeholder.substr(0, TokenHeld));
  seen += c;
  for (std::size_t keep = TokenHeld; keep > 0; --keep) {
    if (std::string_view(seen).substr(seen.size() - keep) == kIpv6Placeholder.substr(0, keep)) {
      page.append(seen, 0, seen.size() - keep);
      TokenHeld = keep;
      return true;
    }
  }
  FlushToken(page);
  return false;
}

void PageFiller::Feed(std::string_view piece, std::string& page) {
  std::size_t at = 0;
  const std::size_t end = piece.size();
  if (end == 0) {
    return;
  }
  if (HeldCr) {
    HeldCr = false;
    if (piece[0] == '\n') {
      page.append(LineEnd);
      LineOpen = false;
      at = 1;
    } else {
      page += '\r';
    }
  }
  // The next of each special byte at or after `at`; found again only once
  // passed, so each byte is looked at a bounded number of times.
  std::size_t nextHash = 0;
  std::size_t nextCr = 0;
  std::size_t nextLf = 0;
  std::size_t nextToken = end;  // stays at the end where "%%IPV6%%" is text
  bool known = false;
  while (at < end) {
    if (TokenHeld > 0) {
      // Part of the token is held: the bytes go one by one until it is whole
      // or broken off. Its bytes are none of "#", CR and LF.
      const char c = piece[at];
      if (c == kIpv6Placeholder[TokenHeld]) {
        ++at;
        if (++TokenHeld == kIpv6Placeholder.size()) {
          page.append(*Ipv6);
          ++Ipv6Filled;
          TokenHeld = 0;
        }
        continue;
      }
      if (Retoken(c, page)) {
        ++at;
        continue;
      }
    }
    if (!known || nextHash < at) {
      nextHash = Find(piece, at, '#');
    }
    if (!known || nextCr < at) {
      nextCr = Find(piece, at, '\r');
    }
    if (!known || nextLf < at) {
      nextLf = Find(piece, at, '\n');
    }
    if (Ipv6 && (!known || nextToken < at)) {
      nextToken = Find(piece, at, kIpv6Placeholder[0]);
    }
    known = true;
    const std::size_t stop = std::min({nextHash, nextCr, nextLf, nextToken});
    if (stop > at) {
      FlushHashes(page);
      page.append(piece.substr(at, stop - at));
      LineOpen = true;
      at = stop;
      if (at == end) {
        break;
      }
    }
    const char c = piece[at];
    if (c == kIpv6Placeholder[0] && Ipv6) {
      FlushHashes(page);
      TokenHeld = 1;
      LineOpen = true;
      ++at;
    } else if (c == '#') {
      std::size_t runEnd = at;
      while (runEnd < end && piece[runEnd] == '#') {
        ++runEnd;
      }
      const std::size_t run = HeldHashes + (runEnd - at);
      for (std::size_t i = 0; i < run / PlaceholderLength; ++i) {
        page.append(Address);
      }
      HeldHashes = run % PlaceholderLength;
      LineOpen = true;
      at = runEnd;
    } else if (c == '\n') {
      FlushHashes(page);
      page.append(LineEnd);
      LineOpen = false;
      ++at;
    } else {  // CR
      FlushHashes(page);
      if (at + 1 == end) {
        HeldCr = true;
        LineOpen = true;
        ++at;
      } else if (piece[at + 1] == '\n') {
        page.append(LineEnd);
        LineOpen = false;
        at += 2;
      } else {
        page += '\r';
        LineOpen = true;
        ++at;
      }
    }
  }
}

void PageFiller::Finish(std::string& page) {
  FlushToken(page);
  if (HeldCr) {
    HeldCr = false;
    page += '\r';
  }
  FlushHashes(page);
  if (LineOpen) {
    page.append(LineEnd);
    LineOpen = false;
  }
}

namespace {

std::string Fill(std::string_view templateBytes, std::string_view address,
                 std::optional<std::string_view> ipv6Address) {
  PageFiller filler(address, ipv6Address);
  std::string page;
  page.reserve(templateBytes.size() + templateBytes.size() / 16 + LineEnd.size());
  filler.Feed(templateBytes, page);
  filler.Finish(page);
  return page;
}

std::optional<GeneratedPage> Generate(const std::string& templatePath, std::string_view address,
                                      std::optional<std::string_view> ipv6Address) {
  // The caller checks already; a page that goes public is never filled with
  // anything but an address, whoever calls.
  if (!address.empty() && PublishableAddress(address) != address) {
    return std::nullopt;
  }
  if (ipv6Address && !IsIpv6AddressOrEmpty(*ipv6Address)) {
    return std::nullopt;
  }
  // O_NONBLOCK: a FIFO given as template must not hang the window; only a
  // regular file is read.
  Descriptor source(::open(templatePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (source.Get() < 0 || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  const std::string pagePath = templatePath + ".tmp";
  PartialPage partial(pagePath);
  if (partial.Fd() < 0) {
    return std::nullopt;
  }
  PageFiller filler(address, ipv6Address);
  const std::size_t pieceSize = PieceSize(filler.AddressBytes().size(), filler.Ipv6Length());
  std::vector<char> block(ReadBlock);
  std::string page;
  page.reserve(WriteBlock + WriteBlock / 2);
  for (;;) {
    const ssize_t got = ::read(source.Get(), block.data(), block.size());
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    std::string_view rest(block.data(), static_cast<std::size_t>(got));
    while (!rest.empty()) {
      const std::string_view piece = rest.substr(0, pieceSize);
      rest.remove_prefix(piece.size());
      filler.Feed(piece, page);
      if (page.size() >= WriteBlock) {
        if (!WriteAll(partial.Fd(), page)) {
          return std::nullopt;
        }
        page.clear();
      }
    }
  }
  filler.Finish(page);
  if (!WriteAll(partial.Fd(), page) || !partial.Commit(pagePath)) {
    return std::nullopt;
  }
  return GeneratedPage{pagePath, filler.Ipv6Placeholders()};
}

}  // namespace

std::string FillTemplate(std::string_view templateBytes, std::string_view address) {
  return Fill(templateBytes, address, std::nullopt);
}

std::string FillTemplate(std::string_view templateBytes, std::string_view address,
                         std::string_view ipv6Address) {
  return Fill(templateBytes, address, ipv6Address);
}

std::optional<std::string> GeneratePage(const std::string& templatePath, std::string_view address) {
  auto page = Generate(templatePath, address, std::nullopt);
  return page ? std::optional(std::move(page->Path)) : std::nullopt;
}

std::optional<GeneratedPage> GeneratePage(const std::string& templatePath, std::string_view address,
                                          std::string_view ipv6Address) {
  return Generate(templatePath, address, ipv6Address);
}

}  // namespace tavro
