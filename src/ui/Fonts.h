// The fonts the templates name, mapped onto fonts a Linux desktop has.
//
// Templates keep the face names they were drawn with, so that their dialog
// units keep meaning the same; here each name is given the nearest installed
// face: the proportional Japanese gothic for "ＭＳ Ｐゴシック" (IPAPGothic from
// fonts-ipafont-gothic where installed) and the system's fixed-pitch font for
// "FIXED SYS". Sizes are taken at 96 dots per inch, the resolution the
// layouts were made for; Qt scales the whole window on denser screens.
#pragma once

#include <QFont>
#include <QString>

namespace tavro {

inline constexpr const char* kDialogFace = "ＭＳ Ｐゴシック";
inline constexpr const char* kFixedFace = "FIXED SYS";

// A font of the given face whose em is `points` at 96 dpi, as the templates'
// font lines mean it.
QFont TemplateFont(const QString& face, int points);

// A font whose whole cell (ascent plus descent) is at most `pixels` high: what
// a positive height asks for when a font is created by cell height.
QFont FontByCellHeight(const QString& face, int pixels);

// The installed family that stands for a template's face name.
QString FamilyFor(const QString& face);

}  // namespace tavro
