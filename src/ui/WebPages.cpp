#include "ui/WebPages.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

namespace tavro {

// Set per build by CMake; see the top of WebPages.h.
const char* const kProjectSite = TAVRO_PROJECT_SITE;
const char* const kMakerSite = TAVRO_MAKER_SITE;

namespace {

struct Recorder {
  bool On = false;
  QList<QUrl> Opened;
};

Recorder& Seam() {
  static Recorder seam;
  return seam;
}

}  // namespace

QUrl PageOrUserGuide(const QString& site, const QString& path) {
  QString base = site.trimmed();
  while (base.endsWith(u'/')) {
    base.chop(1);
  }
  if (base.isEmpty()) {
    return UserGuideUrl();
  }
  // "example.org" is taken as the web address the user means.
  return QUrl::fromUserInput(base + path);
}

QUrl ProjectPageUrl() {
  return PageOrUserGuide(QString::fromUtf8(kProjectSite));
}

QUrl HelpPageUrl() {
  return PageOrUserGuide(QString::fromUtf8(kMakerSite), QString::fromUtf8(kHelpPath));
}

QUrl UserGuideUrl() {
  const QDir programDir(QCoreApplication::applicationDirPath());
  const QStringList candidates = {
      programDir.filePath(kUserGuideName),
      programDir.filePath(QStringLiteral("../share/tavro/") + kUserGuideName),
      QStringLiteral(TAVRO_INSTALLED_USER_GUIDE),
  };
  for (const QString& path : candidates) {
    if (QFileInfo(path).isFile()) {
      return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    }
  }
  // Not installed at all: still the place an installation puts it.
  return QUrl::fromLocalFile(candidates.constLast());
}

void WebPages::Open(const QUrl& url) {
  if (Seam().On) {
    Seam().Opened.append(url);
    return;
  }
  QDesktopServices::openUrl(url);
}

void WebPages::RecordInstead(bool on) {
  Seam().On = on;
  Seam().Opened.clear();
}

QList<QUrl> WebPages::TakeOpened() {
  QList<QUrl> opened;
  opened.swap(Seam().Opened);
  return opened;
}

}  // namespace tavro
