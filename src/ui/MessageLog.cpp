#include "ui/MessageLog.h"
#include "platform/PosixIo.h"

#include "platform/CodePage932.h"
#include "ui/FileDialogs.h"
#include "ui/MessageBoxes.h"

#include <QFile>
#include <QStyledItemDelegate>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tavro {

const char* const MessageLog::kClearedNotice = "メッセージが200行を超えましたので削除しました。";
const char* const MessageLog::kCreateFailed = "ログファイルを作成するのに失敗しました。";

namespace {

// Draws an item without the line breaks a server reply brings: trailing ones
// are dropped, inner ones shown as a blank, so every line stays one row.
QString OneLine(QString text) {
  while (text.endsWith(u'\r') || text.endsWith(u'\n')) {
    text.chop(1);
  }
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace(u'\r', u' ');
  text.replace(u'\n', u' ');
  return text;
}

class OneLineDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QString displayText(const QVariant& value, const QLocale& /*locale*/) const override {
    // The raw text: the base class would already have turned LF into a line
    // separator.
    return OneLine(value.toString());
  }
};

std::string LineBytes(QString text) {
  while (text.endsWith(u'\r') || text.endsWith(u'\n')) {
    text.chop(1);
  }
  const QByteArray utf8 = text.toUtf8();
  if (auto bytes = cp932::FromUtf8(std::string_view(utf8.constData(), utf8.size()))) {
    return *bytes;
  }
  // A character code page 932 has no place for (a server's name in another
  // script) becomes "?", so the rest of the line is still saved.
  std::string bytes;
  for (const QChar c : text) {
    const QByteArray one = QString(c).toUtf8();
    auto converted = cp932::FromUtf8(std::string_view(one.constData(), one.size()));
    bytes += converted ? *converted : std::string("?");
  }
  return bytes;
}

}  // namespace

MessageLog::MessageLog(QWidget* owner, QListWidget* list)
    : Owner(owner), Box(list), Mirror(qEnvironmentVariableIsSet("TAVRO_LOG_TO_STDERR")) {
  Box->setItemDelegate(new OneLineDelegate(Box));
  QObject::connect(Box, &QListWidget::itemDoubleClicked, Box, [this] { ShowSelected(); });
}

void MessageLog::AddMessage(const QString& text) {
  const QDateTime now = Now();
  if (Box->count() > kMaxItemsBeforeClearing) {
    Box->clear();
    Box->insertItem(0, QString::fromUtf8(kClearedNotice));
  }
  const QString line = now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + text;
  auto* item = new QListWidgetItem(line);
  // A screen reader reads the row as it is drawn, without the reply's breaks.
  item->setData(Qt::AccessibleTextRole, OneLine(line));
  Box->insertItem(0, item);
  if (Mirror) {
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
  }
}

void MessageLog::ShowSelected() {
  const int row = Box->currentRow();
  if (row < 0 || !Box->item(row)->isSelected()) {
    return;
  }
  MessageBoxes::Show(Owner, Box->item(row)->text(), MB_OK);
}

QStringList MessageLog::Items() const {
  QStringList items;
  for (int i = 0; i < Box->count(); ++i) {
    items.append(Box->item(i)->text());
  }
  return items;
}

void MessageLog::WriteLog() {
  FileDialogRequest request;
  request.Owner = Owner;
  request.InitialName = QStringLiteral("log.txt");
  request.DefaultSuffix = QStringLiteral("txt");
  request.Filters = {QStringLiteral("TXT (*.txt)")};
  request.ConfirmOverwrite = true;
  const auto path = FileDialogs::Save(request);
  if (!path) {
    return;
  }
  const QByteArray local = QFile::encodeName(*path);
  const int fd = ::open(local.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    MessageBoxes::Show(Owner, QString::fromUtf8(kCreateFailed), MB_OK);
    return;
  }
  // The count is asked anew for every line: a box shown on a write error runs
  // the event loop, during which lines may still arrive.
  for (int i = 0; i < Box->count(); ++i) {
    if (!WriteAll(fd, LineBytes(Box->item(i)->text()) + "\r\n")) {
      const int error = errno;
      const QString name = *path;
      MessageBoxes::Show(
          Owner,
          error == ENOSPC
              ? QStringLiteral("%1 へのアクセス中にディスクがいっぱいになりました。").arg(name)
              : QStringLiteral("%1 への書き込み中にエラーが発生しました。(%2)")
                    .arg(name, QString::fromLocal8Bit(std::strerror(error))),
          MB_OK | MB_ICONWARNING);
      break;
    }
  }
  ::close(fd);
}

}  // namespace tavro
