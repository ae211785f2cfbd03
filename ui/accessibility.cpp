// SPDX-License-Identifier: GPL-3.0-or-later
#include "accessibility.h"

#include <QAccessibleWidget>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include "piano_key.h"
#include "volume_bar.h"

namespace ui {

namespace {

class PianoKeyAccessible : public QAccessibleWidget {
 public:
  explicit PianoKeyAccessible(PianoKey* key) : QAccessibleWidget(key, QAccessible::Button) {}

  PianoKey* key() const { return static_cast<PianoKey*>(widget()); }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.pressed = key()->state() != 0;
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

// Qt's AT-SPI bridge (6.4, and the newer ones read) passes a state change on only for "checked",
// "active", "disabled" and "focused": a key's "pressed" never reaches a screen reader, and one
// that keeps the states it was told of (Orca does) would go on reading a key as it was. So the
// signal goes out here, on the bridge's own connection to the accessibility bus (QtGui names it
// "a11y") and for the object path that the bridge gives the interface, so that it comes from the
// same application and object as the rest of the tree. Without that connection (no assistive
// technology listens) nothing is sent.
void sendAtSpiPressed(QAccessibleInterface* iface, bool pressed) {
  QDBusConnection bus(QStringLiteral("a11y"));
  if (!bus.isConnected()) return;
  QDBusMessage signal = QDBusMessage::createSignal(
      QStringLiteral("/org/a11y/atspi/accessible/%1").arg(QAccessible::uniqueId(iface)),
      QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("StateChanged"));
  signal << QStringLiteral("pressed") << int(pressed) << 0 << QVariant::fromValue(QDBusVariant(0))
         << QVariantMap();
  bus.send(signal);
}

}  // namespace

void installAccessibility() {
  static const bool installed = (QAccessible::installFactory(createInterface), true);
  (void)installed;
}

void announcePressedChange(PianoKey& key) {
  if (!QAccessible::isActive()) return;
  QAccessible::State changed;
  changed.pressed = true;
  QAccessibleStateChangeEvent event(&key, changed);
  QAccessible::updateAccessibility(&event);
  if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&key))
    sendAtSpiPressed(iface, iface->state().pressed);
}

}  // namespace ui
