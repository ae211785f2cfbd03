// SPDX-License-Identifier: GPL-3.0-or-later
#include "accessibility.h"

#include <QAccessibleWidget>

#include "piano_key.h"
#include "volume_bar.h"

namespace ui {

namespace {

class PianoKeyAccessible : public QAccessibleWidget {
 public:
  explicit PianoKeyAccessible(PianoKey* key) : QAccessibleWidget(key, QAccessible::Button) {}

  PianoKey* key() const { return static_cast<PianoKey*>(widget()); }

  // Checked follows pressed because a checked change is the one of the two that Qt's AT-SPI
  // bridge sends an event for. AT-SPI's toggle button, whose checked state Orca speaks as
  // "pressed", is out of Qt's reach: Qt 6.4 maps every Button to a push button, checkable or not,
  // and Orca 43 speaks no state of a push button. A check box it would speak, but as "checked"
  // and as no button at all.
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = s.pressed = key()->state() != 0;
    return s;
  }
  QStringList actionNames() const override {
    return QStringList(pressAction()) + QAccessibleWidget::actionNames();
  }
  void doAction(const QString& name) override {
    if (name == pressAction())
      key()->click();
    else
      QAccessibleWidget::doAction(name);
  }
};

class VolumeBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit VolumeBarAccessible(VolumeBar* bar) : QAccessibleWidget(bar, QAccessible::ScrollBar) {}

  VolumeBar* bar() const { return static_cast<VolumeBar*>(widget()); }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return QString::number(bar()->barValue());
    return QAccessibleWidget::text(t);
  }
  QVariant currentValue() const override { return bar()->barValue(); }
  // A value set from outside counts as the user's: the piano's velocity follows it.
  void setCurrentValue(const QVariant& value) override { bar()->chooseBarValue(value.toInt()); }
  QVariant minimumValue() const override {
    return std::min(bar()->topValue(), bar()->bottomValue());
  }
  QVariant maximumValue() const override {
    return std::max(bar()->topValue(), bar()->bottomValue());
  }
  QVariant minimumStepSize() const override { return 1; }
};

QAccessibleInterface* createInterface(const QString&, QObject* object) {
  if (auto* key = qobject_cast<PianoKey*>(object)) return new PianoKeyAccessible(key);
  if (auto* bar = qobject_cast<VolumeBar*>(object)) return new VolumeBarAccessible(bar);
  return nullptr;
}

}  // namespace

void installAccessibility() {
  static const bool installed = (QAccessible::installFactory(createInterface), true);
  (void)installed;
}

void announcePressedChange(PianoKey& key) {
  if (!QAccessible::isActive()) return;
  QAccessible::State changed;
  changed.checked = changed.pressed = true;
  QAccessibleStateChangeEvent event(&key, changed);
  QAccessible::updateAccessibility(&event);
}

}  // namespace ui
