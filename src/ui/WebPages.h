// The web pages Tavro opens in the user's browser, and the one way it opens
// them.
//
// Both sites are fixed when the program is built (the CMake cache variables
// TAVRO_PROJECT_SITE and TAVRO_MAKER_SITE), so whoever ships Tavro names
// their own pages without touching the code. Left empty, as in a plain build,
// both commands open the user guide installed with the program: they lead to
// something real on every machine, also one without a network.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

namespace tavro {

// The project's home page; empty where none was configured.
extern const char* const kProjectSite;
// The maker's site, whose page at kHelpPath is the online help; empty where
// none was configured.
extern const char* const kMakerSite;
inline constexpr const char* kHelpPath = "/tavro";
// The user guide made from the README when Tavro is built.
inline constexpr const char* kUserGuideName = "userguide.html";

// The page at `path` on `site`, or the user guide where `site` is empty. A
// site may be written with or without its scheme and trailing slash.
QUrl PageOrUserGuide(const QString& site, const QString& path = {});

QUrl ProjectPageUrl();  // the project's home page
QUrl HelpPageUrl();     // the online help

// The installed user guide: next to the executable in a build tree, else in
// the data folder beside the executable's folder, else where the build was
// configured to install it.
QUrl UserGuideUrl();

class WebPages {
public:
  // Opens the page in the user's web browser. Nothing is reported when that
  // fails: the command that asked has nothing better to offer.
  static void Open(const QUrl& url);

  // Test seam: while on, no browser is started; each page asked for is kept.
  static void RecordInstead(bool on);
  static QList<QUrl> TakeOpened();
};

}  // namespace tavro
