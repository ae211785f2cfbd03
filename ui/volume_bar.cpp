// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume_bar.h"

#include <algorithm>
#include <cstdlib>

namespace ui {

VolumeBar::VolumeBar(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {
  setTracking(false);
  setSingleStep(1);
  setPageStep(1);
  applyRange();
  // QAbstractSlider tells assistive technology of each change itself. Its event carries the
  // position (0 at the top), but Qt's AT-SPI bridge sends no value with it: a screen reader reads
  // the value from the bar's own interface (accessibility.cpp), so a second event would only make
  // it read each change twice.
  connect(this, &QScrollBar::valueChanged, this, [this] {
    if (!m_setting) emit changed();
  });
}

void VolumeBar::applyRange() {
  const int value = barValue();
  m_setting = true;
  setRange(0, std::abs(m_bottom - m_top));
  m_setting = false;
  setBarValue(value);
}

void VolumeBar::setTopValue(int value) {
  m_top = value;
  applyRange();
}

void VolumeBar::setBottomValue(int value) {
  m_bottom = value;
  applyRange();
}

void VolumeBar::setBarValue(int value) {
  const int lo = std::min(m_top, m_bottom), hi = std::max(m_top, m_bottom);
  value = std::clamp(value, lo, hi);
  m_setting = true;
  setValue(std::abs(value - m_top));
  m_setting = false;
}

void VolumeBar::chooseBarValue(int value) {
  const int lo = std::min(m_top, m_bottom), hi = std::max(m_top, m_bottom);
  setValue(std::abs(std::clamp(value, lo, hi) - m_top));
}

int VolumeBar::barValue() const { return m_top <= m_bottom ? m_top + value() : m_top - value(); }

}  // namespace ui
