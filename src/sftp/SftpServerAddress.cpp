// Pure text, so that the windowed program can tell an SFTP server before it
// loads the SFTP code.
#include "platform/AsciiText.h"
#include "sftp/SftpHostKeys.h"

namespace tavro {

std::optional<std::string_view> SftpServerAddress(std::string_view server) {
  constexpr std::string_view scheme = "sftp://";
  if (server.size() <= scheme.size() || !StartsWithNoCase(server, scheme)) {
    return std::nullopt;
  }
  std::string_view rest = server.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') {
    rest.remove_suffix(1);
  }
  if (rest.empty() || rest.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  return rest;
}

}  // namespace tavro
