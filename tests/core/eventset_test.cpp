#include "platform/EventSet.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using tavro::EventSet;

TEST(EventSet, LowestSignalledWinsAndOnlyItIsCleared) {
  EventSet events(2);
  events.Signal(1);
  events.Signal(0);
  EXPECT_EQ(events.WaitAny(0ms), 0u);
  EXPECT_TRUE(events.IsSignalled(1));
  EXPECT_EQ(events.WaitAny(0ms), 1u);
  EXPECT_EQ(events.WaitAny(0ms), std::nullopt);
}

TEST(EventSet, TimesOutAndWakesFromAnotherThread) {
  EventSet events(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(events.WaitAny(30ms), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  std::thread signaller([&] {
    std::this_thread::sleep_for(20ms);
    events.Signal(1);
  });
  EXPECT_EQ(events.WaitAny(std::nullopt), 1u);
  signaller.join();
  events.Signal(0);
  events.Reset(0);
  EXPECT_EQ(events.WaitAny(0ms), std::nullopt);
}
