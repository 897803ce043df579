#include "platform/ModuleFile.h"

#include <dlfcn.h>
#include <unistd.h>

namespace tavro {

namespace {

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    return {};
  }
  const std::string exe(path, std::size_t(n));
  return exe.substr(0, exe.rfind('/') + 1);
}

}  // namespace

const void* LoadModuleEntry(const char* fileName, const char* installedName, const char* symbol,
                            std::string& failure) {
  for (const std::string& file :
       {ExecutableFolder() + fileName, ExecutableFolder() + installedName}) {
    void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      failure = ::dlerror();
      continue;
    }
    using Entry = const void* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(module, symbol));
    if (const void* table = entry ? entry() : nullptr) {
      return table;
    }
    failure = file + ": no " + symbol;
  }
  return nullptr;
}

}  // namespace tavro
