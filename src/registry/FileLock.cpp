#include "registry/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace tavro {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

using HolderKey = std::pair<std::string, std::thread::id>;

std::mutex& HoldersMutex() {
  static std::mutex mutex;
  return mutex;
}

// The locks each thread of this process holds, by lock file. flock() is per
// open file: a second open by the same thread would wait for itself, while a
// second thread is kept out exactly like another process.
std::map<HolderKey, std::weak_ptr<FileLock>>& Holders() {
  static std::map<HolderKey, std::weak_ptr<FileLock>> holders;
  return holders;
}

}  // namespace

std::shared_ptr<FileLock> FileLock::Acquire(const std::filesystem::path& lockFile,
                                            std::chrono::milliseconds wait) {
  const HolderKey holder{lockFile.string(), std::this_thread::get_id()};
  {
    std::lock_guard guard(HoldersMutex());
    auto& holders = Holders();
    for (auto it = holders.begin(); it != holders.end();) {
      it = it->second.expired() ? holders.erase(it) : std::next(it);
    }
    if (const auto found = holders.find(holder); found != holders.end()) {
      if (auto lock = found->second.lock()) {
        return lock;
      }
    }
  }

  std::shared_ptr<FileLock> lock(new FileLock());
  do {
    lock->Descriptor = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (lock->Descriptor < 0 && errno == EINTR);
  if (lock->Descriptor < 0) {
    return lock;
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(lock->Descriptor, LOCK_EX | LOCK_NB) == 0) {
      lock->Locked = true;
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
  if (lock->Locked) {
    std::lock_guard guard(HoldersMutex());
    Holders()[holder] = lock;
  }
  return lock;
}

FileLock::~FileLock() {
  if (Descriptor >= 0) {
    ::close(Descriptor);  // releases the lock
  }
}

}  // namespace tavro
