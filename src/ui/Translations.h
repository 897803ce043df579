// Qt's own texts in Japanese: the standard buttons of message boxes (はい,
// いいえ, キャンセル), the file dialogs (開く, 保存), the line edits' menus,
// and the type names the shared MIME database gives the FTP browser.
#pragma once

class QCoreApplication;

namespace tavro {

// Right after the application object is made, before any window. Loads
// qtbase_ja.qm from Qt's translations folder (Debian: qt6-translations-l10n)
// and makes Japanese the default locale. False where the catalogue could not
// be loaded; the program then runs on with Qt's English texts.
bool InstallJapaneseTexts(QCoreApplication& application);

}  // namespace tavro
