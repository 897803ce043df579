#include "ui/GuiReportSink.h"

#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <mutex>

namespace tavro {

struct GuiReportSink::State {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Open = true;
  QObject* Owner = nullptr;
  QThread* OwnerThread = nullptr;
  Handler Handle;
  QMetaObject::Connection OwnerGone;

  void Close() {
    {
      std::lock_guard lock(Mutex);
      Open = false;
    }
    Changed.notify_all();
  }
};

namespace {

// One report in flight. Done is set when the queued call ends, whether it ran
// or was discarded because its owner went away first: either way the waiting
// worker must be woken. Running covers the handler's own run, during which
// the worker's payload must stay valid even if the handler closes the sink.
struct Call {
  std::shared_ptr<GuiReportSink::State> Shared;
  bool Done = false;
  bool Running = false;

  explicit Call(std::shared_ptr<GuiReportSink::State> state) : Shared(std::move(state)) {}
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  void Finish();
};

// Held only by the queued function: its end, run or discarded, ends the call.
struct FinishOnDrop {
  explicit FinishOnDrop(std::shared_ptr<Call> call) : Pending(std::move(call)) {}
  FinishOnDrop(const FinishOnDrop&) = delete;
  FinishOnDrop& operator=(const FinishOnDrop&) = delete;
  ~FinishOnDrop() { Pending->Finish(); }

  std::shared_ptr<Call> Pending;
};

}  // namespace

void Call::Finish() {
  {
    std::lock_guard lock(Shared->Mutex);
    Done = true;
    Running = false;
  }
  Shared->Changed.notify_all();
}

std::shared_ptr<GuiReportSink> GuiReportSink::Create(QObject* owner, Handler handler) {
  auto state = std::make_shared<State>();
  state->Owner = owner;
  state->OwnerThread = owner->thread();
  state->Handle = std::move(handler);
  std::weak_ptr<State> weak = state;
  state->OwnerGone = QObject::connect(owner, &QObject::destroyed, [weak] {
    if (auto alive = weak.lock()) {
      alive->Close();
    }
  });
  return std::shared_ptr<GuiReportSink>(new GuiReportSink(std::move(state)));
}

GuiReportSink::GuiReportSink(std::shared_ptr<State> state) : Shared(std::move(state)) {}

GuiReportSink::~GuiReportSink() {
  // The last share may be dropped on a worker's thread; the connection is
  // only a handle and may be cut from any thread.
  QObject::disconnect(Shared->OwnerGone);
  Shared->Close();
}

void GuiReportSink::OnReport(const WorkerReport& report) {
  // Both set once at creation, before any worker runs; the owner itself is
  // touched only while the sink is open, which it is only while it lives.
  QObject* owner = Shared->Owner;
  if (QThread::currentThread() == Shared->OwnerThread) {
    // Called on the GUI thread itself: waiting would wait for ourselves.
    if (IsOpen()) {
      Shared->Handle(report);
    }
    return;
  }

  auto call = std::make_shared<Call>(Shared);
  auto end = std::make_shared<FinishOnDrop>(call);
  // The report and its payload live on the worker's stack until it is
  // released, which happens only once the handler is not using them.
  const WorkerReport* pending = &report;
  std::unique_lock lock(Shared->Mutex);
  if (!Shared->Open) {
    lock.unlock();
    end.reset();
    return;
  }
  // Posted under the lock: the window closes the sink before it goes, and
  // Close takes this lock, so the owner is alive while the call is posted.
  // Qt discards the function unrun if the owner goes first, and its end
  // then finishes the call.
  const bool posted = QMetaObject::invokeMethod(
      owner,
      [end, pending] {
        Call* running = end->Pending.get();
        GuiReportSink::State& state = *running->Shared;
        {
          std::lock_guard guard(state.Mutex);
          // Open is only cleared on this thread, so it cannot change before
          // the handler starts.
          if (!state.Open) {
            return;
          }
          running->Running = true;
        }
        state.Handle(*pending);
      },
      Qt::QueuedConnection);
  // Our share of the end goes outside the lock, since ending takes it.
  lock.unlock();
  end.reset();
  if (!posted) {
    return;
  }
  lock.lock();
  Shared->Changed.wait(lock, [&] { return call->Done || (!Shared->Open && !call->Running); });
}

void GuiReportSink::Close() {
  QObject::disconnect(Shared->OwnerGone);
  Shared->Close();
}

bool GuiReportSink::IsOpen() const {
  std::lock_guard lock(Shared->Mutex);
  return Shared->Open;
}

}  // namespace tavro
