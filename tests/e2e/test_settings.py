# SPDX-License-Identifier: GPL-3.0-or-later
"""Channel, base note and volume in the real window."""

import time
import unittest

from harness import E2ETestCase

BAR_X = 127  # the middle of the volume bar, in twips


class Settings(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.use_monitor()

    def test_channel_ten_gives_status_0x99(self):
        self.app.choose_channel(9)
        self.app.key("z")
        self.assertEqual(self.new_midi(2), [(0x99, 60, 127), (0x89, 60, 0)])

    def test_held_key_across_a_channel_change_is_released_on_its_own_channel(self):
        self.app.keydown("z")
        self.new_midi(1)
        self.app.choose_channel(2)
        self.app.keyup("z")
        self.app.key("z")
        self.assertEqual(self.new_midi(4), [(0x90, 60, 127), (0x80, 60, 0), (0x92, 60, 127), (0x82, 60, 0)])

    def test_base_note_48_from_the_dialog(self):
        self.app.answer_base_note("ctrl+a", "4", "8", "Return")
        self.app.key("z")
        self.assertEqual(self.new_midi(2), [(0x90, 48, 127), (0x80, 48, 0)])

    def test_base_note_dialog_cancel_and_bad_answers_change_nothing(self):
        for answer in (["Escape"], ["ctrl+a", "1", "1", "2", "Return"], ["ctrl+a", "x", "Return"]):
            self.app.answer_base_note(*answer)
        self.app.key("z")
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])

    def test_volume_follows_the_thumb_when_it_is_let_go(self):
        # Drag the thumb from the top end to the bottom end of the bar.
        self.app.press(BAR_X, 360 + 255 + 90)
        self.app.move(BAR_X, 1300)
        self.app.move(BAR_X, 2175 - 255 - 30)
        self.app.key("z", clear=False)  # while dragging the velocity has not changed yet
        self.app.release()
        time.sleep(0.2)
        self.app.key("z")
        got = self.new_midi(4)
        self.assertEqual(got[:2], [(0x90, 60, 127), (0x80, 60, 0)])
        self.assertEqual(got[2:], [(0x90, 60, 0), (0x80, 60, 0)])  # velocity 0 at the bottom

    def test_arrow_clicks_move_the_volume_by_one(self):
        self.app.click(BAR_X, 2175 - 120)  # the down arrow
        self.app.key("z")
        self.assertEqual(self.new_midi(2)[0], (0x90, 60, 126))


if __name__ == "__main__":
    unittest.main()
