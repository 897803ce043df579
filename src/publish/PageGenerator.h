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

// The pure part: template bytes in, page bytes out.
std::string FillTemplate(std::string_view templateBytes, std::string_view address);

// The filling as a stream: the template may be cut anywhere, also inside a
// "#####" or between a CR and its LF; the pieces give the same page as the
// whole.
class PageFiller {
public:
  explicit PageFiller(std::string_view address);

  // Appends to `page` what the next piece of the template makes. A "#" run or a
  // CR at the end of the piece is held until the next piece shows how it ends.
  void Feed(std::string_view piece, std::string& page);
  // The template has ended: appends what is held and the last line's CR LF.
  void Finish(std::string& page);

  // The address as it goes into the page.
  const std::string& AddressBytes() const { return Address; }

private:
  void FlushHashes(std::string& page);

  std::string Address;
  std::size_t HeldHashes = 0;  // 0 to 4 "#" of a run not yet complete
  bool HeldCr = false;         // the piece ended in CR
  bool LineOpen = false;       // the current line has text and needs its line end
};

}  // namespace tavro
