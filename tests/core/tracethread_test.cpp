#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "probe/CTraceThread.h"
#include "servers/ScriptedSmtpPeer.h"
#include "support/RecordingSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using tavro::test::RecordedReport;
using tavro::test::RecordingSink;
using tavro::test::ScriptedSmtpPeer;
using tavro::test::SmtpScript;
using Clock = std::chrono::steady_clock;

namespace {

constexpr SmtpTimeouts ShortTimeouts{300ms, 300ms, 300ms};
const std::string Connecting = "Msg: WANのメールサーバに接続中。";

// Holds the worker inside the handler of a notice until the test lets it go.
class Gate {
public:
  void HoldHere() {
    std::unique_lock lock(Mutex);
    Held = true;
    Changed.notify_all();
    Changed.wait(lock, [&] { return Opened; });
  }
  bool WaitUntilHeld() {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, 10s, [&] { return Held; });
  }
  void Open() {
    std::lock_guard lock(Mutex);
    Opened = true;
    Changed.notify_all();
  }

private:
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Held = false;
  bool Opened = false;
};

class TraceThreadTest : public ::testing::Test {
protected:
  // A thread in LAN mode: runs are quick and need no server.
  void Make(std::uint32_t interval, std::string mailServer = "localhost",
            std::string mode = "LAN") {
    auto resolver = std::make_shared<SystemNameResolver>();
    ResolverSeen = resolver;
    Thread = std::make_unique<CTraceThread>(std::move(resolver));
    Thread->SetOwner(Sink);
    Thread->SetMailServer(std::move(mailServer));
    Thread->SetMode(std::move(mode));
    Thread->SetInterval(interval);
    Thread->SetTimeouts(ShortTimeouts);
  }

  std::size_t Runs() const { return CountOf(TE_PROBE_STARTED); }
  std::size_t CountOf(std::uint32_t code) const {
    const auto reports = Sink->Reports();
    return std::count_if(reports.begin(), reports.end(),
                         [code](const RecordedReport& r) { return r.code == code; });
  }
  bool WaitForCode(std::uint32_t code, std::size_t count) {
    return Sink->WaitFor([&](const auto& reports) {
      return static_cast<std::size_t>(std::count_if(
                 reports.begin(), reports.end(), [&](auto& r) { return r.code == code; })) >= count;
    });
  }
  bool WaitForText(const std::string& text) {
    return Sink->WaitFor([&](const auto& reports) {
      return std::any_of(reports.begin(), reports.end(), [&](auto& r) { return r.text == text; });
    });
  }
  void TearDown() override { Finish(); }

  // Destroys the thread object and waits for the thread to end, so that no
  // handler runs after the test's own objects are gone.
  void Finish() {
    Thread.reset();
    if (!ResolverSeen.expired()) {
      EXPECT_TRUE(StateFreed(5s));
    }
  }

  // The working state is freed only when both the object and the thread have
  // let go of it; the resolver lives in it.
  bool StateFreed(std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (!ResolverSeen.expired() && Clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return ResolverSeen.expired();
  }

  std::shared_ptr<RecordingSink> Sink = std::make_shared<RecordingSink>();
  std::weak_ptr<SystemNameResolver> ResolverSeen;
  std::unique_ptr<CTraceThread> Thread;
};

}  // namespace

TEST_F(TraceThreadTest, OneRunOnRequestDeliveredAsTraceEvents) {
  Make(CTraceThread::NoInterval);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(WaitForCode(TE_LAN_ADDRESS, 1));
  const auto reports = Sink->Reports();
  ASSERT_EQ(reports.size(), 3u);
  for (const auto& r : reports) {
    EXPECT_EQ(r.message, WM_TRACETHREAD_EVENT);
    EXPECT_EQ(r.value, 0);
    EXPECT_FALSE(r.hasEntry);
  }
  EXPECT_EQ(reports[0].code, TE_PROBE_STARTED);
  EXPECT_FALSE(reports[0].text);
  EXPECT_EQ(reports[1].code, TE_STATUS_TEXT);
  EXPECT_EQ(reports[1].text, "Msg: LANのIPアドレスを収得しました。");
  EXPECT_EQ(reports[2].code, TE_LAN_ADDRESS);
  EXPECT_TRUE(reports[2].text && !reports[2].text->empty());

  // Without an interval nothing runs until asked again.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Sink->Count(), 3u);
}

TEST_F(TraceThreadTest, PeriodIsTheRunPlusTheInterval) {
  constexpr auto interval = 60ms;
  constexpr auto runLength = 80ms;
  std::mutex mutex;
  std::vector<Clock::time_point> starts, ends;
  Sink->OnEach = [&](const WorkerReport& r) {
    std::lock_guard lock(mutex);
    if (r.code == TE_PROBE_STARTED) {
      starts.push_back(Clock::now());
      std::this_thread::sleep_for(runLength);
    } else if (r.code == TE_LAN_ADDRESS) {
      ends.push_back(Clock::now());
    }
  };
  Make(interval.count());
  Thread->Start();  // no request: the first run comes when the interval passes
  ASSERT_TRUE(WaitForCode(TE_LAN_ADDRESS, 4));
  Finish();
  std::lock_guard lock(mutex);
  for (std::size_t i = 0; i + 1 < 4; ++i) {
    EXPECT_GE(starts[i + 1] - ends[i], interval);
    EXPECT_LT(starts[i + 1] - ends[i], interval + 2s);
    EXPECT_GE(starts[i + 1] - starts[i], runLength + interval);
  }
}

TEST_F(TraceThreadTest, RequestsDuringARunGiveExactlyOneMoreRun) {
  Gate gate;
  std::atomic<int> started = 0;
  Sink->OnEach = [&](const WorkerReport& r) {
    if (r.code == TE_PROBE_STARTED && started++ == 0) {
      gate.HoldHere();
    }
  };
  Make(CTraceThread::NoInterval);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(gate.WaitUntilHeld());
  Thread->RequestProbe();
  Thread->RequestProbe();
  Thread->RequestProbe();
  gate.Open();
  ASSERT_TRUE(WaitForCode(TE_LAN_ADDRESS, 2));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Runs(), 2u);
  Finish();
}

TEST_F(TraceThreadTest, StopSignalledWithAProbeWinsAndNothingRunsAfter) {
  Make(CTraceThread::NoInterval);
  Thread->RequestProbe();
  Thread->RequestStop();
  Thread->Start();
  std::this_thread::sleep_for(200ms);
  Thread->RequestProbe();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Sink->Count(), 0u);
}

TEST_F(TraceThreadTest, StopDuringARunLetsTheRunFinishAndReport) {
  Gate gate;
  Sink->OnEach = [&](const WorkerReport& r) {
    if (r.code == TE_PROBE_STARTED) {
      gate.HoldHere();
    }
  };
  Make(0);  // runs back to back until stopped
  Thread->Start();
  ASSERT_TRUE(gate.WaitUntilHeld());
  Thread->RequestStop();
  Thread->RequestProbe();
  gate.Open();
  ASSERT_TRUE(WaitForCode(TE_LAN_ADDRESS, 1));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Runs(), 1u);
  EXPECT_EQ(Sink->Count(), 3u);
  Finish();
}

TEST_F(TraceThreadTest, NewIntervalTakesEffectAtTheNextWait) {
  Make(CTraceThread::NoInterval);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(WaitForCode(TE_LAN_ADDRESS, 1));
  Thread->SetInterval(40);
  EXPECT_EQ(Thread->Interval(), 40u);
  std::this_thread::sleep_for(300ms);  // the wait in progress has no limit
  EXPECT_EQ(Runs(), 1u);

  Thread->RequestProbe();  // as the owner does after changing the interval
  ASSERT_TRUE(WaitForCode(TE_LAN_ADDRESS, 5));

  Thread->SetInterval(CTraceThread::NoInterval);
  std::this_thread::sleep_for(200ms);  // at most one more run
  const std::size_t settled = Runs();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Runs(), settled);
}

TEST_F(TraceThreadTest, NoticesStopOnceTheOwnerIsGone) {
  ScriptedSmtpPeer peer(SmtpScript::Behaving(SmtpScript::Behaviour::Silent));
  // The owner's handle has its own lifetime; the recorder outlives it.
  auto owner = std::shared_ptr<IReportSink>(Sink.get(), [](IReportSink*) {});
  Make(CTraceThread::NoInterval, "localhost:" + std::to_string(peer.Port()), "WAN");
  Thread->SetOwner(owner);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(WaitForText(Connecting));
  const std::size_t before = Sink->Count();
  owner.reset();  // the run is now blocked on the silent server

  ASSERT_TRUE(peer.WaitForClientCloses(1, 10s));  // the run has ended
  Thread->RequestProbe();                         // and the loop goes on
  ASSERT_TRUE(peer.WaitForClientCloses(2, 10s));
  EXPECT_EQ(Sink->Count(), before);
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
  ASSERT_TRUE(greeting.WaitUntilHeld());  // connected; the worker waits for the greeting
  const std::size_t before = Sink->Count();

  const auto start = Clock::now();
  Thread.reset();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_FALSE(ResolverSeen.expired());  // the thread still holds the state

  greeting.Open();  // the receive returns; the rest of the run is skipped
  ASSERT_TRUE(peer.WaitForClientCloses(1, 5s));
  EXPECT_TRUE(StateFreed(5s));
  EXPECT_TRUE(peer.HeloLines().empty());
  EXPECT_EQ(Sink->Count(), before);
}

TEST(TraceThreadExit, ProcessExitsWhileAWorkerIsBlocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto* peer = new ScriptedSmtpPeer(SmtpScript::Behaving(SmtpScript::Behaviour::Silent));
        auto sink = std::make_shared<RecordingSink>();
        {
          CTraceThread thread;
          thread.SetOwner(sink);
          thread.SetMailServer("localhost:" + std::to_string(peer->Port()));
          thread.SetMode("WAN");
          thread.SetInterval(CTraceThread::NoInterval);
          thread.Start();
          thread.RequestProbe();
          sink->WaitFor([](const auto& reports) {
            return !reports.empty() && reports.back().text == Connecting;
          });
          while (peer->Connections() == 0) {
            std::this_thread::sleep_for(5ms);
          }
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
