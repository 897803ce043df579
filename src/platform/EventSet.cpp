#include "platform/EventSet.h"

namespace tavro {

EventSet::EventSet(std::size_t count) : Signalled(count, false) {}

void EventSet::Signal(std::size_t index) {
  {
    std::lock_guard lock(Mutex);
    Signalled.at(index) = true;
  }
  Changed.notify_all();
}

void EventSet::Reset(std::size_t index) {
  std::lock_guard lock(Mutex);
  Signalled.at(index) = false;
}

bool EventSet::IsSignalled(std::size_t index) const {
  std::lock_guard lock(Mutex);
  return Signalled.at(index);
}

std::optional<std::size_t> EventSet::TakeLocked() {
  for (std::size_t i = 0; i < Signalled.size(); ++i) {
    if (Signalled[i]) {
      Signalled[i] = false;
      return i;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> EventSet::WaitAny(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock lock(Mutex);
  if (!timeout) {
    std::optional<std::size_t> taken;
    Changed.wait(lock, [&] { return (taken = TakeLocked()).has_value(); });
    return taken;
  }
  // A steady deadline, so that a wall-clock jump neither shortens nor
  // stretches the polling interval.
  const auto deadline = std::chrono::steady_clock::now() + *timeout;
  std::optional<std::size_t> taken;
  Changed.wait_until(lock, deadline, [&] { return (taken = TakeLocked()).has_value(); });
  return taken;
}

}  // namespace tavro
