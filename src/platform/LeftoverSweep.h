// What a kill in the middle of a write leaves behind: the temporary file of a
// settings save and the page under construction. Both are made beside their
// final file under a name of a fixed shape, so that the next start can find
// them by name and remove them.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tavro {

enum class LeftoverKind {
  // <file>.XXXXXX, six letters and digits as mkstemp makes them.
  SettingsSave,
  // <template>.tmp.<pid>-<n>.part, both numbers in decimal.
  PartialPage,
};

// Only files last changed longer ago than this are taken for leftovers: a
// younger one may still be written by a process that is alive.
inline constexpr std::chrono::seconds kLeftoverAge{60};

// Whether the plain file name `name` is a leftover of this kind of the file
// named `base`.
bool IsLeftoverName(std::string_view name, std::string_view base, LeftoverKind kind);

// Removes from the folder of `file` every leftover of that kind of it that is
// a regular file (a symbolic link is never followed, nor removed) of this
// user, last changed more than kLeftoverAge before `now`. Returns how many
// were removed; a folder that cannot be read removes nothing.
std::size_t SweepLeftovers(const std::filesystem::path& file, LeftoverKind kind,
                           std::chrono::system_clock::time_point now);

// At start-up: the settings save's leftovers beside the settings file and the
// pages' beside each template. Empty paths are skipped.
void SweepStartupLeftovers(const std::filesystem::path& settingsFile,
                           const std::vector<std::string>& templates,
                           std::chrono::system_clock::time_point now);

}  // namespace tavro
