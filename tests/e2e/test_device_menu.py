# SPDX-License-Identifier: GPL-3.0-or-later
"""The "Midi Device" menu in the real window, with a JACK port as the second device."""

import signal
import time
import unittest

from Xlib import display

import audio
from harness import MONITOR_PORT, SLOW, TITLE, App, E2ETestCase, Probe, cpu_ticks, note_pairs, wait_until
from test_midi_service import heals_within


def hanging(messages):
    """Notes switched on and not switched off later."""
    sounding = set()
    for status, *data in messages:
        if status & 0xF0 == 0x90 and data[1] > 0:
            sounding.add((status & 0x0F, data[0]))
        elif status & 0xF0 in (0x80, 0x90):
            sounding.discard((status & 0x0F, data[0]))
    return sounding


class DeviceMenu(E2ETestCase):
    def test_menu_lists_the_mapper_and_the_jack_port(self):
        # The drop-down shows two items: the Mapper and the monitor port (its picture is kept in
        # the artefacts); choosing the second sends the next notes to the monitor.
        self.app.open_first_menu()
        self.session.screenshot("device-menu")
        # Four steps down land on the port only if the menu wraps after exactly two items.
        self.app.choose("Down", "Down", "Down", "Down", "Return")
        wait_until(self.session.linked, 5, what="the connection to the monitor")
        self.app.key("z")
        self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])

    def test_mapper_notes_do_not_reach_the_port_until_it_is_chosen(self):
        self.app.key("x")
        self.assertEqual(self.new_midi(), [])
        self.use_monitor()
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
        # Then 200 changes, to the port and back in turn, each with a key held across the choice:
        # each note struck on the port reaches it whole, and nothing stays on. The keys held on the
        # Mapper are black ones: their release on the port may give it a Note Off, never a Note On.
        white, on_port, start = {"z": 60, "x": 62, "c": 64, "v": 65, "b": 67, "n": 69, "m": 71}, [60], time.monotonic()
        x = display.Display(self.session.env["DISPLAY"])
        self.addCleanup(x.close)
        for i in range(200):
            key = list(white)[i // 2 % 7] if i % 2 else "sdghj"[i // 2 % 5]
            self.app.keydown(key)
            self.app.choose_at_once(0 if i % 2 else self.app.port_item, x)
            self.app.keyup(key)
            on_port += [white[key]] if i % 2 else []
        took, played = time.monotonic() - start, lambda: [m for m in self.new_midi() if m[0] == 0x90 or m[1] in on_port]
        try:
            wait_until(lambda: len(played()) >= 2 * len(on_port), 5)
        except TimeoutError:
            pass  # the comparison says which
        got = played()
        self.assertEqual(got, note_pairs(on_port), f"{sum(m[0] == 0x90 for m in got)} Note Ons of {len(on_port)} "
                                                   f"at the port, 200 device changes in {took:.0f} s")
        self.assertEqual(hanging(self.new_midi()), set())

    def test_a_port_that_has_gone_shows_the_message_and_nothing_is_undone(self):
        self.use_monitor()
        self.session.stop_monitor()
        try:
            self.app.choose_device(self.app.port_item)  # listed still
            wait_until(lambda: len(self.app.our_windows()) == 2, 5, what="the message box")
            box = next(w for w in self.app.our_windows() if w != self.app.win)
            self.assertEqual(self.session.run(["xdotool", "getwindowname", box]).stdout.strip(), TITLE)
            self.app.key("Return")  # OK dismisses it
            self.app.wait_alone("the message box to close")
            self.assertTrue(self.app.alive())
            self.app.key("z")  # sends go nowhere, quietly
            self.assertTrue(self.app.alive())
        finally:
            self.session.start_monitor()
        self.use_monitor()  # the port is back: choosing it again works
        self.app.key("c")
        self.assertEqual(self.new_midi(2), [(0x90, 64, 127), (0x80, 64, 0)])

    def reconnected_then(self, back, key, note, what):
        """Once the output has found the monitor again, key struck once must arrive, within the
        look for the server (every 250 ms) and the twelve periods that registering, connecting
        and settling take, from the moment the monitor came back (back); the new monitor's log."""
        period = self.session.jack_period / self.session.jack_rate
        heals_within(self.session, back, lambda: self.app.key(key), (0x90, note, 127),
                     0.25 + max(0.1, 12 * period), what)
        wait_until(lambda: (0x80, note, 0) in self.session.midi(), 2, what=f"{what}: the Note Off")
        return self.session.midi()  # a new monitor writes a new log

    def test_the_port_follows_its_peer_and_its_server_through_restarts(self):
        self.use_monitor()
        self.app.keydown("z")
        self.new_midi(1)
        self.session.stop_proc(self.session.dump, signal.SIGKILL)  # the peer dies while Z is held
        self.session.start_monitor()  # and comes back under the same name
        back = time.monotonic()
        self.app.keyup("z")
        after_peer = self.reconnected_then(back, "x", 62, "the peer restarted")

        self.app.keydown("v")  # held while the server crashes: its Note Off cannot go then
        wait_until(lambda: (0x90, 65, 127) in self.session.midi(), 5, what="the held note")
        self.session.stop_proc(self.session.proc("jackd"), signal.SIGKILL)  # the server crashes
        self.session.stop_proc(self.session.dump)
        self.app.keyup("v")
        self.app.key(*["z"] * 1500, delay=1)  # 3,000 messages into the void
        self.app.open_base_note()  # the window still answers
        self.app.wait_window("Base note")
        self.app.key("Escape")
        self.app.wait_alone("the dialog to close")
        before = cpu_ticks(self.app.proc.pid)
        time.sleep(1.0)
        self.assertLessEqual(cpu_ticks(self.app.proc.pid) - before, 5, "the program keeps working")

        self.session._start_jack()  # the server and the peer come back
        after_server = self.reconnected_then(time.monotonic(), "c", 64, "the server restarted")
        self.assertEqual(after_server[0], (0x80, 65, 0), "the remembered Note Off comes first")
        self.assertEqual((hanging(after_peer), hanging(after_server)), (set(), set()))
        self.assertEqual(len(self.app.our_windows()), 1, "a message box showed")

    # -- a JACK server that hangs (stopped, not dead) --
    def test_a_hung_server_never_holds_the_window_nor_leaves_a_note_on(self):
        self.use_monitor()
        self.app.keydown("v")
        wait_until(lambda: (0x90, 65, 127) in self.session.midi(), 5, what="the held note")
        jackd = self.session.hang("jackd", self)
        hung = time.monotonic()
        self.app.key(*["z"] * 300, delay=1)  # queued behind the stalled server, stale by the end
        chosen = self.app.open_base_note()  # the dialog is there within 0.5 s of the choice
        self.app.wait_window("Base note")
        self.assertLessEqual(time.monotonic() - chosen, 0.5 * SLOW, "the dialog came late")
        self.app.key("Escape")
        self.app.wait_alone("the dialog to close")
        self.app.keyup("v")  # its Note Off waits in the queue of the output about to close
        chosen = self.app.choose_device(self.app.port_item)  # the port again, while the server hangs: rc 1 within 0.5 s
        wait_until(lambda: len(self.app.our_windows()) == 2, 1, interval=0.01, what="the message box")
        self.assertLessEqual(time.monotonic() - chosen, 0.5 * SLOW, "the message box came late")
        self.app.key("Return")
        self.app.wait_alone("the message box to close")

        resumed = len(self.session.midi())
        time.sleep(max(0.0, hung + 5 - time.monotonic()))  # a hang of seconds: jackd's clock drifts after it
        self.session.resume(jackd)
        # Chosen again at once, and struck without waiting for the link, as a user does: every strike
        # plays, from the first (after a stop of seconds the first few were lost).
        chosen, notes = self.app.choose_device(self.app.port_item), (72, 62, 64, 67, 69, 71)
        for at, key in zip((0.5, 1.0, 1.5, 2.0, 2.5, 3.0), ("comma", "x", "c", "b", "n", "m")):
            time.sleep(max(0.0, chosen + at - time.monotonic()))
            self.app.key(key)
        played = lambda: [m for m in self.session.midi()[resumed:] if m[1] in notes]
        try:
            wait_until(lambda: len(played()) >= 12, 2, what="the strikes")
        except TimeoutError:
            pass  # the comparison says which
        self.assertEqual(len(self.app.our_windows()), 1, "a message box showed")
        self.assertEqual(played(), note_pairs(notes), "strikes 0.5-3.0 s after the choice")
        self.assertNotIn((0x90, 60, 127), self.session.midi()[resumed:], "a stale Note On sounded")
        wait_until(lambda: (0x80, 65, 0) in self.session.midi()[resumed:], 3, what="the held key's Note Off")
        midi = self.new_midi()
        self.assertEqual(hanging(midi), set(), midi)

        self.session.hang("jackd", self)  # closing while the server hangs ends the program within 1 s
        start = time.monotonic()
        self.session.run(["wmctrl", "-i", "-c", self.app.win], check=False)
        self.app.proc.wait(10)
        self.assertLessEqual(time.monotonic() - start, 1.0)

    def test_a_hung_server_at_start_up_lists_no_ports_and_holds_nothing(self):
        self.app.close()
        self.session.hang("jackd", self)
        start = time.monotonic()
        self.app = App(self.session)  # it waits 0.2 s itself once the window is there
        self.assertLessEqual(time.monotonic() - start, 2.2, "the window came late")
        probe = Probe(self.session)
        start = time.monotonic()
        self.assertEqual(probe.devices(), [])  # the Mapper only
        self.assertLessEqual(time.monotonic() - start, 1.0)
        self.assertEqual(probe.finish(), "")
        audio.hear(self.session, lambda: self.app.key("z"))  # the Mapper plays on PulseAudio meanwhile
        self.assertTrue(self.app.alive())

    def test_a_hung_sound_server_at_start_up_holds_nothing_and_is_taken_back_once_it_answers(self):
        self.app.close()
        pulse = self.session.hang("pulseaudio", self)
        start = time.monotonic()
        self.app = App(self.session)
        self.assertLessEqual(time.monotonic() - start, 2.2 * SLOW, "the window came late")
        mapper_on_jack = lambda: "Tamrels Midi Piano:left" in self.session.run(["jack_lsp"], check=False).stdout
        wait_until(mapper_on_jack, 2, what="the Mapper to fall back to JACK")
        self.assertEqual(len(self.app.our_windows()), 1, "a message box showed")

        self.app.keydown("v")  # sounding on JACK as PulseAudio answers again: the note is not cut
        self.session.resume(pulse)
        time.sleep(1.5)
        self.assertTrue(mapper_on_jack(), "the Mapper left JACK under a sounding note")
        self.app.keyup("v")  # it is taken back once all is quiet
        wait_until(lambda: not mapper_on_jack(), 15, what="the Mapper to leave JACK")
        audio.hear(self.session, lambda: self.app.key("z"))


if __name__ == "__main__":
    unittest.main()
