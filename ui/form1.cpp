// SPDX-License-Identifier: GPL-3.0-or-later
#include "form1.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>
#include <cmath>

#include "accessibility.h"
#include "core/keyboard_map.h"
#include "core/number_text.h"
#include "key_translation.h"
#include "layout.h"
#include "log.h"

namespace ui {

namespace {

// Menu captions show "&" literally: there are no access keys.
QString menuText(const std::string& caption) {
  return QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()))
      .replace('&', "&&");
}

// Qt 6.8 looks for the widget under a mouse event at the pointer's fraction of a pixel, but ends
// each widget at the left side of its last pixel column and the top of its last row: a pointer in
// the rest of those pixels (half of them on a Wayland output at scale 2) reached the key beneath
// or none. So the window's mouse events are sent again at the whole pixel they lie in. A press
// that Qt turns into a double click then comes with it: a second press of a key that is down
// plays nothing.
bool sentAgainAtItsPixel(QObject* window, QEvent& event) {
  const auto type = event.type();
  if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
      type != QEvent::MouseButtonDblClick && type != QEvent::MouseMove)
    return false;
  const auto& e = static_cast<const QMouseEvent&>(event);
  const QPointF at = e.position(), pixel(std::floor(at.x()), std::floor(at.y()));
  if (pixel == at) return false;
  const QPointF by = pixel - at;
  QMouseEvent again(type, pixel, e.scenePosition() + by, e.globalPosition() + by, e.button(),
                    e.buttons(), e.modifiers(), e.pointingDevice());
  again.setTimestamp(e.timestamp());
  QCoreApplication::sendEvent(window, &again);
  event.setAccepted(again.isAccepted());
  return true;
}

}  // namespace

Form1::Form1(midi::MidiOutService& service, QWidget* parent)
    : QMainWindow(parent), m_service(service), m_piano(service, *this) {
  installAccessibility();
  setWindowTitle(kTitle);
  buildMenus();
  buildControls();
  askServerForRealReleases();
  qApp->installEventFilter(this);  // key preview: see every key before the focused control
  // A late failure comes on a thread of the service's; it is shown on ours, after Form_Load.
  m_service.setLateFailureHandler([this](midi::MidiOutHandle handle, midi::ResultCode rc) {
    QMetaObject::invokeMethod(
        this, [this, handle, rc] { outputFailed(handle, rc); }, Qt::QueuedConnection);
  });
  m_piano.Form_Load();
}

Form1::~Form1() {
  m_service.setLateFailureHandler(nullptr);  // waits for a call in progress
  qApp->removeEventFilter(this);
  unload();
}

void Form1::outputFailed(midi::MidiOutHandle handle, midi::ResultCode rc) {
  if (m_modalDepth > 0) {  // shown once the dialog has closed, not on top of it
    m_failuresAfterDialog.emplace_back(handle, rc);
    return;
  }
  if (!m_unloaded) m_piano.midiOut_Failed(handle, rc);
}

// Runs a dialog of ours; a failure that came meanwhile is reported after it has closed.
template <class Dialog>
auto Form1::modal(Dialog&& dialog) {
  ++m_modalDepth;
  struct Closed {
    Form1* form;
    ~Closed() {
      if (--form->m_modalDepth > 0) return;
      for (const auto& [handle, rc] : std::exchange(form->m_failuresAfterDialog, {}))
        QMetaObject::invokeMethod(
            form, [f = form, h = handle, code = rc] { f->outputFailed(h, code); },
            Qt::QueuedConnection);
    }
  } closed{this};
  return dialog();
}

void Form1::buildControls() {
  m_client = new QWidget(this);
  const int dpi = logicalDpiX();
  m_client->setFixedSize(twipsToPixels(kClientWidth, dpi), twipsToPixels(kClientHeight, dpi));
  m_client->setAutoFillBackground(true);
  QPalette palette = m_client->palette();
  palette.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
  palette.setColor(QPalette::WindowText, Qt::black);
  palette.setColor(QPalette::Button, QColor(0xC0, 0xC0, 0xC0));
  palette.setColor(QPalette::ButtonText, Qt::black);
  m_client->setPalette(palette);
  setCentralWidget(m_client);
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  // Stacking, bottom up: the label, the white keys (of two neighbours the right-hand one on
  // top), the black keys, the bar.
  m_label = new QLabel("vol", m_client);
  m_label->setGeometry(toPixels(kVolumeLabel, dpi));
  m_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_label->setAutoFillBackground(true);
  m_label->setFocusPolicy(Qt::NoFocus);

  for (bool black : {false, true}) {
    for (int i = 0; i < core::kKeyCount; ++i) {
      const KeyLayout& k = kKeys[static_cast<std::size_t>(i)];
      if (k.black != black) continue;
      auto* key = new PianoKey(i, k.caption, k.black, m_client);
      key->setGeometry(toPixels(keyRect(i), dpi));
      key->raise();
      connect(key, &PianoKey::pressed, this, [this](int index) {
        m_mouseKey = static_cast<std::int16_t>(index);
        m_piano.key_MouseDown(m_mouseKey);
      });
      connect(key, &PianoKey::clickPressed, this,
              [this](int index) { m_piano.key_MouseDown(static_cast<std::int16_t>(index)); });
      connect(key, &PianoKey::released, this,
              [this](int index) { m_piano.key_MouseUp(static_cast<std::int16_t>(index)); });
      m_keys[static_cast<std::size_t>(i)] = key;
    }
  }

  m_vol = new VolumeBar(m_client);
  m_vol->setGeometry(toPixels(kVolumeBar, dpi));
  m_vol->setAccessibleName("vol");
  m_vol->setFocusPolicy(Qt::StrongFocus);  // a tab stop, like the keys
  m_vol->raise();
  connect(m_vol, &VolumeBar::changed, this, [this] { m_piano.vol_Change(); });

  // Tab order: by the table's tab index (white keys, then black keys), then the bar.
  std::vector<QWidget*> order(core::kKeyCount);
  for (int i = 0; i < core::kKeyCount; ++i)
    order[static_cast<std::size_t>(kKeys[static_cast<std::size_t>(i)].tabIndex)] = key(i);
  order.push_back(m_vol);
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
  order.front()->setFocus();
}

QAction* Form1::addMenuItem(QMenu* menu, bool visible, bool enabled, std::function<void()> choose) {
  auto* action = menu->addAction(QString());
  action->setCheckable(true);
  action->setVisible(visible);
  action->setEnabled(enabled);
  // Qt toggles a checkable item by itself; the check marks are the piano's to set.
  connect(action, &QAction::triggered, this, [action, choose = std::move(choose)](bool checked) {
    action->setChecked(!checked);
    choose();
  });
  return action;
}

void Form1::buildMenus() {
  QMenuBar* bar = menuBar();
  bar->setNativeMenuBar(false);  // the commands stay in the window on every desktop

  m_deviceMenu = bar->addMenu("Midi Device");
  ensureDeviceItems(midi::kDesignDeviceItems);
  m_deviceItems[0]->setVisible(true);
  m_deviceItems[0]->setEnabled(true);

  QMenu* channels = bar->addMenu("Channel");
  for (int i = 0; i < core::kChannelCount; ++i) {
    QAction* item = addMenuItem(channels, true, true,
                                [this, i] { m_piano.chan_Click(static_cast<std::int16_t>(i)); });
    item->setText(QString::number(i + 1));
    m_chanItems[static_cast<std::size_t>(i)] = item;
  }

  m_base = bar->addAction("Base note");
  connect(m_base, &QAction::triggered, this, [this] { m_piano.base_Click(); });
}

// ---- PianoView ----

void Form1::setKeyState(std::int16_t index, int state) {
  // Each key the program plays or lets go, from either input: with tamrels.ui.debug on, a note
  // lost on the way tells whether its press ever reached us.
  qCDebug(lcUi).nospace() << "key " << index << (state ? " down" : " up");
  if (state == 0 && index == m_mouseKey) m_mouseKey = -1;  // ended, by whichever input
  key(index)->setState(state);
}

void Form1::ensureDeviceItems(int count) {
  while (static_cast<int>(m_deviceItems.size()) < count) {
    const int index = static_cast<int>(m_deviceItems.size());
    m_deviceItems.push_back(addMenuItem(m_deviceMenu, false, false, [this, index] {
      m_piano.device_Click(static_cast<std::int16_t>(index));
    }));
  }
}

void Form1::setDeviceCaption(std::int16_t index, const std::string& caption) {
  deviceItem(index)->setText(menuText(caption));
}
void Form1::setDeviceVisible(std::int16_t index, bool visible) {
  deviceItem(index)->setVisible(visible);
}
void Form1::setDeviceEnabled(std::int16_t index, bool enabled) {
  deviceItem(index)->setEnabled(enabled);
}
void Form1::setDeviceChecked(std::int16_t index, bool checked) {
  deviceItem(index)->setChecked(checked);
}

void Form1::showMessage(const std::string& text) {
  qCDebug(lcUi).noquote() << "message box:" << QString::fromStdString(text);
  QMessageBox box(QMessageBox::NoIcon, kTitle, QString::fromStdString(text), QMessageBox::Ok, this);
  box.button(QMessageBox::Ok)->setIcon(QIcon());  // a plain box: no icon anywhere
  modal([&box] { return box.exec(); });
}

void Form1::setChannelChecked(std::int16_t index, bool checked) {
  channelItem(index)->setChecked(checked);
}

void Form1::setVolumeMinimum(std::int16_t value) { m_vol->setTopValue(value); }
void Form1::setVolumeMaximum(std::int16_t value) { m_vol->setBottomValue(value); }
void Form1::setVolumeValue(std::int16_t value) { m_vol->setBarValue(value); }
std::int16_t Form1::volumeValue() const { return static_cast<std::int16_t>(m_vol->barValue()); }

std::optional<std::string> Form1::askText(const std::string& prompt, const std::string& title,
                                          const std::string& answer) {
  bool ok = false;
  const QString text = modal([&] {
    return QInputDialog::getText(this, QString::fromStdString(title),
                                 QString::fromStdString(prompt), QLineEdit::Normal,
                                 QString::fromStdString(answer), &ok);
  });
  if (!ok) return std::nullopt;
  return text.toStdString();
}

std::string Form1::decimalSeparator() const { return locale().decimalPoint().toStdString(); }

void Form1::showBaseNote(std::int16_t baseNote) {
  for (int i = 0; i < core::kKeyCount; ++i)
    key(i)->setAccessibleName(QString("%1, %2")
                                  .arg(kKeys[static_cast<std::size_t>(i)].caption)
                                  .arg(QString::fromStdString(core::noteName(baseNote + i))));
}

// ---- events ----

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == windowHandle() && sentAgainAtItsPixel(watched, *event)) return true;
  if (m_mouseKey >= 0 && showsMouseButtonsUp(*event)) m_piano.key_MouseUp(m_mouseKey);
  const auto type = event->type();
  if (type == QEvent::KeyPress && watched == windowHandle()) {
    // QMenuBar opens drop-downs from the keyboard but does nothing when Return is pressed on a
    // command that stands on the bar itself: "Base note" could not be reached without a mouse.
    const int key = static_cast<QKeyEvent*>(event)->key();
    QAction* active = menuBar()->activeAction();
    if (active && !active->menu() && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
      QMetaObject::invokeMethod(active, &QAction::trigger, Qt::QueuedConnection);
      return true;
    }
  }
  if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || !watched->isWindowType())
    return false;
  auto* keyEvent = static_cast<QKeyEvent*>(event);
  const std::int16_t code = virtualKeyFor(*keyEvent);
  if (watched == windowHandle()) {
    if (type == QEvent::KeyPress) {
      m_piano.Form_KeyDown(code);
    } else if (core::KeyIndexForKeyCode(code) < 0 ? !keyEvent->isAutoRepeat()
                                                  : keyLetGo(*keyEvent)) {
      m_piano.Form_KeyUp(code);  // the X server is asked only about the seventeen keys
    }
  } else if (type == QEvent::KeyRelease) {
    // A key let go while one of our menus or dialogs has the keyboard: the key-up would be lost.
    const std::int16_t index = core::KeyIndexForKeyCode(code);
    if (index >= 0 && m_piano.engine().keyState(index) == 1 && keyLetGo(*keyEvent))
      m_piano.Form_KeyUp(code);
  }
  return false;  // never consumed: the focused control still gets the key
}

void Form1::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) m_piano.Form_Deactivate();
  QMainWindow::changeEvent(event);
}

void Form1::closeEvent(QCloseEvent* event) {
  unload();
  event->accept();
}

void Form1::unload() {
  if (m_unloaded) return;
  m_unloaded = true;
  m_piano.Form_Unload();
}

}  // namespace ui
