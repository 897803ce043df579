#include "ui/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace tavro {

bool InstallJapaneseTexts(QCoreApplication& application) {
  // Every window of the program is Japanese, whatever the desktop's language:
  // the locale decides the MIME type comments and number formats, the
  // catalogue Qt's own buttons and dialogs.
  const QLocale japanese(QLocale::Japanese, QLocale::Japan);
  QLocale::setDefault(japanese);
  // Owned by the application, so it lives as long as the texts are looked up.
  auto* translator = new QTranslator(&application);
  if (!translator->load(japanese, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

}  // namespace tavro
