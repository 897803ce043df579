// The page that Publish uploads: a copy of the user's template with every
// "#####" replaced by the address, written next to the template with ".tmp"
// appended to its name.
//
// Lines. A line is the text up to its LF; a CR right before the LF belongs to
// the line end (the template was read in text mode on Windows), so a CR LF
// template comes out unchanged and an LF template gains its CRs. Every line of
// the page ends in CR LF, and a last line without a line end gets one: the page
// has as many lines as the template. A CR not followed by LF is text. All other
// bytes (the template's code page 932 text, NUL, 0x1A) are copied as they are.
//
// Placeholders. Within a line the runs of "#" are cut into fives from the left:
// ten "#" give the address twice, six give the address and one "#". A line end
// ends a run.
//
// Address. Program text (UTF-8) in, page bytes out: the address goes into the
// page in code page 932, the page's own encoding, where code page 932 holds it,
// and as its bytes unchanged where it does not (never as "?"). A dotted
// address is the same in both.
//
// The IPv6 address. Where the caller gives one (the overloads with
// `ipv6Address`), each "%%IPV6%%" of the template becomes it, left to right
// and not overlapping, or nothing where the PC has none. The token holds no
// "#", so the runs of "#" are cut exactly as before; and its first byte "%"
// (0x25) is neither a lead nor a trail byte of code page 932, so a match
// starts on a character and every byte of it is an ASCII character. Without
// an IPv6 address given, "%%IPV6%%" is text, as it always was.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// Fills the template: every "#####" of each line replaced left to right
// (non-overlapping) by `address`; every line of the output ends in CR LF, as
// many lines as the template. Writes templatePath + ".tmp", replacing an earlier
// one. Returns the generated page's path, or std::nullopt when the template
// cannot be read or the page cannot be written (the caller logs
// "Err:ファイルを開くのに失敗しました。:" + templatePath). An address that is
// neither empty nor a bare address (PublishableAddress gives it back as it
// is) is refused as well, before anything is read or written.
//
// The template is streamed in blocks, so its size costs no memory. The page is
// written to a temporary file in the same folder and renamed into place: after
// a failure the earlier page is still whole, and an upload of the earlier page
// that is under way keeps reading the file it opened.
std::optional<std::string> GeneratePage(const std::string& templatePath, std::string_view address);

struct GeneratedPage {
  std::string Path;
  // How many "%%IPV6%%" the template held: none means a change of the IPv6
  // address alone leaves the page as it is, and an empty address emptied
  // these.
  std::size_t Ipv6Placeholders = 0;
};

// The same, also filling "%%IPV6%%" with `ipv6Address`: empty (the PC has no
// global IPv6 address; the caller logs it) or an IPv6 address as inet_pton
// (AF_INET6) reads it, and nothing else, else std::nullopt before anything is
// read or written.
std::optional<GeneratedPage> GeneratePage(const std::string& templatePath, std::string_view address,
                                          std::string_view ipv6Address);

inline constexpr std::string_view kIpv6Placeholder = "%%IPV6%%";

// The pure part: template bytes in, page bytes out.
std::string FillTemplate(std::string_view templateBytes, std::string_view address);
std::string FillTemplate(std::string_view templateBytes, std::string_view address,
                         std::string_view ipv6Address);

// The filling as a stream: the template may be cut anywhere, also inside a
// "#####" or between a CR and its LF; the pieces give the same page as the
// whole.
class PageFiller {
public:
  // With an IPv6 address (empty included) "%%IPV6%%" is replaced too.
  explicit PageFiller(std::string_view address,
                      std::optional<std::string_view> ipv6Address = std::nullopt);

  // Appends to `page` what the next piece of the template makes. A "#" run, a
  // CR or the start of "%%IPV6%%" at the end of the piece is held until the
  // next piece shows how it ends.
  void Feed(std::string_view piece, std::string& page);
  // The template has ended: appends what is held and the last line's CR LF.
  void Finish(std::string& page);

  // The address as it goes into the page.
  const std::string& AddressBytes() const { return Address; }
  std::size_t Ipv6Length() const { return Ipv6 ? Ipv6->size() : 0; }
  // The "%%IPV6%%" replaced so far.
  std::size_t Ipv6Placeholders() const { return Ipv6Filled; }

private:
  void FlushHashes(std::string& page);
  void FlushToken(std::string& page);
  // Takes the byte that does not go on with the held part of the token,
  // where it starts or goes on with a shorter part; false leaves it.
  bool Retoken(char c, std::string& page);

  std::string Address;
  std::optional<std::string> Ipv6;
  std::size_t Ipv6Filled = 0;
  std::size_t TokenHeld = 0;   // 0 to 7 bytes of "%%IPV6%%" matched, not yet written
  std::size_t HeldHashes = 0;  // 0 to 4 "#" of a run not yet complete
  bool HeldCr = false;         // the piece ended in CR
  bool LineOpen = false;       // the current line has text and needs its line end
};

}  // namespace tavro
