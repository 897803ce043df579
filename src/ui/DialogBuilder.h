// Builds a window from its dialog template and menu table.
//
// Controls are placed where the template puts them, with dialog units turned
// into pixels by the template font's metrics, so a layout drawn in dialog
// units keeps its proportions whatever font stands in for the original. Every
// control keeps its numeric id: code and tests find it with Control<T>(id).
// Menu commands and button clicks are handed to one command handler with the
// id, the way the windows were written to receive them.
#pragma once

#include "ui/DialogTemplate.h"

#include <QAction>
#include <QFont>
#include <QHash>
#include <QList>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>

namespace tavro {

using CommandHandler = std::function<void(int id)>;

// The base units of a font: horizontal = average width of the 52 letters
// A-Z a-z, vertical = the font's height. A dialog unit is a quarter of the
// first across and an eighth of the second down.
struct DialogBaseUnits {
  int X = 0;
  int Y = 0;

  static DialogBaseUnits Of(const QFont& font);
  QRect ToPixels(const QRect& units) const;
  QSize ToPixels(const QSize& units) const;
};

// Property under which each built control carries its id, so FindControl
// finds it in any widget tree.
inline constexpr const char* kControlIdProperty = "tavroControlId";

class DialogBuilder {
public:
  // Builds the compiled-in template `templateId` (and its menu) into `window`.
  void Build(QWidget* window, int templateId, CommandHandler onCommand = {});
  void Build(QWidget* window, const DialogTemplate& dialog, CommandHandler onCommand = {});

  template <class T>
  T* Control(int id) const {
    return qobject_cast<T*>(ControlWidget(id));
  }
  QWidget* ControlWidget(int id) const { return Controls.value(id); }
  // The menu bar's item with this command id, or nullptr.
  QAction* MenuItem(int commandId) const { return MenuItems.value(commandId); }
  QMenuBar* MenuBar() const { return Bar; }
  // The widget that holds the controls: the template's client area.
  QWidget* Client() const { return ClientArea; }
  DialogBaseUnits Units() const { return Base; }
  const DialogTemplate& Template() const { return Dialog; }

private:
  // The template's controls in its tab order, each with its id.
  void MakeControls(const QFont& font);
  QWidget* MakeControl(const ControlSpec& row);
  void BindLabels();

  DialogTemplate Dialog;
  DialogBaseUnits Base;
  QPointer<QWidget> ClientArea;
  QPointer<QMenuBar> Bar;
  QHash<int, QWidget*> Controls;
  QHash<int, QAction*> MenuItems;
  CommandHandler OnCommand;
};

// Appends a menu table's entries to a menu bar or popup; every item's command
// id goes to `onCommand` and into `items`.
void AddMenuEntries(QWidget* menu, const QList<MenuEntry>& entries, QHash<int, QAction*>& items,
                    const CommandHandler& onCommand);

// A popup menu owned by `owner`, built once and kept for the window's life.
QMenu* BuildPopupMenu(QWidget* owner, const QList<MenuEntry>& entries, QHash<int, QAction*>& items,
                      const CommandHandler& onCommand);

// The control with this id anywhere below `root`.
template <class T>
T* FindControl(const QWidget* root, int id) {
  for (T* widget : root->findChildren<T*>()) {
    if (widget->property(kControlIdProperty).toInt() == id) {
      return widget;
    }
  }
  return nullptr;
}

}  // namespace tavro
