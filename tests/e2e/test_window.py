# SPDX-License-Identifier: GPL-3.0-or-later
"""The real window: its size, where the mouse plays, what the keys look like, what a screen
reader reads of it, and a long run of strikes that reaches the peer whole while the machine is
busy and the JACK server hiccups."""

import os
import random
import re
import signal
import sys
import time
import unittest
from difflib import SequenceMatcher
from unittest import mock

from Xlib import X, display
from Xlib.ext import xtest

from harness import SLOW, TITLE, E2ETestCase, note_pairs, wait_until
from test_keyboard import KEY_CODES

# (left, black) of each key in twips, from the layout table.
KEYS = [(360, False), (720, True), (840, False), (1200, True), (1320, False), (1800, False), (2160, True),
        (2280, False), (2640, True), (2760, False), (3120, True), (3240, False), (3720, False), (4080, True),
        (4200, False), (4560, True), (4680, False)]


# The faces as PianoKey paints them.
RAISED_WHITE, PRESSED_WHITE, RAISED_BLACK, PRESSED_BLACK = (255, 255, 255), (200, 200, 200), (0, 0, 0), (80, 80, 80)


def middle(index):
    left, black = KEYS[index]
    return (left + 127, 660) if black else (left + 247, 1800)


def ledger(struck, got):
    """Lines up what the peer got with what was struck. The same Note Off again, while its note
    is off at the peer, is allowed; anything else is lost (struck, never got) or extra (got, never
    struck). Returns lost, extra, the notes left on at the peer and where the two first part."""
    lost, extra, first = [], [], None
    for op, i1, i2, j1, j2 in SequenceMatcher(None, struck, got, autojunk=False).get_opcodes():
        if op != "equal":
            lost += struck[i1:i2]
            extra += [(j, got[j]) for j in range(j1, j2)]
            first = first or (i1, j1)
    on, offs = set(), set()
    for j, m in enumerate(got):
        if m[0] == 0x90:
            on.add(m[1])
        elif m in offs and m[1] not in on and (j, m) in extra:
            extra.remove((j, m))
        else:
            on.discard(m[1])
            offs.add(m)
    if not lost and not extra:
        first = None
    return lost, [m for _, m in extra], on, first


# Stops the JACK server every 200 ms, for 20-40 ms or now and then 5, and prints each stop's length
# in ms. Its own process, at realtime priority: a thread of the test's oversleeps among the busy
# loops and waits for the interpreter's lock that the strikes hold, and a stop of over 100 ms is
# a stall, which rightly drops the notes it held up.
HICCUPS = """
import os, random, signal, sys, time
jackd, pause = int(sys.argv[1]), random.Random(int(sys.argv[2]))
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
due = time.monotonic()
try:
    while True:
        time.sleep(max(0.0, due - time.monotonic()))
        os.kill(jackd, signal.SIGSTOP)
        stopped = time.monotonic()
        time.sleep(0.005 if pause.random() < 0.25 else pause.uniform(0.020, 0.040))
        os.kill(jackd, signal.SIGCONT)
        print(round((time.monotonic() - stopped) * 1000), flush=True)
        due += 0.2
finally:
    os.kill(jackd, signal.SIGCONT)
"""


def names(messages):
    """Messages as the failure shows them: on60 off60 ..."""
    return " ".join(("on" if m[0] == 0x90 else "off") + str(m[1]) for m in messages)


# Qt's xcb input events, and each key the program plays and lets go, in its log: a failed case
# shows whether a press reached it.
INPUT_EVENTS = {"QT_LOGGING_RULES": "qt.qpa.input.events=true;tamrels.ui.debug=true"}
KEY_DOWN = re.compile(r"^tamrels\.ui: key \d+ down$", re.M)


class Window(E2ETestCase):
    session_options = {"jack_realtime": True}
    app_env = INPUT_EVENTS
    ledger_strikes = 1000  # about 45 s
    # "MIDI Mapper" right after every 40th release, then the peer again: at once, or once the closed
    # port has let it go, in turn
    ledger_device_change = 40

    def test_title_and_client_size(self):
        # 345 logical pixels; Qt rounds a fractional scale's half pixel
        self.assertAlmostEqual(self.app.width, 345 * self.app.scale, delta=0.5)
        self.assertGreater(self.app.menu_height, 10)  # the menu bar above the client area
        # The title as the window system reads it, of the one window that the process shows (the
        # harness found the window by its title: that alone proves nothing about it).
        self.assertEqual(self.app.own_titles(), [TITLE])

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
        # the first and the last pixel column of the keys; a black key's own first and last; the
        # last column of a white key before the one it shares
        for x, y in [(360, 1800), (5160, 1800), (720, 600), (960, 600), (825, 1800)]:
            self.app.click(x, y)
        got = self.new_midi(18)
        self.assertEqual([m[1] for m in got], [61, 61, 60, 60, 62, 62, 65, 65, 60, 60, 76, 76, 61, 61, 61, 61, 60, 60])

    def test_release_goes_to_the_pressed_key_wherever_the_pointer_is(self):
        self.use_monitor()
        self.app.press(*middle(0), button=3)  # any button plays
        self.app.move(*middle(9))
        self.app.release(button=3)
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])

    def test_colours_and_a_pressed_key(self):
        # The probes keep clear of the pointer: a compositor draws it into the output (sway 1.7
        # even keeps it while a button is held, whatever its hide_cursor says), and a probe under
        # it reads the arrow, not the key. The arrow reaches 4 px above and left of its point.
        white, black, background = (2760 + 247, 1500), (2640 + 127, 600), (2000, 2500)
        self.assertEqual(self.app.pixel(*white), RAISED_WHITE)
        self.assertEqual(self.app.pixel(*black), RAISED_BLACK)
        grey = self.app.pixel(*background)
        self.assertTrue(all(150 < c < 230 for c in grey), grey)  # light grey
        self.app.press(white[0], 2000)  # the white key with the mouse, below its probe
        self.app.keydown("h")  # the black key beside it with the keyboard
        try:
            self.assertEqual(self.face(white, PRESSED_WHITE), PRESSED_WHITE)
            self.assertEqual(self.face(black, PRESSED_BLACK), PRESSED_BLACK)
        finally:
            self.app.keyup("h")
            self.app.release()
        self.assertEqual(self.face(white, RAISED_WHITE), RAISED_WHITE)
        self.assertEqual(self.face(black, RAISED_BLACK), RAISED_BLACK)

    def mapper_and_back(self, x, at_once):
        """Chooses "MIDI Mapper" right after a release (the release's Note Off may still be in
        doubt), and the peer again: at once, while our closed port still settles, or once it has
        let the peer go. How long that took from the choice (None at once), and whether the port's
        open failed: its message box showed (it is dismissed, and the port chosen again)."""
        chosen, took = self.app.choose_at_once(0, x), None
        if not at_once:
            wait_until(lambda: not self.session.monitor_connected(), 5 * SLOW, what="the closed port to let go")
            took = time.monotonic() - chosen
        self.app.choose_at_once(self.app.port_item, x)
        wait_until(lambda: self.session.linked() or len(self.app.our_windows()) == 2, 5 * SLOW,
                   what="the connection to the peer again, or the message box")
        failed = len(self.app.our_windows()) == 2
        if failed:
            self.app.key("Return")
            self.app.wait_alone("the message box to close")
            self.app.choose_device(self.app.port_item)
            wait_until(self.session.linked, 5 * SLOW, what="the connection to the peer after a failed open")
        # A Note On struck the moment the link shows waits for the connection's first cycles, and
        # a hiccup's: more than 0.1 s of that and it is rightly dropped, with its Note Off.
        time.sleep(0.2)
        return took, failed

    def face(self, point, colour, timeout=2):
        """The colour at point once it is colour, or what it is after timeout seconds."""
        try:
            return wait_until(lambda: self.app.pixel(*point) == colour and colour, timeout, interval=0)
        except TimeoutError:
            return self.app.pixel(*point)

    def test_every_strike_reaches_the_peer_in_order_while_the_server_hiccups(self):
        # Keys and mouse at random, 10-30 ms apart, while three busy loops hold both cores and the
        # server stops every 200 ms, for 20-40 ms or now and then 5: the peer gets each message
        # struck, in order, and at most the same Note Off again; no note stays on. Where the device
        # changes, the port that closes right after a release still delivers that Note Off.
        jackd = self.session.proc("jackd")
        if all(os.sched_getscheduler(int(t)) == os.SCHED_OTHER for t in os.listdir(f"/proc/{jackd.pid}/task")):
            self.skipTest("the JACK graph cannot run at realtime priority here: under load its peer skips cycles")
        self.use_monitor()
        period = self.session.jack_period
        rng = random.Random(period)
        helpers, log = [], os.path.join(self.session.dir, "hiccups.log")
        struck, x, changes = [], display.Display(self.session.env["DISPLAY"]), []
        try:
            helpers += [self.session.spawn("busy", ["sh", "-c", "while :; do :; done"]) for _ in range(3)]
            helpers.append(self.session.spawn("hiccups", ["chrt", "-f", "20", sys.executable, "-c", HICCUPS,
                                                       str(jackd.pid), str(-period)], stdout=open(log, "wb")))
            started, log_mark = time.monotonic(), len(self.session.log("app"))
            for _ in range(self.ledger_strikes):
                key, by_mouse = rng.randrange(17), rng.random() < 0.5
                if by_mouse:  # the pointer goes to the key while no button is held
                    px, py = self.app.point(*middle(key))
                    xtest.fake_input(x, X.MotionNotify, x=px, y=py)
                for kind in ((X.ButtonPress, X.ButtonRelease) if by_mouse else (X.KeyPress, X.KeyRelease)):
                    xtest.fake_input(x, kind, 1 if by_mouse else KEY_CODES[key] + 8)
                    x.sync()
                    # Never closer: on a busy machine Xvfb loses XTest clicks less than 8 ms apart.
                    time.sleep(rng.uniform(0.010, 0.030))
                struck += note_pairs([60 + key])
                if self.ledger_device_change and len(struck) % (2 * self.ledger_device_change) == 0:
                    changes.append(self.mapper_and_back(x, at_once=len(changes) % 2 == 1))
        finally:
            for proc in helpers:
                self.session.stop_proc(proc)
            os.kill(jackd.pid, signal.SIGCONT)
            x.close()
        played = time.monotonic() - started
        with open(log) as f:
            hiccups = [int(line) for line in f]
        self.assertGreater(len(hiccups), played / 0.4, "the server stops every 200 ms")
        try:
            self.new_midi(len(struck), 3)
        except TimeoutError:
            pass  # some were lost: the ledger says which
        got = self.new_midi()
        lost, extra, on, first = ledger(struck, got)
        let_go, failed = [t for t, _ in changes if t is not None], sum(f for _, f in changes)
        opens = f"{failed} of {len(changes)} opens of the port failed"
        if changes:
            print(f"{len(changes)} device changes, the port let go of the peer within {max(let_go):.2f} s; {opens}",
                  end="; ", flush=True)
        if lost or extra or on:
            i, j = first or (len(struck), len(got))
            self.fail(f"{period} frames: {self.ledger_strikes} strikes in {played:.1f} s, {len(hiccups)} hiccups "
                      f"and {len(changes)} device changes ({opens}) "
                      f"(the longest {max(hiccups, default=0)} ms); "
                      f"the program played {len(KEY_DOWN.findall(self.session.log('app')[log_mark:]))} of "
                      f"{self.ledger_strikes} presses; {len(got)} messages got of {len(struck)}; lost "
                      f"{sum(m[0] == 0x90 for m in lost)} Note Ons, {sum(m[0] == 0x80 for m in lost)} Note Offs; "
                      f"{len(extra)} extra ({names(extra[:8])}); left on {sorted(on)}\n"
                      f"first parting at struck #{i}, got #{j}:\n"
                      f"  struck ...{names(struck[max(0, i - 4):i + 6])}...\n"
                      f"  got    ...{names(got[max(0, j - 4):j + 6])}...")
        self.assertEqual(failed, 0, opens)


class WindowAtQtScale2(Window):
    """The same window at Qt's own scale factor 2, on X11: twice the pixels, the same layout."""
    app_env = {**INPUT_EVENTS, "QT_SCALE_FACTOR": "2"}
    session_options = {"jack_realtime": True, "jack_period": 64}  # the long run at a short period
    ledger_device_change = 0


class WindowAtQtScale1_5(Window):
    """A fractional scale factor: keys whose edges fall between the screen's pixels."""
    app_env = {**INPUT_EVENTS, "QT_SCALE_FACTOR": "1.5"}
    # The long run of strikes tests the JACK output at two periods, above; not the scale again.
    test_every_strike_reaches_the_peer_in_order_while_the_server_hiccups = None


def key_buttons(base):
    # Qt's AT-SPI bridge maps a Button to a push button, checkable or not: no Qt role is a toggle
    # button. The role is compared, not its name: Debian 13 reads it as "button", Debian 12 as "push button".
    import pyatspi
    names = "C C# D D# E F F# G G# A A# B".split()
    return sorted((pyatspi.ROLE_PUSH_BUTTON, f"{c}, {names[(base + i) % 12]}{(base + i) // 12 - 1}")
                  for i, c in enumerate("ZSXDCVGBHNJM,L.;/"))


class ScreenReader(E2ETestCase):
    """The window as Orca reads it through AT-SPI (at-spi2-core, started here on the session's bus).
    With no sound server the program starts with its message box."""

    session_options = {"jack": False, "pulse": False, "bus": True}
    # Qt's cache of accessible objects logs each one it makes and deletes: a failed case shows
    # whether an object a screen reader held went away.
    app_env = {"QT_ACCESSIBILITY": "1", "QT_LOGGING_RULES": "qt.accessibility.cache=true"}
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
        """Waits on the tree, taking AT-SPI's events in from GLib's context (no main loop runs). The
        registry lists a new application late on a loaded machine: up to 15 s."""
        from gi.repository import GLib
        return wait_until(lambda: [GLib.MainContext.default().iteration(False) for _ in range(9)] and predicate(),
                          15, what=what)

    def test_keys_are_named_buttons_that_read_pressed_and_vol_reads_the_velocity(self):
        import pyatspi as at
        app, desktop = self.app, at.Registry.getDesktop(0)  # app has found the message box
        child = lambda node, role: next((c for c in node if c.getRole() == role), None)
        root = self.wait(lambda: next((a for a in desktop if a and a.name == "Tamrels Midi Piano"), None), "the app")
        box = self.wait(lambda: child(root, at.ROLE_ALERT), "the message box")
        *keys, bar = list(child(root, at.ROLE_FRAME)[1])[1:]  # stacked: the label, the keys, the bar
        names = lambda: sorted((k.getRole(), k.name) for k in keys)
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
        time.sleep(0.3)
        self.wait(lambda: True, "the events after it")
        self.assertEqual(len(changes("property-change:accessible-value")), 1, "a screen reader reads it once")

        app.open_base_note()
        dialog = self.wait(lambda: child(root, at.ROLE_DIALOG), "the Base note dialog")
        self.assertEqual((dialog.name, unnamed(dialog)), ("Base note", []))
        app.key("ctrl+a")
        app.key("4", "8", "Return", delay=30)
        self.wait(lambda: names() == key_buttons(48), "the names to follow the base note")

if __name__ == "__main__":
    unittest.main()
