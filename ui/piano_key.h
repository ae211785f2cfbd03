// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One key of the keyboard: draws raised (state 0) or pressed in (state 1). The widget never
// changes its own state; it reports mouse presses and releases and the engine decides.

#include <QWidget>

class QEvent;

namespace ui {

// Whether event shows every mouse button up: a move or release with no button down, the first
// button of a press, or an enter or key event while Qt knows of no button down (an enter event
// carries no buttons of its own). A double click does not count: its press came just before.
bool showsMouseButtonsUp(const QEvent& event);

class PianoKey : public QWidget {
  Q_OBJECT
 public:
  PianoKey(int index, const QString& caption, bool black, QWidget* parent);

  int index() const { return m_index; }
  bool isBlack() const { return m_black; }
  int state() const { return m_state; }
  void setState(int state);
  // Plays the key as a short mouse click does (clickPressed, then released a moment later): the
  // press action of assistive technology.
  void click();

  static QColor faceColor(bool black, bool pressed);
  static QColor captionColor(bool black);

 signals:
  void pressed(int index);  // by the mouse
  void released(int index);
  // By click(): its own released() ends it, and no mouse or key event meanwhile.
  void clickPressed(int index);

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;

 private:
  int m_index;
  QString m_caption;
  bool m_black;
  int m_state = 0;
};

}  // namespace ui
