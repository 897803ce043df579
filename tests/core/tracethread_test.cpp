#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "probe/CTraceThread.h"
#include "servers/ScriptedSmtpPeer.h"
#include "support/RecordingSink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using namespace tavro;
using tavro::test::RecordingSink;
using tavro::test::ScriptedSmtpPeer;
using tavro::test::SmtpScript;
using Clock = std::chrono::steady_clock;

namespace {

const std::string Connecting = "Msg: WANのメールサーバに接続中。";

// Holds a thread at a point of its work until the test lets it go.
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
  bool Held = false, Opened = false;
};

class TraceThreadTest : public ::testing::Test {
protected:
  // LAN mode by default: runs are quick and need no server.
  void Make(std::uint32_t interval, std::string server = "localhost", std::string mode = "LAN") {
    auto resolver = std::make_shared<SystemNameResolver>();
    ResolverSeen = resolver;
    Thread = std::make_unique<CTraceThread>(std::move(resolver));
    Thread->SetOwner(Sink);
    Thread->SetMailServer(std::move(server));
    Thread->SetMode(std::move(mode));
    Thread->SetInterval(interval);
    Thread->SetTimeouts({300ms, 300ms, 300ms});
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
  std::size_t Count(std::uint32_t code) const {
    const auto r = Sink->Reports();
    return std::count_if(r.begin(), r.end(), [code](auto& x) { return x.code == code; });
  }
  bool WaitForRuns(std::size_t ended) {
    return Sink->WaitFor([&](const auto& r) {
      return std::count_if(r.begin(), r.end(), [](auto& x) { return x.code == TE_LAN_ADDRESS; }) >=
             static_cast<std::ptrdiff_t>(ended);
    });
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
  ASSERT_TRUE(WaitForRuns(1));
  const auto reports = Sink->Reports();
  ASSERT_EQ(reports.size(), 3u);
  for (const auto& r : reports) {
    EXPECT_EQ(r.message, WM_TRACETHREAD_EVENT);
    EXPECT_EQ(r.value, 0);
  }
  EXPECT_EQ(reports[0].code, TE_PROBE_STARTED);
  EXPECT_FALSE(reports[0].text);
  EXPECT_EQ(reports[1].code, TE_STATUS_TEXT);
  EXPECT_EQ(reports[1].text, "Msg: LANのIPアドレスを収得しました。");
  EXPECT_EQ(reports[2].code, TE_LAN_ADDRESS);
  EXPECT_FALSE(reports[2].text.value_or("").empty());
  std::this_thread::sleep_for(300ms);  // no interval: nothing more until asked
  EXPECT_EQ(Sink->Count(), 3u);
}

TEST_F(TraceThreadTest, PeriodIsTheRunPlusTheInterval) {
  constexpr auto interval = 60ms, runLength = 80ms;
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
  Thread->Start();  // no request: the first run comes when the interval has passed
  ASSERT_TRUE(WaitForRuns(4));
  Finish();
  std::lock_guard lock(mutex);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_GE(starts[i + 1] - ends[i], interval);
    EXPECT_LT(starts[i + 1] - ends[i], interval + 2s);
    EXPECT_GE(starts[i + 1] - starts[i], runLength + interval);
  }
}

TEST_F(TraceThreadTest, RequestsDuringARunMergeAndAStopLetsTheRunFinish) {
  for (const bool stop : {false, true}) {
    Sink = std::make_shared<RecordingSink>();
    Gate gate;
    bool first = true;  // only the worker touches it
    Sink->OnEach = [&](const WorkerReport& r) {
      if (r.code == TE_PROBE_STARTED && std::exchange(first, false)) {
        gate.HoldHere();
      }
    };
    Make(CTraceThread::NoInterval);
    Thread->Start();
    Thread->RequestProbe();
    ASSERT_TRUE(gate.WaitUntilHeld());
    if (stop) {
      Thread->RequestStop();
    }
    Thread->RequestProbe();
    Thread->RequestProbe();
    Thread->RequestProbe();
    gate.Open();
    ASSERT_TRUE(WaitForRuns(stop ? 1 : 2));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Count(TE_PROBE_STARTED), stop ? 1u : 2u);
    EXPECT_EQ(Count(TE_LAN_ADDRESS), stop ? 1u : 2u);
    Finish();
  }
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

TEST_F(TraceThreadTest, NewIntervalTakesEffectAtTheNextWait) {
  Make(CTraceThread::NoInterval);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(WaitForRuns(1));
  std::this_thread::sleep_for(100ms);  // back in its wait, which has no limit
  Thread->SetInterval(40);
  EXPECT_EQ(Thread->Interval(), 40u);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Count(TE_PROBE_STARTED), 1u);
  Thread->RequestProbe();  // as the owner does when it changes the interval
  ASSERT_TRUE(WaitForRuns(5));

  Thread->SetInterval(CTraceThread::NoInterval);
  std::this_thread::sleep_for(200ms);  // at most one more run
  const std::size_t settled = Count(TE_PROBE_STARTED);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Count(TE_PROBE_STARTED), settled);
}

TEST_F(TraceThreadTest, NoticesStopOnceTheOwnerIsGone) {
  ScriptedSmtpPeer peer(SmtpScript::Behaving(SmtpScript::Behaviour::Silent));
  // The owner's handle has its own lifetime; the recorder outlives it. The
  // owner goes away while it handles the last notice before the connection.
  auto owner = std::shared_ptr<IReportSink>(Sink.get(), [](IReportSink*) {});
  Sink->OnEach = [&](const WorkerReport& r) {
    if (r.text && *r.text == Connecting) {
      owner.reset();
    }
  };
  Make(CTraceThread::NoInterval, "localhost:" + std::to_string(peer.Port()), "WAN");
  Thread->SetOwner(owner);
  Thread->Start();
  Thread->RequestProbe();
  ASSERT_TRUE(peer.WaitForClientCloses(1, 10s));  // the run has ended
  Thread->RequestProbe();                         // and the loop goes on
  ASSERT_TRUE(peer.WaitForClientCloses(2, 10s));
  const auto reports = Sink->Reports();
  ASSERT_EQ(reports.size(), 6u);  // 2, LAN text, 0, three WAN texts
  EXPECT_EQ(reports.back().text, Connecting);
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
  Finish();
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
          thread.Start();
          thread.RequestProbe();
          while (peer->Connections() == 0) {
            std::this_thread::sleep_for(5ms);
          }
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
