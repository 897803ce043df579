// A worker's report is handled on the GUI thread while the worker waits, and
// a window that goes away never leaves a worker blocked.
#include "ui/GuiReportSink.h"

#include <QDialog>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

using namespace tavro;
using namespace std::chrono_literals;

namespace {

// A worker that sends one text report from its own thread, as the FTP and
// trace workers do, through the same channel they use.
struct Worker {
  ReportChannel Channel;
  std::string StatusText;
  std::atomic<bool> Returned{false};
  std::future<void> Done;

  void Send(std::string text) {
    StatusText = std::move(text);
    Done = std::async(std::launch::async, [this] {
      WorkerReport report;
      report.Message = kWmFtpThreadMessage;
      report.Code = 13;
      report.Text = &StatusText;
      Channel.Deliver(report);
      // The owner has dealt with the report: the worker may reuse its text.
      StatusText = "changed after the report";
      Returned = true;
    });
  }
  bool ReturnsWithin(std::chrono::seconds limit) {
    return Done.wait_for(limit) == std::future_status::ready;
  }
};

}  // namespace

class ReportSinkTest : public QObject {
  Q_OBJECT

private slots:
  void HandledOnTheGuiThreadWhileTheWorkerWaits() {
    QDialog window;
    QList<QString> seen;
    QThread* handlerThread = nullptr;
    bool workerWasWaiting = false;
    Worker worker;
    auto sink = GuiReportSink::Create(&window, [&](const WorkerReport& report) {
      handlerThread = QThread::currentThread();
      workerWasWaiting = !worker.Returned;
      seen.append(QString::fromStdString(*report.Text));
    });
    worker.Channel.Open(sink);
    for (const char* text : {"Msg: first", "Err: second"}) {
      worker.Send(text);
      QTRY_VERIFY(worker.Returned);
      worker.Returned = false;
    }
    QCOMPARE(seen, QList<QString>({"Msg: first", "Err: second"}));
    QCOMPARE(handlerThread, QThread::currentThread());
    QVERIFY(workerWasWaiting);
  }

  // The GUI thread does not run its loop, so the report stays queued; the
  // window's going must release the worker and drop the report unhandled.
  void OwnerGoingAwayReleasesAWaitingWorker_data() {
    QTest::addColumn<bool>("closeFirst");
    QTest::newRow("window closes its sink") << true;
    QTest::newRow("window only destroyed") << false;
  }
  void OwnerGoingAwayReleasesAWaitingWorker() {
    QFETCH(bool, closeFirst);
    auto* window = new QDialog;
    int handled = 0;
    auto sink = GuiReportSink::Create(window, [&](const WorkerReport&) { ++handled; });
    Worker worker;
    worker.Channel.Open(sink);
    worker.Send("Msg: pending");
    QVERIFY(!worker.ReturnsWithin(0s) || !sink->IsOpen());
    if (closeFirst) {
      sink->Close();
    }
    delete window;
    QVERIFY(worker.ReturnsWithin(10s));
    QCoreApplication::processEvents();
    QCOMPARE(handled, 0);
    QVERIFY(!sink->IsOpen());

    // After the window, a report returns at once and reaches nobody.
    worker.Send("Msg: late");
    QVERIFY(worker.ReturnsWithin(10s));
    QCOMPARE(handled, 0);
  }

  // A handler that closes the sink (an ending path run from a report) still
  // reads the worker's text after closing: the worker waits for it.
  void HandlerThatClosesTheSinkStillHoldsTheWorker() {
    QDialog window;
    Worker worker;
    std::shared_ptr<GuiReportSink> sink;
    QString readAfterClose;
    bool workerReturnedDuringHandler = true;
    sink = GuiReportSink::Create(&window, [&](const WorkerReport& report) {
      sink->Close();
      std::this_thread::sleep_for(50ms);
      workerReturnedDuringHandler = worker.Returned;
      readAfterClose = QString::fromStdString(*report.Text);
    });
    worker.Channel.Open(sink);
    worker.Send("Msg: still mine");
    QTRY_VERIFY(worker.Returned);
    QVERIFY(!workerReturnedDuringHandler);
    QCOMPARE(readAfterClose, QString("Msg: still mine"));
  }

  // Reports from several workers at once are each handled exactly once.
  void ManyWorkersEachHandledOnce() {
    QDialog window;
    std::atomic<int> handled{0};
    auto sink = GuiReportSink::Create(&window, [&](const WorkerReport&) { ++handled; });
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < 8; ++i) {
      workers.push_back(std::make_unique<Worker>());
      workers.back()->Channel.Open(sink);
      workers.back()->Send("Msg: " + std::to_string(i));
    }
    for (auto& worker : workers) {
      QTRY_VERIFY(worker->Returned);
    }
    QCOMPARE(handled.load(), 8);
  }
};

QTEST_MAIN(ReportSinkTest)
#include "reportsink_test.moc"
