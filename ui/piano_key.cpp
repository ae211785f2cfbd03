// SPDX-License-Identifier: GPL-3.0-or-later
#include "piano_key.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include "accessibility.h"

namespace ui {

bool showsMouseButtonsUp(const QEvent& event) {
  switch (event.type()) {
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
      return static_cast<const QMouseEvent&>(event).buttons() == Qt::NoButton;
    case QEvent::MouseButtonPress: {
      const auto& press = static_cast<const QMouseEvent&>(event);
      return (press.buttons() & ~press.button()) == Qt::NoButton;
    }
    case QEvent::Enter:
    case QEvent::KeyPress:
    case QEvent::KeyRelease: return QGuiApplication::mouseButtons() == Qt::NoButton;
    default: return false;
  }
}

PianoKey::PianoKey(int index, const QString& caption, bool black, QWidget* parent)
    : QWidget(parent), m_index(index), m_caption(caption), m_black(black) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void PianoKey::setState(int state) {
  if (state == m_state) return;
  m_state = state;
  update();
  announcePressedChange(*this);
}

void PianoKey::click() {
  constexpr int kClickMs = 100;  // as long as QAbstractButton's animated click
  emit clickPressed(m_index);
  QTimer::singleShot(kClickMs, this, [this] { emit released(m_index); });
}

// Fixed colours: the keys look like a piano's under every desktop theme, dark ones included.
QColor PianoKey::faceColor(bool black, bool pressed) {
  if (black) return pressed ? QColor(0x50, 0x50, 0x50) : QColor(Qt::black);
  return pressed ? QColor(0xC8, 0xC8, 0xC8) : QColor(Qt::white);
}

QColor PianoKey::captionColor(bool black) { return black ? QColor(Qt::white) : QColor(Qt::black); }

void PianoKey::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool down = m_state != 0;
  const QRect r = rect();
  p.fillRect(r, faceColor(m_black, down));

  // A two-pixel bevel: light above and left when raised, dark there when pressed in.
  const QColor light(0xF0, 0xF0, 0xF0), shade(0x80, 0x80, 0x80), dark(Qt::black);
  const QColor topLeft = down ? dark : light, bottomRight = down ? light : dark;
  const QColor innerTopLeft = down ? shade : QColor(0xE0, 0xE0, 0xE0);
  const QColor innerBottomRight = down ? QColor(0xE0, 0xE0, 0xE0) : shade;
  auto bevel = [&](QRect b, const QColor& tl, const QColor& br) {
    p.setPen(tl);
    p.drawLine(b.topLeft(), b.topRight());
    p.drawLine(b.topLeft(), b.bottomLeft());
    p.setPen(br);
    p.drawLine(b.bottomLeft(), b.bottomRight());
    p.drawLine(b.topRight(), b.bottomRight());
  };
  bevel(r, topLeft, bottomRight);
  if (!m_black) bevel(r.adjusted(1, 1, -1, -1), innerTopLeft, innerBottomRight);

  p.setPen(captionColor(m_black));
  const QRect text = down ? r.translated(1, 1) : r;
  p.drawText(text, Qt::AlignCenter, m_caption);

  if (hasFocus()) {
    QPen pen(captionColor(m_black), 1, Qt::DotLine);
    p.setPen(pen);
    p.drawRect(r.adjusted(3, 3, -4, -4));
  }
}

// Every mouse button plays. Qt hands the release to the widget that got the press, wherever
// the pointer is by then.
void PianoKey::mousePressEvent(QMouseEvent* e) {
  e->accept();
  emit pressed(m_index);
}

void PianoKey::mouseReleaseEvent(QMouseEvent* e) {
  e->accept();
  emit released(m_index);
}

}  // namespace ui
