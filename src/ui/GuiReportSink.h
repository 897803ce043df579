// The GUI's end of a worker's report path.
//
// A worker calls OnReport on its own thread; the report is handed to the
// owner window's event loop and handled there while the worker waits, so the
// handler may read the worker's strings and the worker finds its report dealt
// with when the call returns, as a synchronous window message behaves.
//
// Reports reach the handler only while the owner window lives and the sink is
// open. The window closes its sink first thing on every way out and in its
// destructor: from then on nothing is delivered, and a worker waiting for a
// report that has not yet been handled is released at once. A worker is thus
// never left blocked by a window that has gone.
#pragma once

#include "platform/ReportSink.h"

#include <QObject>

#include <functional>
#include <memory>

namespace tavro {

class GuiReportSink final : public IReportSink {
public:
  using Handler = std::function<void(const WorkerReport&)>;

  // `owner` must live on the GUI thread; the handler runs there. The sink is
  // closed when the owner is destroyed, but a window should close it itself
  // before its own members go (the owner's destroyed signal comes too late
  // for a handler that uses them).
  static std::shared_ptr<GuiReportSink> Create(QObject* owner, Handler handler);
  ~GuiReportSink() override;

  void OnReport(const WorkerReport& report) override;

  // Stops delivery and releases every waiting worker. Idempotent; GUI thread.
  void Close();
  bool IsOpen() const;

  struct State;  // shared with the reports in flight; opaque

private:
  explicit GuiReportSink(std::shared_ptr<State> state);
  std::shared_ptr<State> Shared;
};

}  // namespace tavro
