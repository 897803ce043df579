#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "probe/CTraceThread.h"
#include "servers/ScriptedSmtpPeer.h"
#include "support/RecordingSink.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using tavro::test::RecordingSink;
using tavro::test::ScriptedSmtpPeer;
using tavro::test::SmtpScript;
using Clock = std::chrono::steady_clock;

namespace {

// Holds a thread at a point of its work until the test sets Opened. A gate
// that goes away unopened lets the thread go too.
struct Gate {
  std::promise<void> Held, Opened;
  std::shared_future<void> Open = Opened.get_future().share();
  void HoldHere() {
    const auto open = Open;
    Held.set_value();
    open.wait();
  }
};

class TraceThreadTest : public ::testing::Test {
protected:
  // LAN mode by default: runs are quick and need no server.
  void Make(std::uint32_t interval, std::string server = "localhost", std::string mode = "LAN",
            CTraceThread::Ipv6Reader readIpv6 = {}) {
    auto resolver = std::make_shared<SystemNameResolver>();
    ResolverSeen = resolver;
    Thread = std::make_unique<CTraceThread>(std::move(resolver), std::move(readIpv6));
    Thread->SetOwner(Sink);
    Thread->SetMailServer(std::move(server));
    Thread->SetMode(std::move(mode));
    Thread->SetInterval(interval);
  }
  void TearDown() override { Finish(); }

  // Destroys the object and waits until the thread has freed the state it
  // shares (the resolver lives in it), so no handler outlives the test.
  void Finish() {
    Thread.reset();
    const auto deadline = Clock::now() + 5s;
    while (!ResolverSeen.expired() && Clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(ResolverSeen.expired());
  }
  // Waits until `ended` runs have sent their last notice.
  bool WaitForRuns(std::size_t ended, std::uint32_t last = TE_LAN_ADDRESS) {
    return Sink->WaitFor([&](const auto& r) {
      return std::count_if(r.begin(), r.end(), [&](auto& x) { return x.Code == last; }) >=
             static_cast<std::ptrdiff_t>(ended);
    });
  }

  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::weak_ptr<SystemNameResolver> ResolverSeen;
  std::unique_ptr<CTraceThread> Thread;
};

}  // namespace

TEST_F(TraceThreadTest, NewIntervalTakesEffectAtTheNextWaitAndThePeriodIsTheRunPlusIt) {
  constexpr auto interval = 60ms, runLength = 80ms;
  std::mutex mutex;
  std::vector<Clock::time_point> starts, ends;
  Sink->OnEach = [&](const WorkerReport& r) {
    std::lock_guard lock(mutex);
    if (r.Code == TE_PROBE_STARTED) {
      starts.push_back(Clock::now());
      std::this_thread::sleep_for(runLength);
    } else if (r.Code == TE_LAN_ADDRESS) {
      ends.push_back(Clock::now());
    }
  };
  Make(CTraceThread::NoInterval);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(WaitForRuns(1));
  std::this_thread::sleep_for(100ms);  // back in its wait, which has no limit
  Thread->SetInterval(interval.count());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Sink->Count(), 3u);  // that wait goes on
  Thread->RequestProbe();        // as the owner does when it changes the interval
  ASSERT_TRUE(WaitForRuns(5));
  Finish();
  std::lock_guard lock(mutex);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_GE(starts[i + 1] - ends[i], interval);
    EXPECT_LT(starts[i + 1] - ends[i], interval + 2s);
  }
}

// A stop signalled beside pending requests wins over them: the run in
// progress ends and no other starts.
TEST_F(TraceThreadTest, RequestsDuringARunMergeIntoOneAndAStopLetsTheRunFinish) {
  ScriptedSmtpPeer peer;
  for (const bool stop : {false, true}) {
    Sink = std::make_shared<RecordingSink>();
    Gate gate;
    bool first = true;  // only the worker touches it
    Sink->OnEach = [&](const WorkerReport& r) {
      if (r.Code == TE_PROBE_STARTED && std::exchange(first, false)) {
        gate.HoldHere();
      }
    };
    Make(CTraceThread::NoInterval, "localhost:" + std::to_string(peer.Port()), "WAN");
    Thread->Start();
    Thread->RequestProbe();
    ASSERT_EQ(gate.Held.get_future().wait_for(10s), std::future_status::ready);
    if (stop) {
      Thread->RequestStop();
    }
    for (int i = 0; i < 3; ++i) {
      Thread->RequestProbe();
    }
    gate.Opened.set_value();
    ASSERT_TRUE(WaitForRuns(stop ? 1 : 2, TE_WAN_ADDRESS));
    std::this_thread::sleep_for(300ms);  // no interval: nothing more comes
    EXPECT_EQ(Sink->Count(), stop ? 10u : 20u);
    for (const auto& r : Sink->Reports()) {
      EXPECT_EQ(r.Message, kWmTraceThreadEvent);
    }
    Finish();
  }
}

TEST_F(TraceThreadTest, NoticesStopOnceTheOwnerIsGone) {
  const std::string connecting = "Msg: WANのメールサーバに接続中。";
  ScriptedSmtpPeer peer;
  // The owner's handle has its own lifetime; the recorder outlives it. The
  // owner goes away while it handles the last notice before the connection.
  auto owner = std::shared_ptr<IReportSink>(Sink.get(), [](IReportSink*) {});
  Sink->OnEach = [&](const WorkerReport& r) {
    if (r.Text() && *r.Text() == connecting) {
      owner.reset();
    }
  };
  Make(CTraceThread::NoInterval, "localhost:" + std::to_string(peer.Port()), "WAN");
  Thread->SetOwner(owner);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(peer.WaitForClientCloses(1, 10s));
  Thread->RequestProbe();  // the loop goes on, and the first run has ended
  ASSERT_TRUE(peer.WaitForClientCloses(2, 10s));
  const auto reports = Sink->Reports();
  ASSERT_EQ(reports.size(), 6u);  // 2, LAN text, 0, three WAN texts
  EXPECT_EQ(reports.back().Text, connecting);
}

TEST_F(TraceThreadTest, DestroyedDuringABlockedRunReturnsAtOnceAndTheThreadEnds) {
  Gate greeting;
  SmtpScript script;
  script.Greeting = {"", "220 late\r\n"};
  script.BeforeNextSegment = [&] { greeting.HoldHere(); };
  ScriptedSmtpPeer peer(script);
  Make(CTraceThread::NoInterval, "localhost:" + std::to_string(peer.Port()), "WAN");
  Thread->SetTimeouts({10s, 10s, 10s});  // far longer than the test may take
  Thread->Start();
  Thread->RequestProbe();
  // Connected; the worker waits for the greeting.
  ASSERT_EQ(greeting.Held.get_future().wait_for(10s), std::future_status::ready);
  const std::size_t before = Sink->Count();

  const auto start = Clock::now();
  Thread.reset();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_FALSE(ResolverSeen.expired());  // the thread still holds the state

  greeting.Opened.set_value();  // the receive returns; the rest of the run is skipped
  ASSERT_TRUE(peer.WaitForClientCloses(1, 5s));
  Finish();
  EXPECT_TRUE(peer.HeloLines().empty());
  EXPECT_EQ(Sink->Count(), before);
}

// Each run begins with the IPv6 address, before the addresses that may
// publish; a reading that fails says so once until one works, and leaves the
// owner's address alone (no notice), so a passing fault never empties it.
TEST_F(TraceThreadTest, EachRunBeginsWithTheIpv6AddressAndAFailureIsToldOnce) {
  Ipv6InterfaceAddress stable;
  stable.Bytes = {0x24, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  const std::vector<Ipv6Reading> readings = {
      {{stable}, ""}, {{}, "no answer"}, {{}, "no answer"}, {{}, ""}, {{}, "no answer"}};
  std::atomic<std::size_t> next{0};
  Make(CTraceThread::NoInterval, "localhost", "LAN",
       [&] { return readings[std::min(next++, readings.size() - 1)]; });
  Thread->Start();
  for (std::size_t run = 1; run <= readings.size(); ++run) {
    Thread->RequestProbe();
    ASSERT_TRUE(WaitForRuns(run));
  }
  Finish();
  std::vector<std::string> seen;
  for (const auto& r : Sink->Reports()) {
    if (r.Code == TE_IPV6_ADDRESS) {
      seen.push_back("v6 " + r.Text.value_or("?"));
    } else if (r.Code == TE_PROBE_STARTED) {
      seen.push_back("run");
    } else if (r.Code == TE_STATUS_TEXT && r.Text->find("IPv6") != std::string::npos) {
      seen.push_back(*r.Text);
    } else if (r.Code == TE_STATUS_TEXT && r.Text->find("no answer") != std::string::npos) {
      seen.push_back(*r.Text);
    }
  }
  const std::string failed = kIpv6ReadFailedText;
  const std::string cause = "Err: 原因: no answer";
  EXPECT_EQ(seen, (std::vector<std::string>{"v6 2400:1::10", "run", failed, cause, "run", "run",
                                            "v6 ", "run", failed, cause, "run"}));
}
