// The main window's log: timestamped lines in a list box, newest at the top.
//
// The list's items are the only storage. Past 200 items the list is emptied
// before the next line, with a notice, so it never holds more than 201. A line
// may end in a server reply's CR LF: the item keeps it, the list draws the line
// without it, and the export removes it.
#pragma once

#include <QDateTime>
#include <QListWidget>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <string_view>

namespace tavro {

class MessageLog {
public:
  static constexpr int kMaxItemsBeforeClearing = 200;
  static const char* const kClearedNotice;
  static const char* const kCreateFailed;

  // `owner` owns the boxes; `list` is its list box IDC_LOG.
  MessageLog(QWidget* owner, QListWidget* list);

  void AddMessage(const QString& text);
  void AddMessage(std::string_view utf8) { AddMessage(QString::fromUtf8(utf8)); }

  // Asks for a file and writes every item in code page 932, newest first,
  // each line without its trailing CR and LF and ended by one CR LF.
  void WriteLog();
  // The whole of the selected line in a box; nothing when none is selected.
  void ShowSelected();

  // The items' texts in list order, newest first.
  QStringList Items() const;
  QListWidget* List() const { return Box; }

  // Where the time of a line comes from; tests set a fixed clock.
  void SetClock(std::function<QDateTime()> now) { Now = std::move(now); }

private:
  QPointer<QWidget> Owner;
  QPointer<QListWidget> Box;
  std::function<QDateTime()> Now = [] { return QDateTime::currentDateTime(); };
  // With TAVRO_LOG_TO_STDERR set, every line is also written to stderr: a
  // diagnostic for running without a screen, and how the end-to-end test
  // watches the program.
  bool Mirror = false;
};

}  // namespace tavro
