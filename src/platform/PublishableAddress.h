// What may go into a published page in place of "#####": an address and
// nothing else. The WAN address is whatever a mail server wrote between square
// brackets, so a hostile or broken server could otherwise put markup or script
// into the user's public page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavro {

// The address as the page shows it, where text is an IPv4 address in dotted
// decimal (four numbers, as inet_pton takes them: no leading zeros, no blanks)
// or an IPv6 address as inet_pton takes it, with or without the "IPv6:" tag of
// a mail server's address literal (any case). The tag is dropped: a page wants
// the bare address. Nullopt for every other text, the empty one included.
std::optional<std::string> PublishableAddress(std::string_view text);

}  // namespace tavro
