# SPDX-License-Identifier: GPL-3.0-or-later
"""The real window: its size, where the mouse plays, what the keys look like, and what a screen
reader reads of it."""

import os
import time
import unittest
from unittest import mock

from harness import E2ETestCase, note_pairs, wait_until

# (left, black) of each key in twips, from the layout table.
KEYS = [(360, False), (720, True), (840, False), (1200, True), (1320, False), (1800, False), (2160, True),
        (2280, False), (2640, True), (2760, False), (3120, True), (3240, False), (3720, False), (4080, True),
        (4200, False), (4560, True), (4680, False)]


def middle(index):
    left, black = KEYS[index]
    return (left + 127, 660) if black else (left + 247, 1800)


class Window(E2ETestCase):
    def test_title_and_client_size(self):
        self.assertEqual(self.app.width, 345 * self.app.scale)
        self.assertGreater(self.app.menu_height, 10)  # the menu bar above the client area
        self.assertIn("Tamrels Midi Piano", self.app.window_titles())

    def test_every_key_plays_its_note_with_the_mouse(self):
        self.use_monitor()
        for i in range(17):
            self.app.click(*middle(i))
        self.assertEqual(self.new_midi(34), note_pairs(range(60, 77)))

    def test_overlaps_and_dead_zones(self):
        self.use_monitor()
        self.app.click(720 + 30, 600)     # a black key over white keys 0 and 2: the black key
        self.app.click(720 + 30, 1500)    # below it: the white key
        self.app.click(840 + 5, 1800)     # the shared column: the right-hand key
        for x, y in [(1000, 2400), (300, 1000), (60, 40)]:  # under the keys, beside the bar, above the label
            self.app.click(x, y)
        self.app.click(1800 + 247, 300)   # no black key between E and F: the white key
        self.app.click(360, 1800)         # the first and the last pixel column of the keys
        self.app.click(5160, 1800)
        got = self.new_midi(12)
        self.assertEqual([m[1] for m in got], [61, 61, 60, 60, 62, 62, 65, 65, 60, 60, 76, 76])

    def test_release_goes_to_the_pressed_key_wherever_the_pointer_is(self):
        self.use_monitor()
        self.app.press(*middle(0), button=3)  # any button plays
        self.app.move(*middle(9))
        self.app.release(button=3)
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])

    def test_colours_and_a_pressed_key(self):
        white = self.app.pixel(2760 + 247, 1800)
        black = self.app.pixel(2640 + 127, 600)
        background = self.app.pixel(2000, 2500)
        self.assertEqual(white, (255, 255, 255))
        self.assertEqual(black, (0, 0, 0))
        self.assertTrue(all(150 < c < 230 for c in background), background)  # light grey
        self.app.press(2760 + 247, 1800)
        time.sleep(0.2)
        pressed = self.app.pixel(2760 + 247, 1800)
        self.app.release()
        self.assertNotEqual(pressed, white)
        time.sleep(0.2)
        self.assertEqual(self.app.pixel(2760 + 247, 1800), white)


class WindowAtQtScale2(Window):
    """The same window at Qt's own scale factor 2, on X11: twice the pixels, the same layout."""
    app_env = {"QT_SCALE_FACTOR": "2"}


def key_buttons(base):
    # Qt's AT-SPI bridge maps a Button to "push button", checkable or not: no Qt role is a toggle button.
    names = "C C# D D# E F F# G G# A A# B".split()
    return sorted(("push button", f"{c}, {names[(base + i) % 12]}{(base + i) // 12 - 1}")
                  for i, c in enumerate("ZSXDCVGBHNJM,L.;/"))


class ScreenReader(E2ETestCase):
    """The window as Orca reads it through AT-SPI (at-spi2-core, started here on the session's bus).
    With no sound server the program starts with its message box."""

    session_options = {"jack": False, "pulse": False, "bus": True}
    app_env = {"QT_ACCESSIBILITY": "1"}
    events = []  # (type, detail1, source's name) of the events listened to

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        s = cls.session
        cls.environ = mock.patch.dict(os.environ, {k: s.env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")})
        cls.environ.start()
        s.spawn("at-spi-bus-launcher", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"])
        call = lambda *args: s.run(["dbus-send", "--print-reply=literal", *args], check=False).stdout.strip()
        bus = wait_until(lambda: call("--session", "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"))
        s.spawn("at-spi2-registryd", ["/usr/libexec/at-spi2-registryd"])  # ours to stop, not the bus's
        wait_until(lambda: "true" in call(f"--bus={bus}", "--dest=org.freedesktop.DBus", "/",
                                          "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.atspi.Registry"))
        import pyatspi
        pyatspi.Registry.registerEventListener(lambda e: cls.events.append((e.type, e.detail1, e.source.name)),
                                               "object:state-changed:checked", "object:property-change:accessible-value")

    @classmethod
    def tearDownClass(cls):
        cls.environ.stop()
        super().tearDownClass()

    def wait(self, predicate, what):
        """Waits on the tree, taking AT-SPI's events in from GLib's context (no main loop runs)."""
        from gi.repository import GLib
        return wait_until(lambda: [GLib.MainContext.default().iteration(False) for _ in range(9)] and predicate(),
                          5, what=what)

    def test_keys_are_named_buttons_that_read_pressed_and_vol_reads_the_velocity(self):
        import pyatspi as at
        app, desktop = self.app, at.Registry.getDesktop(0)  # app has found the message box
        child = lambda node, role: next((c for c in node if c.getRole() == role), None)
        root = self.wait(lambda: next((a for a in desktop if a and a.name == "Tamrels Midi Piano"), None), "the app")
        box = self.wait(lambda: child(root, at.ROLE_ALERT), "the message box")
        *keys, bar = list(child(root, at.ROLE_FRAME)[1])[1:]  # stacked: the label, the keys, the bar
        names = lambda: sorted((k.getRoleName(), k.name) for k in keys)
        unnamed = lambda node: [c.getRoleName() for c in at.utils.findAllDescendants(
            node, lambda c: c.getState().contains(at.STATE_FOCUSABLE) and not c.name)]
        self.assertEqual((names(), unnamed(root)), (key_buttons(60), []))  # while the box is up
        at.utils.findDescendant(box, lambda c: c.name == "OK").queryAction().doAction(0)
        app.win = self.wait(lambda: not child(root, at.ROLE_ALERT) and app._find_window(), "the window")
        app.s.run(["xdotool", "windowactivate", "--sync", app.win])
        app.measure()

        states = lambda k: [k.getState().contains(s) for s in (at.STATE_PRESSED, at.STATE_CHECKED)]
        down = lambda: [(k.name, *states(k)) for k in keys if any(states(k))]
        app.keydown("z")
        self.wait(lambda: down() == [("Z, C4", True, True)], "Z to read pressed and checked")
        app.keyup("z")
        changes = lambda kind: [e[1:] for e in self.events if e[0] == "object:" + kind]
        self.wait(lambda: not down() and len(changes("state-changed:checked")) >= 2, "Z's release, and the events")
        self.assertEqual(changes("state-changed:checked"), [(1, "Z, C4"), (0, "Z, C4")])

        value = bar.queryValue()
        self.assertEqual((bar.name, value.minimumValue, value.maximumValue, value.currentValue), ("vol", 0, 127, 127))
        self.events.clear()
        app.click(120, 2100)  # the bar's down arrow
        self.wait(lambda: value.currentValue == 126 and changes("property-change:accessible-value"), "vol's change")

        app.open_base_note()
        dialog = self.wait(lambda: child(root, at.ROLE_DIALOG), "the Base note dialog")
        self.assertEqual((dialog.name, unnamed(dialog)), ("Base note", []))
        app.key("ctrl+a")
        app.key("4", "8", "Return", delay=30)
        self.wait(lambda: names() == key_buttons(48), "the names to follow the base note")

if __name__ == "__main__":
    unittest.main()
