#include "registry/RegistryStore.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace tavro {

namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::filesystem::path DefaultRegistryFilePath() {
  std::filesystem::path config;
  // A relative XDG_CONFIG_HOME is to be ignored, as the base directory rules
  // say: it would put the settings wherever the program was started.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    config = xdg;
  } else {
    const auto home = HomeFolder();
    if (home.empty()) {
      return {};  // no home: the store then opens no key
    }
    config = std::filesystem::path(home) / ".config";
  }
  return config / "Quillbet" / "Tavro.reg";
}

std::unique_ptr<IRegistryStore> MakeRegistryStore() {
  return MakeFileRegistryStore(DefaultRegistryFilePath());
}

}  // namespace tavro
