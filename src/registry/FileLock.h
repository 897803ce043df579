// An advisory lock on a file beside the settings file, so that two Tavro
// processes (or threads) cannot interleave their read-modify-write of it.
// Keys that one thread holds open at the same time share the lock instead of
// waiting for themselves.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

namespace tavro {

class FileLock {
public:
  // Waits up to `wait` for the lock. Where it cannot be had by then (or the
  // lock file cannot be made) the result holds no lock: the caller goes on
  // without it rather than fail.
  static std::shared_ptr<FileLock> Acquire(const std::filesystem::path& lockFile,
                                           std::chrono::milliseconds wait);

  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool Held() const { return Locked; }

private:
  FileLock() = default;

  int Descriptor = -1;
  bool Locked = false;
};

}  // namespace tavro
