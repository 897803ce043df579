#include "ui/Icons.h"

#include <QDir>
#include <QHash>

namespace tavro {

QIcon LoadIconResource(int id) {
  // Icons are asked for by every window and every tray update; the files are
  // read once.
  static QHash<int, QIcon> cache;
  if (const auto it = cache.constFind(id); it != cache.cend()) {
    return *it;
  }
  QIcon icon;
  const QDir folder(QStringLiteral(":/icons"));
  for (const QString& name :
       folder.entryList({QStringLiteral("%1-*.png").arg(id)}, QDir::Files, QDir::Name)) {
    icon.addFile(folder.filePath(name));
  }
  cache.insert(id, icon);
  return icon;
}

}  // namespace tavro
