// Auto-reset events that one thread waits on together, as the Windows program
// waited on several event handles at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

namespace tavro {

class EventSet {
public:
  explicit EventSet(std::size_t count);

  void Signal(std::size_t index);
  void Reset(std::size_t index);
  bool IsSignalled(std::size_t index) const;

  // Waits until one of the events is signalled and clears only that one; the
  // lowest index wins when several are, so callers order events by priority.
  // No time-out (nullopt) waits for ever. Returns nullopt on a time-out.
  std::optional<std::size_t> WaitAny(std::optional<std::chrono::milliseconds> timeout);

private:
  std::optional<std::size_t> TakeLocked();

  mutable std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<bool> Signalled;
};

}  // namespace tavro
