#include "ui/Fonts.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QStringList>

namespace tavro {

QString FamilyFor(const QString& face) {
  if (face == QString::fromUtf8(kFixedFace)) {
    // The family the desktop's fixed font resolves to, not an alias such as
    // "monospace", so metrics and tests see the face that draws.
    static const QString fixed =
        QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family();
    return fixed;
  }
  if (face == QString::fromUtf8(kDialogFace)) {
    static const bool hasGothic = QFontDatabase::families().contains(QStringLiteral("IPAPGothic"));
    if (hasGothic) {
      return QStringLiteral("IPAPGothic");
    }
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  }
  return face;
}

QFont TemplateFont(const QString& face, int points) {
  QFont font(FamilyFor(face));
  font.setPixelSize((points * 96 + 36) / 72);
  font.setWeight(QFont::Normal);
  return font;
}

QFont FontByCellHeight(const QString& face, int pixels) {
  QFont font(FamilyFor(face));
  font.setWeight(QFont::Normal);
  for (int size = pixels; size > 1; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).height() <= pixels) {
      break;
    }
  }
  return font;
}

}  // namespace tavro
