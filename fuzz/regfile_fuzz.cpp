// The settings file reader on arbitrary bytes: it must not crash, and what it
// reads must write out as a file that reads back the same, undamaged.
#include "registry/RegFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  tavro::RegFile first = tavro::RegFile::Parse(input);
  const std::string written = first.Serialise();
  tavro::RegFile second = tavro::RegFile::Parse(written);
  if (second.Damaged() || !second.SameContent(first) || second.Serialise() != written) {
    std::abort();
  }
  // Every key and value that was read can be found again by its name.
  for (const auto& key : first.Keys()) {
    tavro::RegKeySection* found = second.FindKey(key.Path);
    if (found == nullptr) {
      std::abort();
    }
    for (const auto& entry : key.Entries) {
      if (!entry.Comment && tavro::RegFile::FindValue(*found, entry.Name) == nullptr) {
        std::abort();
      }
    }
  }
  return 0;
}
