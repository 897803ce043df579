// Dialog templates and menus as text tables, the form in which every window's
// layout is kept in res/ (docs/gui.md describes the format).
//
// A table is parsed once into these plain records; DialogBuilder turns them
// into widgets. Rectangles stay in dialog units here: only the builder knows
// the font that gives them a size.
#pragma once

#include <QHash>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

namespace tavro {

// A control without an id of its own (labels, frames).
inline constexpr int kNoControlId = -1;

enum class ControlKind {
  Static,         // text label
  Icon,           // picture from an icon resource (icon=ID)
  Edit,           // single-line edit, or multi-line with the multiline style
  Button,         // push button
  DefaultButton,  // push button chosen by Enter
  CheckBox,       // automatic check box
  Radio,          // automatic radio button
  GroupBox,       // titled frame drawn behind the controls it frames
  ComboBox,       // drop-down list (not editable)
  ListBox,        // plain list of texts
  ListView,       // rows with columns (report) or a flowing list (list)
};

struct ControlSpec {
  int Id = kNoControlId;
  ControlKind Kind = ControlKind::Static;
  QRect Units;  // x, y, width, height in dialog units
  QString Text;
  QStringList Styles;              // flags such as readonly, tabstop, vscroll
  QHash<QString, QString> Values;  // key=value styles: for= (a number), icon=, name=

  bool Has(const QString& style) const { return Styles.contains(style); }
  QString Value(const QString& key) const { return Values.value(key); }
};

struct DialogTemplate {
  int Id = 0;
  QString Caption;
  QSize Units;  // client area in dialog units
  int FontPoints = 9;
  QString FontFace;
  int MenuId = 0;  // 0: no menu bar
  QStringList Styles;
  QList<ControlSpec> Controls;  // in tab order

  bool Has(const QString& style) const { return Styles.contains(style); }
  const ControlSpec* Find(int id) const;
};

struct MenuEntry {
  enum class Type { Item, Separator, Popup };
  Type Kind = Type::Item;
  int Command = 0;
  QString Text;
  QList<MenuEntry> Children;  // of a popup
};

struct MenuTable {
  int Id = 0;
  QList<MenuEntry> Entries;
};

// The reason a table did not parse, with its 1-based line.
struct TableError {
  int Line = 0;
  QString Message;
};

// Parse a table's text; on failure the error names the first bad line.
std::optional<TableError> ParseDialogTemplate(const QString& text, DialogTemplate& out);
std::optional<TableError> ParseMenuTable(const QString& text, MenuTable& out);

// The compiled-in tables res/dialogs/<id>.dlg and res/menus/<id>.menu. A table
// that is missing or does not parse is a defect of the build, so these stop
// the program with the table's name and the parser's message.
DialogTemplate LoadDialogTemplate(int id);
MenuTable LoadMenuTable(int id);

// Every id for which a table is compiled in, for the test that builds them all.
QList<int> DialogTemplateIds();
QList<int> MenuTableIds();

}  // namespace tavro
