# SPDX-License-Identifier: GPL-3.0-or-later
"""The "Midi Device" menu in the real window, with a JACK port as the second device."""

import time
import unittest

from harness import TITLE, E2ETestCase, wait_until


class DeviceMenu(E2ETestCase):
    def test_menu_lists_the_mapper_and_the_jack_port(self):
        # The drop-down shows two items: the Mapper and the monitor port (its picture is kept in
        # the artefacts); choosing the second sends the next notes to the monitor.
        self.app.open_first_menu()
        self.session.screenshot("device-menu")
        # Four steps down land on the port only if the menu wraps after exactly two items.
        self.app.key("Down", "Down", "Down", "Down", "Return", delay=40)
        time.sleep(0.3)
        self.app.key("z")
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])

    def test_mapper_notes_do_not_reach_the_port_until_it_is_chosen(self):
        self.app.key("x")
        self.assertEqual(self.new_midi(), [])
        self.app.choose_device(1)
        self.app.key("x")
        self.assertEqual(self.new_midi(2), [(0x90, 62, 127), (0x80, 62, 0)])

    def test_a_held_key_is_switched_off_on_the_old_port_when_the_device_changes(self):
        self.use_monitor()
        self.app.keydown("z")
        self.new_midi(1)
        self.app.choose_device(0)  # back to the Mapper while Z is held
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])
        self.app.keyup("z")  # its Note Off goes to the Mapper now, not to the port
        self.assertEqual(len(self.new_midi()), 2)

    def test_a_port_that_has_gone_shows_the_message_and_nothing_is_undone(self):
        self.use_monitor()
        self.session.stop_monitor()
        try:
            self.app.choose_device(1)
            wait_until(lambda: len(self.app.our_windows()) == 2, 5, what="the message box")
            box = next(w for w in self.app.our_windows() if w != self.app.win)
            self.assertEqual(self.session.run(["xdotool", "getwindowname", box]).stdout.strip(), TITLE)
            self.app.key("Return")  # OK dismisses it
            wait_until(lambda: len(self.app.our_windows()) == 1, 5, what="the message box to close")
            self.assertTrue(self.app.alive())
            self.app.key("z")  # sends go nowhere, quietly
            self.assertTrue(self.app.alive())
        finally:
            self.session.start_monitor()
        self.mark = len(self.session.midi())
        self.app.choose_device(1)  # the port is back: choosing it again works
        self.app.key("c")
        self.assertEqual(self.new_midi(2), [(0x90, 64, 127), (0x80, 64, 0)])


if __name__ == "__main__":
    unittest.main()
