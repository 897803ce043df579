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
      Channel.Deliver(WorkerReport::WithText(kWmFtpThreadMessage, 13, StatusText));
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
  // Reports from several workers at once are each handled exactly once, on
  // the GUI thread, while their workers wait.
  void HandledOnTheGuiThreadWhileTheWorkerWaits() {
    QDialog window;
    QStringList seen;
    bool elsewhere = false;
    bool workerReturned = false;
    std::vector<std::unique_ptr<Worker>> workers(8);
    auto sink = GuiReportSink::Create(&window, [&](const WorkerReport& report) {
      elsewhere = elsewhere || QThread::currentThread() != window.thread();
      seen.append(QString::fromStdString(*report.Text()));
      for (const auto& worker : workers) {
        workerReturned =
            workerReturned || (&worker->StatusText == report.Text() && worker->Returned);
      }
    });
    for (std::size_t i = 0; i < workers.size(); ++i) {
      workers[i] = std::make_unique<Worker>();
      workers[i]->Channel.Open(sink);
      workers[i]->Send("Msg: " + std::to_string(i));
    }
    for (auto& worker : workers) {
      QTRY_VERIFY(worker->Returned);
    }
    seen.sort();
    QCOMPARE(seen, QStringList({"Msg: 0", "Msg: 1", "Msg: 2", "Msg: 3", "Msg: 4", "Msg: 5",
                                "Msg: 6", "Msg: 7"}));
    QVERIFY(!elsewhere);
    QVERIFY(!workerReturned);
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
      readAfterClose = QString::fromStdString(*report.Text());
    });
    worker.Channel.Open(sink);
    worker.Send("Msg: still mine");
    QTRY_VERIFY(worker.Returned);
    QVERIFY(!workerReturnedDuringHandler);
    QCOMPARE(readAfterClose, QString("Msg: still mine"));
  }
};

QTEST_MAIN(ReportSinkTest)
#include "reportsink_test.moc"
