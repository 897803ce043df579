// Loading one of the windowed program's modules: a shared object beside the
// executable in the build tree, in the library folder once installed, with
// one C entry point that hands out a versioned table of functions.
#pragma once

#include <string>

namespace tavro {

// The entry point's result, or null with the reason in failure. A module,
// once loaded, is never unloaded: what it made lives on.
const void* LoadModuleEntry(const char* fileName, const char* installedName, const char* symbol,
                            std::string& failure);

// The table of type Table from the module, refused unless its leading
// Version member is version. what names the module in the failure.
template <typename Table>
const Table* LoadModuleTable(const char* fileName, const char* installedName, const char* symbol,
                             int version, const std::string& what, std::string& failure) {
  const auto* table = static_cast<const Table*>(
      LoadModuleEntry(fileName, installedName, symbol, failure));
  if (table != nullptr && table->Version != version) {
    failure = std::string(fileName) + ": not a " + what + " module of this build";
    return nullptr;
  }
  return table;
}

}  // namespace tavro
