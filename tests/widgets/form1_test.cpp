// SPDX-License-Identifier: GPL-3.0-or-later
// The window under the offscreen platform: its layout at 96 dpi, where the mouse lands, the
// menus, key preview and the settings' controls. The piano behind it is the real one, on a
// recording MIDI service.

#include <QAccessible>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <memory>
#include <set>
#include <thread>

#include "support/recording_midi_service.h"
#include "ui/form1.h"
#include "ui/layout.h"

using testing_support::RecordingMidiService;

namespace {

std::uint32_t on(int channel, int note, int velocity) {
  return core::noteOnMessage(channel, note, velocity);
}
std::uint32_t off(int channel, int note) { return core::noteOffMessage(channel, note); }

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<RecordingMidiService> service;
  std::unique_ptr<ui::Form1> form;

  void start(std::vector<std::string> devices = {}) {
    form.reset();
    service = std::make_unique<RecordingMidiService>(std::move(devices));
    form = std::make_unique<ui::Form1>(*service);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    service->sent.clear();
    service->calls.clear();
  }
  QWidget* at(int xTwips, int yTwips) {
    return form->clientArea()->childAt(QPoint(xTwips / 15, yTwips / 15));
  }
  int keyAt(int xTwips, int yTwips) {
    auto* key = qobject_cast<ui::PianoKey*>(at(xTwips, yTwips));
    return key ? key->index() : -1;
  }
  // Runs fn, and answers the modal dialog that it opens with answer (a button or text).
  template <typename Fn, typename Answer>
  void whileModal(Fn fn, Answer answer) {
    QTimer::singleShot(0, this, [answer] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal) answer(modal);
    });
    fn();
  }

 private slots:
  void init() { start(); }
  void cleanup() { form.reset(); }

  void windowTitleAndClientSize() {
    QCOMPARE(form->logicalDpiX(), 96);
    QCOMPARE(form->windowTitle(), QString("Tamrels Midi Piano"));
    QCOMPARE(form->clientArea()->size(), QSize(ui::kClientWidth / 15, ui::kClientHeight / 15));
    QCOMPARE(form->clientArea()->mapTo(form.get(), QPoint(0, 0)).y(), form->menuBar()->height());
  }

  // The table holds twips; the window shows twips x dpi / 1440: exact at 96 dpi (15 twips a
  // pixel) and exactly double at 192. White keys follow each other sharing one 15-twip column; a
  // black key stands between two white ones, centred on the column they share, and is narrower
  // than the distance between two such columns: so keys stand left to right in index order.
  void layoutIsTheTwipsTableInOrderAt96AndDoubleAt192() {
    auto follows = [](QWidget* widget, const ui::TwipRect& r) {
      for (int twips : {r.left, r.top, r.width, r.height}) QCOMPARE(twips % 15, 0);
      const QRect at96(r.left / 15, r.top / 15, r.width / 15, r.height / 15);
      QCOMPARE(widget->geometry(), at96);
      QCOMPARE(ui::toPixels(r, 192), QRect(at96.topLeft() * 2, at96.size() * 2));
    };
    auto black = [](int i) { return ui::kKeys[static_cast<std::size_t>(i)].black; };
    for (int i = 0, white = -1; i < 17; ++i) {
      const ui::TwipRect r = ui::keyRect(i);
      follows(form->key(i), r);
      QCOMPARE(form->key(i)->isBlack(), black(i));
      if (!black(i)) {
        if (white >= 0) QCOMPARE(ui::keyRect(white).left + r.width - 15, r.left);
        white = i;
        continue;
      }
      QVERIFY(i > 0 && i < 16 && !black(i - 1) && !black(i + 1));
      QCOMPARE(2 * r.left + r.width, 2 * ui::keyRect(i + 1).left + 15);
      QVERIFY(r.width < ui::kWhiteKeyWidth - 15);
    }
    follows(form->volumeBar(), ui::kVolumeBar);
    follows(form->volumeLabel(), ui::kVolumeLabel);
    QCOMPARE(form->volumeLabel()->text(), QString("vol"));
    QCOMPARE(form->key(16)->geometry().right() + 1, form->clientArea()->width());  // filled
  }

  void mouseLandsWhereTheStackingSays() {
    QCOMPARE(keyAt(720 + 120, 600), 1);  // a black key over two white keys
    QCOMPARE(keyAt(720 + 10, 1320), 1);  // its bottom row
    QCOMPARE(keyAt(720 + 10, 1350), 0);  // below it: the white key
    QCOMPARE(keyAt(840, 1800), 2);       // the shared column belongs to the right-hand key
    QCOMPARE(keyAt(825, 1800), 0);
    QCOMPARE(keyAt(1800, 300), 5);  // no black key between C and V
    QCOMPARE(keyAt(5174, 2160), 16);
    QCOMPARE(at(60, 600), form->volumeBar());
    QCOMPARE(at(60, 2190), nullptr);   // the strip under the keys
    QCOMPARE(at(300, 1000), nullptr);  // between the bar and the first key
    QCOMPARE(at(60, 60), nullptr);     // above the label
    QCOMPARE(at(60, 150), form->volumeLabel());
    QCOMPARE(at(60, 365), form->volumeBar());  // the label's last row lies under the bar
    std::set<int> reached;                     // no key lies wholly under others
    for (int x = 0; x < form->clientArea()->width(); ++x)
      for (int y = 0; y < form->clientArea()->height(); ++y) reached.insert(keyAt(x * 15, y * 15));
    QCOMPARE(reached.size(), 18u);  // and -1

    // A pointer between whole pixels (Wayland at a scale) plays the key of the pixel it lies in:
    // a black key's last column, the last key's, a white key's bottom row; the pixel before
    // the first key plays nothing.
    for (const QPointF p :
         {QPointF(64.5, 40), QPointF(344.75, 120), QPointF(40, 144.5), QPointF(23.75, 120)}) {
      const QPointF at = form->clientArea()->mapTo(form.get(), p);
      for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent e(type, at, form->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, {});
        QCoreApplication::sendEvent(form->windowHandle(), &e);
      }
    }
    QCOMPARE(service->delivered(),
             (std::vector<std::uint32_t>{on(0, 61, 127), off(0, 61), on(0, 76, 127), off(0, 76),
                                         on(0, 60, 127), off(0, 60)}));
  }

  void anyMouseButtonPlaysUntilTheButtonIsSeenUp() {
    ui::PianoKey* z = form->key(0);
    QTest::mousePress(z, Qt::RightButton, {}, QPoint(10, 120));
    QCOMPARE(z->state(), 1);
    // Let go over another key: the key that got the press gets the release.
    QTest::mouseRelease(z, Qt::RightButton, {}, z->mapFrom(form->clientArea(), QPoint(200, 120)));
    QCOMPARE(z->state(), 0);
    QCOMPARE(service->delivered(), (std::vector<std::uint32_t>{on(0, 60, 127), off(0, 60)}));

    // A release taken by the desktop (a gesture, a pointer grab) never comes: the next event
    // that shows the button up ends the note, once. An event while it is down does not.
    ui::PianoKey* slash = form->key(16);
    const QPointF at = slash->mapTo(form.get(), QPointF(5, 5));
    for (const bool byKey : {false, true}) {
      service->sent.clear();
      if (byKey) {  // the press reaches the key, and Qt knows of no button down
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5),
                          slash->mapToGlobal(QPointF(5, 5)), Qt::LeftButton, Qt::LeftButton, {});
        QCoreApplication::sendEvent(slash, &press);
        QTest::keyClick(form->windowHandle(), Qt::Key_Shift);
      } else {
        QTest::mousePress(slash, Qt::LeftButton);
        QTest::keyClick(form->windowHandle(), Qt::Key_Shift);  // Qt knows the button is down
        QCOMPARE(slash->state(), 1);
        QMouseEvent move(QEvent::MouseMove, at, form->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         {});
        QCoreApplication::sendEvent(form->windowHandle(), &move);
      }
      QCOMPARE(slash->state(), 0);
      QTest::mouseRelease(slash, Qt::LeftButton);  // late, if at all: nothing more
      QCOMPARE(service->delivered(), (std::vector<std::uint32_t>{on(0, 76, 127), off(0, 76)}));
    }
  }

  void aClickDoesNotToggleAKeyThatTheKeyboardHolds() {
    QTest::keyPress(form->windowHandle(), Qt::Key_V);
    QCOMPARE(form->key(5)->state(), 1);
    QTest::mousePress(form->key(5), Qt::LeftButton);  // absorbed: already down
    QCOMPARE(form->key(5)->state(), 1);
    QTest::mouseRelease(form->key(5), Qt::LeftButton);
    QCOMPARE(form->key(5)->state(), 0);
    QCOMPARE(service->delivered(), (std::vector<std::uint32_t>{on(0, 65, 127), off(0, 65)}));
  }

  void pressedKeyLooksDifferent() {
    const QImage up = form->key(0)->grab().toImage();
    const QImage upBlack = form->key(1)->grab().toImage();
    QTest::mousePress(form->key(0), Qt::LeftButton);
    const QImage down = form->key(0)->grab().toImage();
    QTest::mouseRelease(form->key(0), Qt::LeftButton);
    QTest::mousePress(form->key(1), Qt::LeftButton);
    const QImage downBlack = form->key(1)->grab().toImage();
    QTest::mouseRelease(form->key(1), Qt::LeftButton);
    QCOMPARE(up.pixelColor(16, 120), QColor(Qt::white));
    QCOMPARE(upBlack.pixelColor(8, 20), QColor(Qt::black));
    QVERIFY(down.pixelColor(16, 120) != up.pixelColor(16, 120));
    QVERIFY(downBlack.pixelColor(8, 20) != upBlack.pixelColor(8, 20));
  }

  void tabOrderWalksWhiteKeysThenBlackKeysThenTheBar() {
    std::vector<QWidget*> order;  // each colour left to right, that is in index order
    for (bool black : {false, true})
      for (int i = 0; i < 17; ++i)
        if (form->key(i)->isBlack() == black) order.push_back(form->key(i));
    order.push_back(form->volumeBar());
    order.push_back(order.front());  // and round again
    QWidget* w = order.front();
    for (std::size_t i = 1; i < order.size(); ++i) {
      do w = w->nextInFocusChain();
      while (w->focusPolicy() == Qt::NoFocus);
      QCOMPARE(w, order[i]);
    }
  }

  void menuBarHasTwoMenusAndACommand() {
    const auto actions = form->menuBar()->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QString("Midi Device"));
    QCOMPARE(actions[1]->text(), QString("Channel"));
    QCOMPARE(actions[2]->text(), QString("Base note"));
    QVERIFY(actions[0]->menu() && actions[1]->menu());
    QVERIFY(!actions[2]->menu());  // runs from the bar itself
    QCOMPARE(actions[1]->menu()->actions().size(), 16);
    QCOMPARE(form->channelItem(9)->text(), QString("10"));
    QVERIFY(form->channelItem(0)->isChecked());
  }

  void deviceMenuCaptionsShowAmpersandsLiterally() {
    start({"R&B Synth", "midi-monitor:input"});
    QCOMPARE(form->deviceItem(0)->text(), QString("MIDI Mapper"));
    QCOMPARE(form->deviceItem(1)->text(), QString("R&&B Synth"));  // "&&" draws one "&"
    QVERIFY(form->deviceItem(2)->isVisible());
    QVERIFY(!form->deviceItem(3)->isVisible());
    QVERIFY(form->deviceItem(0)->isChecked());
    form->deviceItem(2)->trigger();
    QVERIFY(!form->deviceItem(0)->isChecked());
    QVERIFY(form->deviceItem(2)->isChecked());
    form->deviceItem(2)->trigger();  // re-choosing keeps the mark
    QVERIFY(form->deviceItem(2)->isChecked());
    QCOMPARE(form->piano().state().midi.deviceId, 1);
  }

  void failedOpenShowsAPlainMessageBox() {
    start({"a", "b", "c"});
    service->failOpen[2] = midi::MMSYSERR_ALLOCATED;
    QString text, title;
    bool noIcon = false;
    int buttons = 0;
    whileModal([&] { form->deviceItem(3)->trigger(); },
               [&](QWidget* modal) {
                 auto* box = qobject_cast<QMessageBox*>(modal);
                 QVERIFY(box);
                 text = box->text();
                 title = box->windowTitle();
                 noIcon = box->icon() == QMessageBox::NoIcon;
                 buttons = static_cast<int>(box->buttons().size());
                 box->accept();
               });
    QCOMPARE(text, QString("Couldn't open midi out, rc = 4"));
    QCOMPARE(title, QString("Tamrels Midi Piano"));
    QVERIFY(noIcon);
    QCOMPARE(buttons, 1);
    QVERIFY(form->deviceItem(3)->isChecked());
  }

  void lateFailureShowsOnceAfterTheOpenDialogAndOnlyForTheChosenOutput() {
    const midi::MidiOutHandle mapper = form->piano().state().midi.midiOut;
    QString shownMeanwhile;
    whileModal([&] { form->baseItem()->trigger(); },
               [&](QWidget* dialog) {
                 std::thread([&] { service->lateFailure(mapper, 68); }).join();  // the loader
                 QCoreApplication::processEvents();
                 shownMeanwhile = QApplication::activeModalWidget()->metaObject()->className();
                 qobject_cast<QInputDialog*>(dialog)->reject();
               });
    QCOMPARE(shownMeanwhile, QString("QInputDialog"));  // not on top of the dialog
    QString text;
    whileModal([] { QCoreApplication::processEvents(); },
               [&](QWidget* modal) {
                 text = qobject_cast<QMessageBox*>(modal)->text();
                 modal->close();
               });
    QCOMPARE(text, QString("Couldn't open midi out, rc = 68"));
    QCOMPARE(form->piano().state().midi.rc, 68);

    start({"a"});  // a failure of an output that is no longer chosen shows nothing
    const midi::MidiOutHandle old = form->piano().state().midi.midiOut;
    form->deviceItem(1)->trigger();
    service->lateFailure(old, 68);
    QCoreApplication::processEvents();
    QVERIFY(!QApplication::activeModalWidget());
  }

  void channelItemsCarryOneCheckMark() {
    form->channelItem(9)->trigger();
    for (int i = 0; i < 16; ++i) QCOMPARE(form->channelItem(i)->isChecked(), i == 9);
    form->channelItem(9)->trigger();
    QVERIFY(form->channelItem(9)->isChecked());
    QTest::mousePress(form->key(0), Qt::LeftButton);
    QCOMPARE(service->delivered().front() & 0xFF, 0x99u);
    QTest::mouseRelease(form->key(0), Qt::LeftButton);
  }

  void baseNoteDialogAndAccessibleNames() {
    QCOMPARE(form->key(0)->accessibleName(), QString("Z, C4"));
    QCOMPARE(form->key(15)->accessibleName(), QString(";, D#5"));
    whileModal([&] { form->baseItem()->trigger(); },
               [](QWidget* modal) {
                 auto* dialog = qobject_cast<QInputDialog*>(modal);
                 QVERIFY(dialog);
                 QCOMPARE(dialog->windowTitle(), QString("Base note"));
                 QCOMPARE(dialog->labelText(),
                          QString("Enter the new base note for the keyboard (0 - 111)"));
                 QCOMPARE(dialog->textValue(), QString("60"));
                 dialog->setTextValue("48");
                 dialog->accept();
               });
    QCOMPARE(form->piano().state().baseNote, 48);
    QCOMPARE(form->key(0)->accessibleName(), QString("Z, C3"));
    whileModal([&] { form->baseItem()->trigger(); },
               [](QWidget* modal) { qobject_cast<QInputDialog*>(modal)->reject(); });
    QCOMPARE(form->piano().state().baseNote, 48);
  }

  void volumeBarRunsFrom127AtTheTopTo0AtTheBottom() {
    ui::VolumeBar* bar = form->volumeBar();
    QCOMPARE(bar->barValue(), 127);
    QCOMPARE(bar->value(), bar->minimum());                    // the thumb at the top
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // the down arrow
    QCOMPARE(form->piano().state().volume, 126);
    bar->triggerAction(QAbstractSlider::SliderToMaximum);
    QCOMPARE(bar->barValue(), 0);
    QCOMPARE(form->piano().state().volume, 0);
    QTest::mousePress(form->key(0), Qt::LeftButton);
    QCOMPARE(service->delivered().front(), on(0, 60, 0));
    QTest::mouseRelease(form->key(0), Qt::LeftButton);
  }

  // Assistive technology presses a key as a short click, which only its own end lets go (no
  // mouse or key event meanwhile), and sets the bar's value as the user does.
  void accessiblePressPlaysAndAccessibleValueSetsTheVelocity() {
    QAccessibleInterface* z = QAccessible::queryAccessibleInterface(form->key(0));
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(form->volumeBar());
    QCOMPARE(bar->valueInterface()->currentValue().toInt(), 127);
    bar->valueInterface()->setCurrentValue(100);
    QCOMPARE(form->piano().state().volume, 100);
    z->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QTest::mouseMove(form->key(3));
    QTest::keyClick(form->windowHandle(), Qt::Key_Shift);
    QVERIFY(z->state().checkable && z->state().checked && z->state().pressed);
    // qWaitFor, not QTRY_VERIFY: Qt 6.8's QTRY_* narrow a chrono count to int inside the macro.
    QVERIFY(QTest::qWaitFor([&] { return !z->state().checked && !z->state().pressed; }));
    QCOMPARE(service->delivered(), (std::vector<std::uint32_t>{on(0, 60, 100), off(0, 60)}));
  }

  void keyPreviewPlaysWhateverHasTheFocusAndDoesNotConsume() {
    form->activateWindow();
    form->volumeBar()->setFocus();
    QVERIFY(QTest::qWaitFor([&] { return form->volumeBar()->hasFocus(); }));
    QTest::keyPress(form->windowHandle(), Qt::Key_Z);
    QCOMPARE(form->key(0)->state(), 1);
    QTest::keyRelease(form->windowHandle(), Qt::Key_Z);
    QCOMPARE(form->key(0)->state(), 0);
    QTest::keyClick(form->windowHandle(), Qt::Key_Down);  // the bar still gets its keys
    QCOMPARE(form->volumeBar()->barValue(), 126);
    QCOMPARE(form->piano().state().volume, 126);
    QTest::keyClick(form->windowHandle(), Qt::Key_Z, Qt::ShiftModifier);
    QTest::keyClick(form->windowHandle(), Qt::Key_1);
    QTest::keyClick(form->windowHandle(), Qt::Key_Space);
    QCOMPARE(service->delivered(),
             (std::vector<std::uint32_t>{on(0, 60, 127), off(0, 60), on(0, 60, 126), off(0, 60)}));
  }

  void losingTheFocusReleasesHeldKeys() {
    form->activateWindow();
    QVERIFY(QTest::qWaitFor([&] { return form->isActiveWindow(); }));
    QTest::keyPress(form->windowHandle(), Qt::Key_Z);
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitFor([&] { return !form->isActiveWindow(); }));
    QCOMPARE(form->key(0)->state(), 0);
    QCOMPARE(service->delivered(), (std::vector<std::uint32_t>{on(0, 60, 127), off(0, 60)}));
  }

  void closingSwitchesHeldNotesOffAndClosesTheOutput() {
    QTest::mousePress(form->key(4), Qt::LeftButton);
    form->close();
    QCOMPARE(service->delivered(), (std::vector<std::uint32_t>{on(0, 64, 127), off(0, 64)}));
    QCOMPARE(service->openOutputs(), 0);
  }
};

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
