# SPDX-License-Identifier: GPL-3.0-or-later
"""The computer keyboard plays the real window: every key, auto-repeat, modifiers, focus loss."""

import os
import time
import unittest

from harness import App, E2ETestCase, note_pairs, wait_until

# xdotool key names in key index order.
KEYS = ["z", "s", "x", "d", "c", "v", "g", "b", "h", "n", "j", "m", "comma", "l", "period", "semicolon", "slash"]
# The same keys as evdev codes (the X server's key codes are 8 more), whatever they type; and of
# the modifiers that must make no difference.
KEY_CODES = [44, 31, 45, 32, 46, 47, 34, 48, 35, 49, 36, 50, 51, 38, 52, 39, 53]
SHIFT, ALTGR = 42, 100
LAYOUTS = [("us", ""), ("de", ""), ("fr", ""), ("us", "dvorak")]


class KeyboardCases:
    """The cases that hold wherever the program runs: on X11 here, on Wayland in test_wayland."""

    def setUp(self):
        super().setUp()
        self.use_monitor()

    def test_all_seventeen_keys_play_their_notes(self):
        self.app.key(*KEYS, delay=30)
        self.assertEqual(self.new_midi(34), note_pairs(range(60, 77)))

    def test_the_seventeen_physical_keys_play_the_same_notes_under_every_layout(self):
        self.addCleanup(self.app.set_layout, "us")
        for layout, variant in LAYOUTS:
            self.app.set_layout(layout, variant)
            mark = len(self.session.midi())
            self.app.strike(*KEY_CODES)
            self.app.strike(KEY_CODES[0], held=[SHIFT])  # shifted and AltGr: the same key
            self.app.strike(KEY_CODES[16], held=[ALTGR])
            self.session.wait_midi(mark + 38)
            self.assertEqual(self.session.midi()[mark:], note_pairs(list(range(60, 77)) + [60, 76]),
                             f"{layout} {variant}")

    def test_modifiers_are_ignored_and_other_keys_do_nothing(self):
        self.app.key("shift+z")
        self.app.key("1", "space", "Left", "a", "Return", delay=30)
        self.app.key("ctrl+x")
        self.assertEqual(self.new_midi(4), [(0x90, 60, 127), (0x80, 60, 0), (0x90, 62, 127), (0x80, 62, 0)])

    def test_focus_moving_to_another_window_releases_the_held_key(self):
        self.app.keydown("z")
        other = None
        try:
            self.new_midi(1)
            other = self.app.open_other_window()
            self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])
        finally:
            self.app.keyup("z")  # the key-up goes to the other window
            if other:
                self.session.stop_proc(other)
        self.assertEqual(len(self.new_midi()), 2)

    def test_closing_the_window_while_a_key_is_held_switches_it_off(self):
        self.app.keydown("x")
        self.new_midi(1)
        self.app.close()
        self.app.keyup("x")
        self.assertEqual(self.new_midi(2), [(0x90, 62, 127), (0x80, 62, 0)])

    def test_being_terminated_while_a_key_is_held_switches_it_off(self):
        self.app.keydown("c")
        self.new_midi(1)
        self.app.proc.terminate()  # a logout, or kill: SIGTERM
        self.assertEqual(self.app.proc.wait(10), 0)
        self.app.keyup("c")
        self.assertEqual(self.new_midi(2), [(0x90, 64, 127), (0x80, 64, 0)])


class Keyboard(KeyboardCases, E2ETestCase):
    def test_holding_a_key_with_auto_repeat_gives_one_note_and_two_strikes_two(self):
        self.session.run(["xset", "r", "on"])
        # The premise: the server repeats a held key (else the case could not fail).
        self.assertRegex(self.session.run(["xset", "q"]).stdout, r"auto repeat:\s+on")
        self.app.keydown("z")
        time.sleep(1.5)
        self.app.keyup("z")
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])
        # The same while the program is busy (stopped): the repeats and the strikes wait in the
        # queue together, and a release with the next press right behind it is not a repeat.
        def while_stopped(count, *steps):
            """The messages that steps played while the program was stopped: count of them, and
            anything more that came in a moment."""
            mark = len(self.session.midi())
            self.session.hang(self.app.proc, self)
            try:
                for step in steps:
                    step()
            finally:
                self.session.resume(self.app.proc)
            return self.session.wait_midi(mark + count)[mark:]
        held = while_stopped(2, lambda: self.app.keydown("x"), lambda: time.sleep(1.0), lambda: self.app.keyup("x"))
        self.assertEqual(held, [(0x90, 62, 127), (0x80, 62, 0)])
        for _ in range(3):  # released and struck again within the same millisecond
            struck = while_stopped(4, lambda: self.app.key("c", "c", delay=0))
            self.assertEqual(struck, [(0x90, 64, 127), (0x80, 64, 0)] * 2)


class InputMethods(E2ETestCase):
    """IBus (as GNOME has it) and Fcitx 5, each with Qt's module for it chosen."""
    session_options = {"pulse": False, "bus": True}
    app_class = App
    # Qt's module, the daemon, the name it takes on the session bus (asked without starting it:
    # the bus would start a second one) and Qt's plugin for it.
    METHODS = [("ibus", ["ibus-daemon", "--panel=disable"], "org.freedesktop.IBus", "ibusplatforminputcontext"),
               ("fcitx", ["fcitx5"], "org.fcitx.Fcitx5", "fcitx5platforminputcontext")]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # IBus names its address file after the display, which on Wayland is a path here.
        cls.session.env["IBUS_ADDRESS_FILE"] = os.path.join(cls.session.dir, "ibus-address")

    def setUp(self):
        self.app = None  # started below, under each input method

    def tearDown(self):
        if self.app:
            super().tearDown()

    def test_every_key_plays_and_the_base_note_dialog_takes_digits_under_ibus_and_fcitx(self):
        for module, daemon, name, plugin in self.METHODS:
            im = self.session.spawn(daemon[0], daemon)
            try:
                wait_until(lambda: "boolean true" in self.session.run(
                    ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus.NameHasOwner", f"string:{name}"], check=False).stdout, 10, what=module)
                self.app = self.app_class(self.session, {"QT_IM_MODULE": module})
                self.use_monitor()
                with open(f"/proc/{self.app.proc.pid}/maps") as maps:
                    self.assertIn(plugin, maps.read(), f"Qt's {module} module is in use")
                self.app.key(*KEYS, delay=30)
                self.assertEqual(self.new_midi(34), note_pairs(range(60, 77)), module)
                # Typed into the dialog: the digits are the answer, z there plays nothing.
                self.app.answer_base_note("ctrl+a", "4", "8", "z", "BackSpace", "Return")
                self.app.key("z")
                self.assertEqual(self.new_midi(36)[34:], [(0x90, 48, 127), (0x80, 48, 0)], module)
                self.assertIsNone(im.poll(), f"{module} ended: {self.session.log(daemon[0])[-1500:]}")
                self.app.close()
                self.app = None
            finally:
                self.session.stop_proc(im)


if __name__ == "__main__":
    unittest.main()
