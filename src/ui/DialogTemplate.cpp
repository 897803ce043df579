#include "ui/DialogTemplate.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtGlobal>

#include <algorithm>

namespace tavro {
namespace {

struct Token {
  QString Text;
  bool Quoted = false;
};

// Splits a line at blanks and tabs outside double quotes. Only ASCII blanks
// separate: a Japanese text may hold an ideographic space. Quotes may sit
// inside a token (name="two words"); a '#' that starts a token ends the line.
std::optional<QString> Tokenize(const QString& line, QList<Token>& tokens) {
  Token current;
  bool inToken = false;
  bool inQuotes = false;
  for (qsizetype i = 0; i < line.size(); ++i) {
    const QChar c = line[i];
    if (inQuotes) {
      if (c == u'"') {
        inQuotes = false;
      } else if (c == u'\\') {
        if (++i == line.size()) {
          return QStringLiteral("a backslash ends the line");
        }
        const QChar e = line[i];
        if (e == u'n') {
          current.Text += u'\n';
        } else if (e == u't') {
          current.Text += u'\t';
        } else if (e == u'"' || e == u'\\') {
          current.Text += e;
        } else {
          return QStringLiteral("unknown escape \\%1").arg(e);
        }
      } else {
        current.Text += c;
      }
      continue;
    }
    if (c == u' ' || c == u'\t' || c == u'\r') {
      if (inToken) {
        tokens.append(current);
        current = {};
        inToken = false;
      }
      continue;
    }
    if (c == u'#' && !inToken) {
      break;
    }
    inToken = true;
    if (c == u'"') {
      inQuotes = true;
      current.Quoted = true;
    } else {
      current.Text += c;
    }
  }
  if (inQuotes) {
    return QStringLiteral("a quoted text is not closed");
  }
  if (inToken) {
    tokens.append(current);
  }
  return std::nullopt;
}

std::optional<int> Number(const Token& token) {
  if (token.Quoted) {
    return std::nullopt;
  }
  bool ok = false;
  const int value = token.Text.toInt(&ok);
  return ok ? std::optional<int>(value) : std::nullopt;
}

// An id as a table gives it: a number, or NAME=NUMBER where code knows the
// number by that name (the build makes the names into a header).
struct NamedId {
  QString Name;  // empty for a bare number
  int Id = 0;
};

std::optional<NamedId> IdToken(const Token& token) {
  if (token.Quoted) {
    return std::nullopt;
  }
  static const QRegularExpression named(QStringLiteral("^([A-Za-z_][A-Za-z0-9_]*)=(.+)$"));
  const QRegularExpressionMatch match = named.match(token.Text);
  const QString number = match.hasMatch() ? match.captured(2) : token.Text;
  const auto id = Number({number, false});
  if (!id || *id <= 0) {
    return std::nullopt;
  }
  return NamedId{match.captured(1), *id};
}

std::optional<ControlKind> KindByName(const QString& name) {
  static const QHash<QString, ControlKind> kinds = {
      {"static", ControlKind::Static},
      {"icon", ControlKind::Icon},
      {"edit", ControlKind::Edit},
      {"button", ControlKind::Button},
      {"defbutton", ControlKind::DefaultButton},
      {"checkbox", ControlKind::CheckBox},
      {"radio", ControlKind::Radio},
      {"groupbox", ControlKind::GroupBox},
      {"combobox", ControlKind::ComboBox},
      {"listbox", ControlKind::ListBox},
      {"listview", ControlKind::ListView},
  };
  const auto it = kinds.constFind(name);
  return it == kinds.cend() ? std::nullopt : std::optional<ControlKind>(*it);
}

// The styles the builder understands; a misspelt one would otherwise be
// ignored without a word.
bool IsControlFlag(const QString& style) {
  static const QStringList flags = {
      "readonly",  "center",  "right",     "password",   "autohscroll",      "autovscroll",
      "multiline", "border",  "noborder",  "tabstop",    "notabstop",        "disabled",
      "hidden",    "vscroll", "hscroll",   "notify",     "nointegralheight", "sort",
      "report",    "list",    "singlesel", "editlabels", "showselalways",    "wantreturn",
      "number",    "group",   "noprefix",  "nowrap",     "sunken",           "extendedsel",
      "multisel"};
  return flags.contains(style);
}

bool IsControlKey(const QString& key) {
  return key == u"for" || key == u"icon" || key == u"name";
}

bool IsDialogStyle(const QString& style) {
  static const QStringList styles = {"sysmenu",   "minimizebox", "maximizebox", "modalframe",
                                     "appwindow", "thickframe",  "caption"};
  return styles.contains(style);
}

std::optional<QString> ParseControl(const QList<Token>& t, ControlSpec& control, QString& name) {
  if (t.size() < 8) {
    return QStringLiteral("a control needs: id kind x y width height \"text\" [styles]");
  }
  if (t[1].Text == u"-" && !t[1].Quoted) {
    control.Id = kNoControlId;
  } else if (const auto id = IdToken(t[1])) {
    control.Id = id->Id;
    name = id->Name;
  } else {
    return QStringLiteral("bad control id \"%1\"").arg(t[1].Text);
  }
  const auto kind = KindByName(t[2].Text);
  if (!kind) {
    return QStringLiteral("unknown control kind \"%1\"").arg(t[2].Text);
  }
  control.Kind = *kind;
  int box[4];
  for (int i = 0; i < 4; ++i) {
    const auto n = Number(t[3 + i]);
    if (!n || (i >= 2 && *n < 0)) {
      return QStringLiteral("bad rectangle value \"%1\"").arg(t[3 + i].Text);
    }
    box[i] = *n;
  }
  control.Units = QRect(box[0], box[1], box[2], box[3]);
  if (!t[7].Quoted) {
    return QStringLiteral("the text must be quoted (\"\" for none)");
  }
  control.Text = t[7].Text;
  for (qsizetype i = 8; i < t.size(); ++i) {
    const QString& style = t[i].Text;
    const qsizetype eq = style.indexOf(u'=');
    if (eq > 0) {
      const QString key = style.left(eq);
      if (!IsControlKey(key)) {
        return QStringLiteral("unknown style key \"%1\"").arg(key);
      }
      control.Values.insert(key, style.mid(eq + 1));
    } else if (IsControlFlag(style)) {
      control.Styles.append(style);
    } else {
      return QStringLiteral("unknown style \"%1\"").arg(style);
    }
  }
  if (control.Values.contains("icon") && !Number({control.Value("icon"), false})) {
    return QStringLiteral("icon= takes a numeric id");
  }
  if (control.Kind == ControlKind::Icon && !control.Values.contains("icon")) {
    return QStringLiteral("an icon control needs icon=ID");
  }
  return std::nullopt;
}

// What a dialog table says beside its records: the names it gives, and the
// labels whose for= may name a control further down.
struct DialogNames {
  QHash<QString, int> Ids;
  QList<int> Others;  // ids of "id" lines
  struct Reference {
    int Line = 0;
    qsizetype Control = 0;
  };
  QList<Reference> Labels;

  std::optional<QString> Add(const QString& name, int id) {
    if (name.isEmpty()) {
      return std::nullopt;
    }
    if (Ids.contains(name)) {
      return QStringLiteral("the name %1 appears twice").arg(name);
    }
    Ids.insert(name, id);
    return std::nullopt;
  }
};

std::optional<QString> ParseDialogLine(const QList<Token>& t, int line, DialogTemplate& out,
                                       DialogNames& names) {
  const QString& key = t[0].Text;
  auto needs = [&](qsizetype n) { return t.size() == n; };
  if (key == u"dialog" && needs(2) && IdToken(t[1])) {
    out.Id = IdToken(t[1])->Id;
  } else if (key == u"caption" && needs(2) && t[1].Quoted) {
    out.Caption = t[1].Text;
  } else if (key == u"size" && needs(3) && Number(t[1]) && Number(t[2])) {
    out.Units = QSize(*Number(t[1]), *Number(t[2]));
  } else if (key == u"font" && needs(3) && Number(t[1]) && t[2].Quoted) {
    out.FontPoints = *Number(t[1]);
    out.FontFace = t[2].Text;
  } else if (key == u"menu" && needs(2) && Number(t[1])) {
    out.MenuId = *Number(t[1]);
  } else if (key == u"style") {
    for (qsizetype i = 1; i < t.size(); ++i) {
      if (!IsDialogStyle(t[i].Text)) {
        return QStringLiteral("unknown dialog style \"%1\"").arg(t[i].Text);
      }
      out.Styles.append(t[i].Text);
    }
  } else if (key == u"control") {
    ControlSpec control;
    QString name;
    if (auto error = ParseControl(t, control, name)) {
      return error;
    }
    if (control.Id != kNoControlId && (out.Find(control.Id) || names.Others.contains(control.Id))) {
      return QStringLiteral("control id %1 appears twice").arg(control.Id);
    }
    if (auto error = names.Add(name, control.Id)) {
      return error;
    }
    if (control.Values.contains("for")) {
      names.Labels.append({line, out.Controls.size()});
    }
    out.Controls.append(control);
  } else if (key == u"id" && needs(2)) {
    // An id the table holds no control for: a command, or a control that
    // code makes. Only its name makes the line worth having.
    const auto id = IdToken(t[1]);
    if (!id || id->Name.isEmpty()) {
      return QStringLiteral("an id line needs NAME=NUMBER");
    }
    if (out.Find(id->Id) || names.Others.contains(id->Id)) {
      return QStringLiteral("control id %1 appears twice").arg(id->Id);
    }
    names.Others.append(id->Id);
    return names.Add(id->Name, id->Id);
  } else {
    return QStringLiteral("unknown or malformed line \"%1\"").arg(key);
  }
  return std::nullopt;
}

QString ReadResource(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    qFatal("the resource %s is not compiled in", qPrintable(path));
  }
  return QString::fromUtf8(file.readAll());
}

QList<int> IdsIn(const QString& folder, const QString& suffix) {
  QList<int> ids;
  for (const QString& name : QDir(folder).entryList({"*" + suffix}, QDir::Files)) {
    bool ok = false;
    const int id = name.chopped(suffix.size()).toInt(&ok);
    if (ok) {
      ids.append(id);
    }
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

const ControlSpec* DialogTemplate::Find(int id) const {
  for (const ControlSpec& control : Controls) {
    if (control.Id == id) {
      return &control;
    }
  }
  return nullptr;
}

std::optional<TableError> ParseDialogTemplate(const QString& text, DialogTemplate& out) {
  out = {};
  DialogNames names;
  const QStringList lines = text.split(u'\n');
  for (qsizetype n = 0; n < lines.size(); ++n) {
    QList<Token> tokens;
    if (auto error = Tokenize(lines[n], tokens)) {
      return TableError{int(n + 1), *error};
    }
    if (tokens.isEmpty()) {
      continue;
    }
    if (auto error = ParseDialogLine(tokens, int(n + 1), out, names)) {
      return TableError{int(n + 1), *error};
    }
  }
  // A label may stand above its field, so names are looked up once all are
  // known; the builder then sees numbers only.
  for (const DialogNames::Reference& label : names.Labels) {
    ControlSpec& control = out.Controls[label.Control];
    const QString target = control.Value("for");
    if (Number({target, false})) {
      continue;
    }
    if (!names.Ids.contains(target)) {
      return TableError{label.Line,
                        QStringLiteral("for=%1 names no control of this table").arg(target)};
    }
    control.Values.insert("for", QString::number(names.Ids.value(target)));
  }
  if (out.Id <= 0 || out.Units.isEmpty() || out.FontFace.isEmpty()) {
    return TableError{0, QStringLiteral("a dialog needs its id, size and font")};
  }
  return std::nullopt;
}

std::optional<TableError> ParseMenuTable(const QString& text, MenuTable& out) {
  out = {};
  QList<MenuEntry*> open;  // the popups being filled, innermost last
  auto target = [&]() -> QList<MenuEntry>& {
    return open.isEmpty() ? out.Entries : open.last()->Children;
  };
  const QStringList lines = text.split(u'\n');
  for (qsizetype n = 0; n < lines.size(); ++n) {
    QList<Token> t;
    auto fail = [&](const QString& message) { return TableError{int(n + 1), message}; };
    if (auto error = Tokenize(lines[n], t)) {
      return fail(*error);
    }
    if (t.isEmpty()) {
      continue;
    }
    const QString& key = t[0].Text;
    if (key == u"menu" && t.size() == 2 && IdToken(t[1]) && open.isEmpty()) {
      out.Id = IdToken(t[1])->Id;
    } else if (key == u"item" && t.size() == 3 && IdToken(t[1]) && t[2].Quoted) {
      target().append({MenuEntry::Type::Item, IdToken(t[1])->Id, t[2].Text, {}});
    } else if (key == u"separator" && t.size() == 1) {
      target().append({MenuEntry::Type::Separator, 0, {}, {}});
    } else if (key == u"popup" && t.size() == 2 && t[1].Quoted) {
      // Children are appended only to the innermost popup, so this pointer
      // stays valid until its "end".
      target().append({MenuEntry::Type::Popup, 0, t[1].Text, {}});
      open.append(&target().last());
    } else if (key == u"end" && t.size() == 1 && !open.isEmpty()) {
      open.removeLast();
    } else {
      return fail(QStringLiteral("unknown or malformed line \"%1\"").arg(key));
    }
  }
  if (!open.isEmpty()) {
    return TableError{0, QStringLiteral("a popup is not closed with end")};
  }
  if (out.Id <= 0) {
    return TableError{0, QStringLiteral("a menu needs its id")};
  }
  return std::nullopt;
}

DialogTemplate LoadDialogTemplate(int id) {
  const QString path = QStringLiteral(":/dialogs/%1.dlg").arg(id);
  DialogTemplate result;
  if (auto error = ParseDialogTemplate(ReadResource(path), result)) {
    qFatal("%s:%d: %s", qPrintable(path), error->Line, qPrintable(error->Message));
  }
  if (result.Id != id) {
    qFatal("%s holds dialog %d", qPrintable(path), result.Id);
  }
  return result;
}

MenuTable LoadMenuTable(int id) {
  const QString path = QStringLiteral(":/menus/%1.menu").arg(id);
  MenuTable result;
  if (auto error = ParseMenuTable(ReadResource(path), result)) {
    qFatal("%s:%d: %s", qPrintable(path), error->Line, qPrintable(error->Message));
  }
  if (result.Id != id) {
    qFatal("%s holds menu %d", qPrintable(path), result.Id);
  }
  return result;
}

QList<int> DialogTemplateIds() {
  return IdsIn(QStringLiteral(":/dialogs"), ".dlg");
}
QList<int> MenuTableIds() {
  return IdsIn(QStringLiteral(":/menus"), ".menu");
}

}  // namespace tavro
