#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace tavro {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

std::mutex& LocksMutex() {
  static std::mutex mutex;
  return mutex;
}

// Locks this process holds, by lock file: flock() is per open file, so a
// second open of the same file here would wait for the first.
std::map<std::string, std::weak_ptr<FileLock>>& HeldLocks() {
  static std::map<std::string, std::weak_ptr<FileLock>> locks;
  return locks;
}

}  // namespace

std::shared_ptr<FileLock> FileLock::Acquire(const std::filesystem::path& lockFile,
                                            std::chrono::milliseconds wait) {
  // Held while waiting: a second key of this process then shares the lock the
  // first one gets instead of opening and waiting on its own.
  std::lock_guard guard(LocksMutex());
  auto& held = HeldLocks();
  for (auto it = held.begin(); it != held.end();) {
    it = it->second.expired() ? held.erase(it) : std::next(it);
  }
  if (const auto found = held.find(lockFile.string()); found != held.end()) {
    if (auto lock = found->second.lock()) {
      return lock;
    }
  }

  std::shared_ptr<FileLock> lock(new FileLock());
  do {
    lock->fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (lock->fd_ < 0 && errno == EINTR);
  if (lock->fd_ < 0) {
    return lock;
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(lock->fd_, LOCK_EX | LOCK_NB) == 0) {
      lock->held_ = true;
      break;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  if (lock->held_) {
    held[lockFile.string()] = lock;
  }
  return lock;
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    ::close(fd_);  // releases the lock
  }
}

}  // namespace tavro
