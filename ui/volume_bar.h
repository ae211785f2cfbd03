// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A vertical scroll bar whose minimum (the top end) may be larger than its maximum, read and
// set in those numbers. QScrollBar keeps its minimum at the top and below its maximum, so the
// bar holds the distance from the top end and translates.

#include <QScrollBar>

namespace ui {

class VolumeBar : public QScrollBar {
  Q_OBJECT
 public:
  explicit VolumeBar(QWidget* parent);

  void setTopValue(int value);     // the minimum: the value at the top end
  void setBottomValue(int value);  // the maximum: the value at the bottom end
  void setBarValue(int value);     // clamped to the range like any scroll bar value
  int barValue() const;
  int topValue() const { return m_top; }
  int bottomValue() const { return m_bottom; }
  // Sets the value as the user would, from outside the bar (assistive technology): clamped like
  // setBarValue, and raises changed when the value moves.
  void chooseBarValue(int value);

 signals:
  // The user changed the value: after an arrow or track click or a key, and when a dragged
  // thumb is let go (not while it is dragged). Setting the value in code does not raise it
  // (chooseBarValue does).
  void changed();

 private:
  void applyRange();
  int m_top = 0;
  int m_bottom = 99;
  bool m_setting = false;
};

}  // namespace ui
