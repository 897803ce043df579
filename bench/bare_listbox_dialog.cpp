// The peer of the start-up benchmark: the least a Qt program can be that
// shows a dialog with one list box and a first line in it. It writes that
// line to stderr once the list shows it, as Tavro does with its first log
// line under TAVRO_LOG_TO_STDERR.
#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QDialog dialog;
  auto* layout = new QVBoxLayout(&dialog);
  auto* list = new QListWidget(&dialog);
  layout->addWidget(list);
  dialog.show();
  QTimer::singleShot(0, [list] {
    list->insertItem(0, QStringLiteral("2026-01-01 00:00:00 Msg: first line"));
    std::fprintf(stderr, "%s\n", list->item(0)->text().toUtf8().constData());
    std::fflush(stderr);
  });
  return application.exec();
}
