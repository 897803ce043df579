#include "ui/DialogBuilder.h"

#include "ui/Fonts.h"
#include "ui/Icons.h"
#include "ui/ResourceIds.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cmath>

namespace tavro {
namespace {

int Scale(int units, int base, int divisor) {
  // Rounded to the nearest pixel, halves away from zero, as the platform's
  // MulDiv does when it maps dialog units.
  return int(std::lround(double(units) * base / divisor));
}

// An accessible name read from a label: "サーバー名", not "&Server :" nor
// "サーバー名(&S)": the access key is the reader's to announce, not the name's.
QString NameFromLabel(QString text) {
  static const QRegularExpression accessKey(QStringLiteral("\\(&[^&]\\)"));
  text.remove(accessKey);
  text.remove(u'&');
  text = text.trimmed();
  while (text.endsWith(u':') || text.endsWith(u'：')) {
    text.chop(1);
    text = text.trimmed();
  }
  return text;
}

Qt::Alignment TextAlignment(const ControlSpec& row) {
  if (row.Has("center")) {
    return Qt::AlignHCenter;
  }
  return row.Has("right") ? Qt::AlignRight : Qt::AlignLeft;
}

void ApplyFrame(QFrame* frame, const ControlSpec& row) {
  if (!row.Has("border")) {
    frame->setFrameShape(QFrame::NoFrame);
  }
}

void ApplyScrollBars(QAbstractScrollArea* area, const ControlSpec& row) {
  area->setVerticalScrollBarPolicy(row.Has("vscroll") ? Qt::ScrollBarAsNeeded
                                                      : Qt::ScrollBarAlwaysOff);
  area->setHorizontalScrollBarPolicy(row.Has("hscroll") ? Qt::ScrollBarAsNeeded
                                                        : Qt::ScrollBarAlwaysOff);
}

QAbstractItemView::SelectionMode SelectionMode(const ControlSpec& row) {
  if (row.Has("extendedsel")) {
    return QAbstractItemView::ExtendedSelection;
  }
  return row.Has("multisel") ? QAbstractItemView::MultiSelection
                             : QAbstractItemView::SingleSelection;
}

// Without a handler of its own a dialog still closes on OK and Cancel.
CommandHandler CloseOnOkAndCancel(QWidget* window) {
  return [window](int id) {
    if (auto* box = qobject_cast<QDialog*>(window); box && (id == IDOK || id == IDCANCEL)) {
      id == IDOK ? box->accept() : box->reject();
    }
  };
}

Qt::WindowFlags WindowFlagsOf(const DialogTemplate& dialog) {
  Qt::WindowFlags flags = dialog.Has("appwindow") ? Qt::Window : Qt::Dialog;
  flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (dialog.Has("sysmenu")) {
    flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  }
  if (dialog.Has("minimizebox")) {
    flags |= Qt::WindowMinimizeButtonHint;
  }
  if (dialog.Has("maximizebox")) {
    flags |= Qt::WindowMaximizeButtonHint;
  }
  return flags;
}

// The template's height is that of the opened list; the closed box is as
// high as its font needs.
void FitClosedComboBox(QComboBox* combo, const QFont& font) {
  const int closed = combo->sizeHint().height();
  const int listPixels = combo->height() - closed;
  combo->setMaxVisibleItems(std::max(1, listPixels / QFontMetrics(font).height()));
  combo->resize(combo->width(), closed);
}

// The styles every kind of control takes.
void ApplyCommonStyles(QWidget* widget, const ControlSpec& row) {
  if (row.Has("tabstop")) {
    widget->setFocusPolicy(Qt::StrongFocus);
  } else if (row.Has("notabstop") && widget->focusPolicy() != Qt::NoFocus) {
    widget->setFocusPolicy(Qt::ClickFocus);
  }
  widget->setEnabled(!row.Has("disabled"));
  widget->setVisible(!row.Has("hidden"));
  if (row.Values.contains("name")) {
    widget->setAccessibleName(row.Value("name"));
  }
}

QLabel* MakeLabel(const ControlSpec& row, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(row.Text);
  label->setAlignment(TextAlignment(row) | Qt::AlignTop);
  label->setWordWrap(!row.Has("nowrap"));
  if (row.Has("sunken")) {
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  }
  if (row.Values.contains("for")) {
    label->setProperty("tavroLabelFor", row.Value("for"));
  }
  return label;
}

QLabel* MakeIconPicture(const ControlSpec& row, QWidget* parent) {
  auto* label = new QLabel(parent);
  // An icon picture shows at the standard icon size, not the template's.
  label->setPixmap(LoadIconResource(row.Value("icon").toInt()).pixmap(32, 32));
  label->setFixedSize(32, 32);
  return label;
}

QPlainTextEdit* MakeMultiLineEdit(const ControlSpec& row, QWidget* parent) {
  auto* edit = new QPlainTextEdit(parent);
  edit->setPlainText(row.Text);
  edit->setReadOnly(row.Has("readonly"));
  edit->setLineWrapMode(row.Has("autohscroll") ? QPlainTextEdit::NoWrap
                                               : QPlainTextEdit::WidgetWidth);
  ApplyFrame(edit, row);
  ApplyScrollBars(edit, row);
  return edit;
}

QLineEdit* MakeLineEdit(const ControlSpec& row, QWidget* parent) {
  auto* edit = new QLineEdit(row.Text, parent);
  edit->setReadOnly(row.Has("readonly"));
  edit->setAlignment(TextAlignment(row) | Qt::AlignVCenter);
  edit->setFrame(row.Has("border"));
  if (row.Has("password")) {
    edit->setEchoMode(QLineEdit::Password);
  }
  if (row.Has("number")) {
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  return edit;
}

QPushButton* MakePushButton(const ControlSpec& row, QWidget* parent) {
  auto* button = new QPushButton(parent);
  if (row.Values.contains("icon")) {
    // A picture button: the template text only names it.
    button->setIcon(LoadIconResource(row.Value("icon").toInt()));
    button->setAccessibleName(row.Text);
    button->setToolTip(row.Text);
  } else {
    button->setText(row.Text);
  }
  button->setDefault(row.Kind == ControlKind::DefaultButton);
  return button;
}

QListWidget* MakeListBox(const ControlSpec& row, QWidget* parent) {
  auto* list = new QListWidget(parent);
  list->setSortingEnabled(row.Has("sort"));
  list->setSelectionMode(SelectionMode(row));
  list->setUniformItemSizes(true);
  ApplyFrame(list, row);
  ApplyScrollBars(list, row);
  return list;
}

// A list view in list mode: names flowing down, then across.
QListWidget* MakeFlowingList(const ControlSpec& row, QWidget* parent) {
  auto* list = new QListWidget(parent);
  list->setViewMode(QListView::ListMode);
  list->setFlow(QListView::TopToBottom);
  list->setWrapping(true);
  list->setSelectionMode(SelectionMode(row));
  ApplyFrame(list, row);
  return list;
}

// A list view in report mode: rows with columns.
QTreeWidget* MakeRowsView(const ControlSpec& row, QWidget* parent) {
  auto* rows = new QTreeWidget(parent);
  rows->setRootIsDecorated(false);
  rows->setItemsExpandable(false);
  rows->setUniformRowHeights(true);
  rows->setAllColumnsShowFocus(true);
  rows->setSelectionMode(SelectionMode(row));
  rows->header()->setStretchLastSection(false);
  ApplyFrame(rows, row);
  return rows;
}

}  // namespace

DialogBaseUnits DialogBaseUnits::Of(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // The average of 52 widths, rounded the way the platform computes it.
  return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect DialogBaseUnits::ToPixels(const QRect& units) const {
  return {Scale(units.x(), X, 4), Scale(units.y(), Y, 8), Scale(units.width(), X, 4),
          Scale(units.height(), Y, 8)};
}

QSize DialogBaseUnits::ToPixels(const QSize& units) const {
  return {Scale(units.width(), X, 4), Scale(units.height(), Y, 8)};
}

void DialogBuilder::Build(QWidget* window, int templateId, CommandHandler onCommand) {
  Build(window, LoadDialogTemplate(templateId), std::move(onCommand));
}

void DialogBuilder::Build(QWidget* window, const DialogTemplate& dialog, CommandHandler onCommand) {
  Dialog = dialog;
  Controls.clear();
  MenuItems.clear();
  OnCommand = onCommand ? std::move(onCommand) : CloseOnOkAndCancel(window);

  const QFont font = TemplateFont(dialog.FontFace, dialog.FontPoints);
  window->setFont(font);
  Base = DialogBaseUnits::Of(font);
  window->setWindowTitle(dialog.Caption);
  window->setWindowFlags(WindowFlagsOf(dialog));

  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  if (!dialog.Has("thickframe")) {
    layout->setSizeConstraint(QLayout::SetFixedSize);
  }
  if (dialog.MenuId != 0) {
    Bar = new QMenuBar(window);
    // The bar belongs to the window as the layout has it, also where the
    // desktop would move it to the screen's top edge.
    Bar->setNativeMenuBar(false);
    AddMenuEntries(Bar, LoadMenuTable(dialog.MenuId).Entries, MenuItems, OnCommand);
    layout->setMenuBar(Bar);
  }
  ClientArea = new QWidget(window);
  ClientArea->setFixedSize(Base.ToPixels(dialog.Units));
  layout->addWidget(ClientArea);

  MakeControls(font);
  BindLabels();
}

void DialogBuilder::MakeControls(const QFont& font) {
  QList<QWidget*> order;
  QList<QGroupBox*> frames;
  QButtonGroup* radios = nullptr;
  ControlKind previous = ControlKind::Static;
  for (const ControlSpec& row : Dialog.Controls) {
    QWidget* widget = MakeControl(row);
    widget->setGeometry(Base.ToPixels(row.Units));
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      FitClosedComboBox(combo, font);
    }
    if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
      if (!radios || row.Has("group") || previous != ControlKind::Radio) {
        radios = new QButtonGroup(ClientArea);
      }
      radio->setAutoExclusive(false);
      radios->addButton(radio);
    }
    previous = row.Kind;
    widget->setProperty(kControlIdProperty, row.Id);
    if (row.Id != kNoControlId) {
      widget->setObjectName(QStringLiteral("control%1").arg(row.Id));
      Controls.insert(row.Id, widget);
    }
    ApplyCommonStyles(widget, row);
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
      frames.append(frame);
    }
    if (widget->focusPolicy() & Qt::TabFocus) {
      order.append(widget);
    }
  }
  // Frames are drawn behind what they frame and never take its clicks.
  for (QGroupBox* frame : frames) {
    frame->lower();
  }
  for (qsizetype i = 1; i < order.size(); ++i) {
    QWidget::setTabOrder(order[i - 1], order[i]);
  }
}

// Labels name the field they stand for, for screen readers and Alt keys.
void DialogBuilder::BindLabels() {
  for (const ControlSpec& row : Dialog.Controls) {
    if (!row.Values.contains("for")) {
      continue;
    }
    QWidget* target = Controls.value(row.Value("for").toInt());
    if (!target) {
      qFatal("dialog %d: a label is for control %s, which it does not hold", Dialog.Id,
             qPrintable(row.Value("for")));
    }
    for (QLabel* label : ClientArea->findChildren<QLabel*>()) {
      if (label->property("tavroLabelFor").toString() == row.Value("for")) {
        label->setBuddy(target);
      }
    }
    if (target->accessibleName().isEmpty()) {
      target->setAccessibleName(NameFromLabel(row.Text));
    }
  }
}

QWidget* DialogBuilder::MakeControl(const ControlSpec& row) {
  QWidget* parent = ClientArea;
  // The handler is copied so a control never calls back into a builder that
  // has gone before it.
  auto command = [handler = OnCommand, id = row.Id] {
    if (id != kNoControlId && handler) {
      handler(id);
    }
  };
  switch (row.Kind) {
    case ControlKind::Static:
      return MakeLabel(row, parent);
    case ControlKind::Icon:
      return MakeIconPicture(row, parent);
    case ControlKind::Edit:
      if (row.Has("multiline")) {
        return MakeMultiLineEdit(row, parent);
      }
      return MakeLineEdit(row, parent);
    case ControlKind::Button:
    case ControlKind::DefaultButton: {
      QPushButton* button = MakePushButton(row, parent);
      QObject::connect(button, &QPushButton::clicked, button, command);
      return button;
    }
    case ControlKind::CheckBox: {
      auto* box = new QCheckBox(row.Text, parent);
      QObject::connect(box, &QCheckBox::clicked, box, command);
      return box;
    }
    case ControlKind::Radio: {
      auto* radio = new QRadioButton(row.Text, parent);
      QObject::connect(radio, &QRadioButton::clicked, radio, command);
      return radio;
    }
    case ControlKind::GroupBox: {
      auto* frame = new QGroupBox(row.Text, parent);
      frame->setAttribute(Qt::WA_TransparentForMouseEvents);
      frame->setFocusPolicy(Qt::NoFocus);
      return frame;
    }
    case ControlKind::ComboBox: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(false);
      return combo;
    }
    case ControlKind::ListBox:
      return MakeListBox(row, parent);
    case ControlKind::ListView:
      if (row.Has("list")) {
        return MakeFlowingList(row, parent);
      }
      return MakeRowsView(row, parent);
  }
  return new QWidget(parent);
}

void AddMenuEntries(QWidget* menu, const QList<MenuEntry>& entries, QHash<int, QAction*>& items,
                    const CommandHandler& onCommand) {
  for (const MenuEntry& entry : entries) {
    QAction* action = nullptr;
    switch (entry.Kind) {
      case MenuEntry::Type::Separator:
        action = new QAction(menu);
        action->setSeparator(true);
        menu->addAction(action);
        continue;
      case MenuEntry::Type::Popup: {
        auto* popup = new QMenu(entry.Text, menu);
        AddMenuEntries(popup, entry.Children, items, onCommand);
        menu->addAction(popup->menuAction());
        continue;
      }
      case MenuEntry::Type::Item:
        action = new QAction(entry.Text, menu);
        action->setData(entry.Command);
        QObject::connect(action, &QAction::triggered, menu, [onCommand, id = entry.Command] {
          if (onCommand) {
            onCommand(id);
          }
        });
        menu->addAction(action);
        items.insert(entry.Command, action);
        break;
    }
  }
}

QMenu* BuildPopupMenu(QWidget* owner, const QList<MenuEntry>& entries, QHash<int, QAction*>& items,
                      const CommandHandler& onCommand) {
  auto* menu = new QMenu(owner);
  AddMenuEntries(menu, entries, items, onCommand);
  return menu;
}

}  // namespace tavro
