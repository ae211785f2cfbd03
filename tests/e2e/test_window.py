# SPDX-License-Identifier: GPL-3.0-or-later
"""The real window: its size, where the mouse plays, and what the keys look like."""

import unittest

from harness import E2ETestCase, note_pairs, wait_until

# (left, black) of each key in twips, from the layout table.
KEYS = [(360, False), (720, True), (840, False), (1200, True), (1320, False), (1800, False), (2160, True),
        (2280, False), (2640, True), (2760, False), (3120, True), (3240, False), (3720, False), (4080, True),
        (4200, False), (4560, True), (4680, False)]


# The faces as PianoKey paints them.
RAISED_WHITE, PRESSED_WHITE, RAISED_BLACK, PRESSED_BLACK = (255, 255, 255), (200, 200, 200), (0, 0, 0), (80, 80, 80)


def middle(index):
    left, black = KEYS[index]
    return (left + 127, 660) if black else (left + 247, 1800)


class Window(E2ETestCase):
    def test_title_and_client_size(self):
        # 345 logical pixels; Qt rounds a fractional scale's half pixel
        self.assertAlmostEqual(self.app.width, 345 * self.app.scale, delta=0.5)
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

    def face(self, point, colour, timeout=2):
        """The colour at point once it is colour, or what it is after timeout seconds."""
        try:
            return wait_until(lambda: self.app.pixel(*point) == colour and colour, timeout, interval=0)
        except TimeoutError:
            return self.app.pixel(*point)


class WindowAtQtScale2(Window):
    """The same window at Qt's own scale factor 2, on X11: twice the pixels, the same layout."""
    app_env = {"QT_SCALE_FACTOR": "2"}


class WindowAtQtScale1_5(Window):
    """A fractional scale factor: keys whose edges fall between the screen's pixels."""
    app_env = {"QT_SCALE_FACTOR": "1.5"}


if __name__ == "__main__":
    unittest.main()
