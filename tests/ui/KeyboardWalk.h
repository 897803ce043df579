// What a keyboard user meets in a window: the controls Tab reaches, and the
// access keys of its labels. Shared by the dialogs' tests.
#pragma once

#include "ui/DialogBuilder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMap>
#include <QRegularExpression>
#include <QtTest>

namespace tavro::test {

// The id of the control a widget belongs to (a list's inner view is the list).
inline int ControlIdOf(const QWidget* widget) {
  for (; widget != nullptr; widget = widget->parentWidget()) {
    const QVariant id = widget->property(kControlIdProperty);
    if (id.isValid()) {
      return id.toInt();
    }
  }
  return 0;
}

// Presses Tab from the control that has the focus until the focus comes
// back, and returns the ids in the order reached, the first one first.
inline QList<int> TabChain(QWidget* window) {
  window->activateWindow();
  if (!QTest::qWaitForWindowActive(window)) {
    return {-1};
  }
  QList<int> ids;
  QWidget* first = QApplication::focusWidget();
  QWidget* focus = first;
  do {
    ids.append(ControlIdOf(focus));
    QTest::keyClick(focus, Qt::Key_Tab);
    focus = QApplication::focusWidget();
  } while (focus != first && focus != nullptr && ids.size() < 50);
  return ids;
}

// The access key of a text: the letter after a single "&", or 0.
inline QChar AccessKey(const QString& text) {
  static const QRegularExpression key(QStringLiteral("(?<!&)&([^&])"));
  const auto match = key.match(text);
  return match.hasMatch() ? match.captured(1).at(0).toUpper() : QChar();
}

// Every label standing for a control must carry an access key, no key may be
// used twice in the window (buttons and check boxes counted), and Alt+key
// moves the focus to the label's control. Returns what went wrong, or empty.
inline QString CheckAccessKeys(QWidget* window, QWidget* client) {
  window->activateWindow();
  if (!QTest::qWaitForWindowActive(window)) {
    return QStringLiteral("window not active");
  }
  QMap<QChar, QString> used;
  QStringList problems;
  const auto take = [&](const QString& text) {
    const QChar key = AccessKey(text);
    if (key.isNull()) {
      return key;
    }
    if (used.contains(key)) {
      problems << QStringLiteral("%1 in \"%2\" and \"%3\"").arg(key).arg(used[key], text);
    }
    used.insert(key, text);
    return key;
  };
  for (QAbstractButton* button : client->findChildren<QAbstractButton*>()) {
    take(button->text());
  }
  for (QLabel* label : client->findChildren<QLabel*>()) {
    QWidget* field = label->buddy();
    // A label for a text that only shows (the browser's folder) has no key.
    if (field == nullptr || field->focusPolicy() == Qt::NoFocus) {
      continue;
    }
    const QChar key = take(label->text());
    if (key.isNull()) {
      problems << QStringLiteral("no access key: \"%1\"").arg(label->text());
      continue;
    }
    if (!field->isVisible() || !field->isEnabled()) {
      continue;
    }
    QTest::keyClick(window, key.toLower().toLatin1(), Qt::AltModifier);
    if (QApplication::focusWidget() != field) {
      problems << QStringLiteral("Alt+%1 of \"%2\" reached %3 instead of %4")
                      .arg(key)
                      .arg(label->text())
                      .arg(ControlIdOf(QApplication::focusWidget()))
                      .arg(ControlIdOf(field));
    }
  }
  return problems.join(QStringLiteral("; "));
}

}  // namespace tavro::test
