# SPDX-License-Identifier: GPL-3.0-or-later
"""The ALSA sequencer in a real kernel, with aseqdump as the receiving port.

This module runs inside the qemu guest of alsa_vm/run-in-vm.sh (CTest's e2e_test_alsa boots one
for the whole module): there /dev/snd/seq holds "Midi Through Port-0" and twelve VirMIDI ports.
Elsewhere it skips. The MIDI Mapper has no sound output in the guest, so each start of the program
shows "Couldn't open midi out, rc = 6", which is dismissed. Under emulation (TCG) everything runs
about ten times slower; waits for the program are scaled by SLOW.
"""

import os
import re
import signal
import time
import unittest

from harness import TITLE, App, E2ETestCase, Session, wait_until
from test_device_menu import hanging
from test_keyboard import KEYS

if not os.path.exists("/dev/snd/seq"):
    raise unittest.SkipTest("no ALSA sequencer here: CTest runs this module in a guest")

with open("/proc/cmdline") as _f:
    EMULATED = "ALSAVM_ACCEL=tcg" in _f.read()
SLOW = 8 if EMULATED else 1
CLIENTS = "/proc/asound/seq/clients"
DUMP_PORT = "aseqdump"  # aseqdump's client and port name


def clients(name=DUMP_PORT):
    """The numbers of the sequencer's clients of that name, in ascending order."""
    with open(CLIENTS) as f:
        return [int(n) for n in re.findall(rf'^Client\s+(\d+) : "{name}"', f.read(), re.M)]


def connected_from(client):
    """Whether a port of that client is read from: the subscription that an output of ours made."""
    with open(CLIENTS) as f:
        block = re.search(rf"^Client\s+{client} : .*?(?=^Client|\Z)", f.read(), re.M | re.S)
    return bool(block) and "Connected From:" in block.group(0)


class AlsaSession(Session):
    """Xvfb and openbox, and aseqdumps as the receiving ports (the last one started is the
    monitor whose messages midi() gives)."""

    def __init__(self):
        super().__init__(jack=False, pulse=False, wm=True)
        self.dumps = []  # (process, log path, client number)

    def start(self):
        super().start()
        self.start_monitor()
        return self

    def start_monitor(self):
        before = set(clients())
        self.dump_path = os.path.join(self.dir, f"aseqdump-{len(self.dumps)}.log")
        self.dump = self.spawn("aseqdump", ["stdbuf", "-oL", "aseqdump"], stdout=open(self.dump_path, "wb"))
        new = wait_until(lambda: set(clients()) - before, 5 * SLOW, what="aseqdump's port")
        self.dumps.append((self.dump, self.dump_path, new.pop()))
        return self.dumps[-1]

    def stop_monitor(self, entry=None, sig=signal.SIGTERM):
        """Stops a dump (the monitor unless told); the last one left becomes the monitor."""
        entry = entry or self.dumps[-1]
        self.stop_proc(entry[0], sig)
        wait_until(lambda: entry[2] not in clients(), 5 * SLOW, what="aseqdump's port to go")
        self.dumps.remove(entry)
        if self.dumps:
            self.dump, self.dump_path, _ = self.dumps[-1]

    def midi(self, path=None):
        """Every channel message a dump received, as (status, data 1, data 2)."""
        with open(path or self.dump_path) as f:
            text = f.read()
        kinds = {"Note on": 0x90, "Note off": 0x80}
        return [(kinds[m[1]] | int(m[2]), int(m[3]), int(m[4]))
                for m in re.finditer(r"^\s*\d+:\d+\s+(Note on|Note off)\s+(\d+), note (\d+), velocity (\d+)",
                                     text, re.M)]


class GuestApp(App):
    """The program in the guest: it starts with the Mapper's message box, which is dismissed. The
    device menu's items are found by their names, as the MIDI service lists them (devices)."""

    window_wait = 15 * SLOW  # emulated, a start takes 7-9 s alone and over 15 s beside other work

    def __init__(self, session, env=None):
        start = time.monotonic()
        super().__init__(session, env)
        print(f"the window after {time.monotonic() - start:.1f} s", end=" ", flush=True)
        self.devices = super().listed()  # once: under emulation a probe takes seconds

    def _find_window(self):
        """The main window once no message box is left, dismissing the boxes it finds."""
        if self.proc.poll() is not None:
            raise RuntimeError(f"the program exited with {self.proc.returncode}")
        main, boxes = None, []
        found = self.s.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"], check=False)
        for win in found.stdout.split():
            geometry = self.s.run(["xdotool", "getwindowgeometry", "--shell", win], check=False).stdout
            height = re.search(r"HEIGHT=(\d+)", geometry)
            if height and int(height.group(1)) >= 185:
                main = win
            elif height:
                boxes.append(win)
        for box in boxes:
            self.s.run(["xdotool", "windowactivate", "--sync", box, "key", "--clearmodifiers", "Return"], check=False)
        return main if not boxes else None

    def listed(self):
        return self.devices

    def choose_port(self, name, last=False):
        super().choose_port(name, last)
        numbers = sorted(dump[2] for dump in self.s.dumps)  # listed in the sequencer's order
        wait_until(lambda: connected_from(numbers[-1 if last else 0]), 5 * SLOW, what=f"our link to {name}")


def base_note_dialog(app):
    """Opens the "Base note" dialog; the seconds from the choice to the dialog on screen."""
    app.wait_alone("the menus to close", 5 * SLOW)
    app.open_first_menu()
    app.key("Right", "Right", delay=40)
    # The bar's "Base note" is active once the Channel drop-down has closed and given the
    # keyboard back to the window (under emulation that takes a moment): then the choice.
    time.sleep(0.3 * SLOW)
    start = time.monotonic()
    app.key("Return")
    try:
        app.wait_window("^Base note$", 5 * SLOW)
    except TimeoutError:
        app.s.screenshot("alsa-no-base-note-dialog")
        raise
    return time.monotonic() - start


class Alsa(E2ETestCase):
    session_class = AlsaSession
    app_class = GuestApp

    def new_midi(self, count=0, timeout=5.0):
        return super().new_midi(count, timeout * SLOW)

    def test_menu_lists_the_ports_and_all_keys_play_on_channel_16_from_note_111(self):
        self.assertEqual(self.app.devices[0], "Midi Through Port-0")
        self.assertIn(DUMP_PORT, self.app.devices)
        at = self.app.devices.index(DUMP_PORT) + 1
        # The menu has exactly the Mapper and the listed devices: the steps down wrap round once.
        self.app.open_first_menu()
        self.session.screenshot("alsa-device-menu")
        self.app.choose(*["Down"] * (len(self.app.devices) + 1 + at + 1), "Return")
        wait_until(lambda: connected_from(self.session.dumps[-1][2]), 5 * SLOW, what="our link to aseqdump")
        self.app.choose_channel(15)
        print(f"dialog after {base_note_dialog(self.app):.2f} s", end=" ", flush=True)
        self.app.key("ctrl+a")
        self.app.key("1", "1", "1", "Return", delay=30)
        time.sleep(0.3 * SLOW)
        self.app.key(*KEYS, delay=30)
        expected = []
        for note in range(111, 128):
            expected += [(0x9F, note, 127), (0x8F, note, 0)]
        self.assertEqual(self.new_midi(34), expected)

    def test_a_restarted_aseqdump_gets_the_held_notes_off_first_then_plays(self):
        self.app.choose_port(DUMP_PORT)
        self.app.keydown("z")
        self.addCleanup(self.app.keyup, "z")
        self.assertEqual(self.new_midi(1), [(0x90, 60, 127)])
        old = self.session.dumps[-1][2]
        self.session.stop_monitor(sig=signal.SIGKILL)
        # The sequencer gives the lowest free number: another client takes the old one meanwhile.
        holder = self.session.spawn("arecordmidi", ["arecordmidi", "-p", "14:0", "/dev/null"])
        self.addCleanup(self.session.stop_proc, holder)
        wait_until(lambda: old in clients("arecordmidi"), 5 * SLOW, what="arecordmidi's client")
        _, path, client = self.session.start_monitor()
        back = time.monotonic()
        self.assertNotEqual(client, old)
        self.app.keyup("z")  # its Note Off cannot go now: the port has gone
        # The output follows the sequencer's announcements: once its link shows, x struck once
        # arrives, within a second of the port's return.
        wait_until(lambda: connected_from(client), 5 * SLOW, what="our link to the new aseqdump")
        self.app.key("x")
        wait_until(lambda: (0x80, 62, 0) in self.session.midi(path), 2 * SLOW,
                   what=f"x at the new aseqdump (got {self.session.midi(path)})")
        took = time.monotonic() - back
        print(f"healed in {took:.2f} s", end=" ", flush=True)
        self.assertLessEqual(took, 1.0 * SLOW, "the port came back late")
        got = self.session.midi(path)
        self.assertEqual(got[0], (0x80, 60, 0), "the held note's Note Off comes first")
        self.assertEqual(hanging(got), set())

    def test_sixteen_ports_are_listed_and_the_last_one_plays(self):
        self.app.close()
        extra = [self.session.start_monitor() for _ in range(2)]
        try:
            self.app = GuestApp(self.session)
            virmidi = [f"VirMIDI {card}-{dev}" for card in range(3) for dev in range(4)]
            self.assertEqual(self.app.devices,
                             ["Midi Through Port-0"] + virmidi + [DUMP_PORT] * 3)
            # The sequencer lists its clients by number: the last item is the highest.
            last = max(self.session.dumps, key=lambda dump: dump[2])
            others = lambda: [len(self.session.midi(d[1])) for d in self.session.dumps if d is not last]
            before, mark = others(), len(self.session.midi(last[1]))
            self.app.choose_port(DUMP_PORT, last=True)
            self.app.key("z")
            wait_until(lambda: len(self.session.midi(last[1])) >= mark + 2, 5 * SLOW, what="z at the last port")
            self.assertEqual(self.session.midi(last[1])[mark:], [(0x90, 60, 127), (0x80, 60, 0)])
            self.assertEqual(others(), before, "another aseqdump got the notes")
        finally:
            for entry in extra:
                self.session.stop_monitor(entry)

    def test_a_stopped_aseqdump_never_holds_the_window_nor_leaves_a_note_on(self):
        self.app.choose_port(DUMP_PORT)
        self.app.key("z")
        self.new_midi(2)
        dump = self.session.hang(self.session.dump, self)
        start = time.monotonic()
        # 3,000 notes into a queue nobody reads
        self.session.run(["xdotool", "key", "--delay", "1"] + ["z", "x"] * 1500, timeout=60 * SLOW)
        print(f"3,000 notes typed in {time.monotonic() - start:.1f} s", end=" ", flush=True)
        # The window answers: within 0.5 s natively; under emulation, where the same dialog takes
        # about 1 s with nothing stalled (each xdotool costs 0.2 s), within 0.5 s * SLOW.
        took = base_note_dialog(self.app)
        print(f"dialog after {took:.2f} s", end=" ", flush=True)
        self.assertLessEqual(took, 0.5 * SLOW)
        self.app.key("Escape")
        self.session.resume(dump)
        time.sleep(1 * SLOW)  # the Note Offs still owed go within 100 ms
        self.app.key("c")  # and the port plays on
        wait_until(lambda: self.session.midi()[-2:] == [(0x90, 64, 127), (0x80, 64, 0)], 5 * SLOW,
                   what=lambda: f"C after the stall (got {self.session.midi()[-4:]})")
        midi = self.session.midi()[self.mark:]
        print(f"{len(midi) - 4} of 6,000 messages arrived", end=" ", flush=True)
        self.assertEqual(hanging(midi), set())

        # The device changes with a Note Off owed: the port closes, and the Note Off still goes
        # once aseqdump reads again (within 2 s of the close).
        self.app.keydown("v")
        wait_until(lambda: self.session.midi()[-1:] == [(0x90, 65, 127)], 5 * SLOW, what="the held note")
        self.session.hang(dump, self)
        self.session.run(["xdotool", "key", "--delay", "1"] + ["z", "x"] * 150, timeout=60 * SLOW)
        self.app.keyup("v")  # into the full queue
        self.app.choose_device(0)  # the Mapper
        self.session.resume(dump)
        wait_until(self.app._find_window, 5 * SLOW, what="the Mapper's message box to go")
        end = time.monotonic() + 2 * SLOW  # the owed Note Off goes within 100 ms of the resume
        while hanging(self.session.midi()[self.mark:]) and time.monotonic() < end:
            time.sleep(0.1)
        self.assertEqual(hanging(self.session.midi()[self.mark:]), set(), "a note was left on when the port closed")

    def test_closing_the_window_with_a_key_held_switches_it_off(self):
        self.app.choose_port(DUMP_PORT)
        self.app.keydown("x")
        self.addCleanup(self.app.keyup, "x")
        self.new_midi(1)
        # Another reader of our port (a patchbay's link) comes and goes: our link to aseqdump
        # stays as it is, and the held note is not switched off for it.
        with open(CLIENTS) as f:
            found = re.search(r'^Client\s+(\d+) : "Tamrels Midi Piano".*\n(?:.*\n)*?\s+Port\s+(\d+) : "out"',
                              f.read(), re.M)
        ours = "%s:%s" % found.groups()
        self.session.run(["aconnect", ours, "Midi Through:0"])
        self.session.run(["aconnect", "-d", ours, "Midi Through:0"])
        time.sleep(0.3 * SLOW)
        self.assertEqual(self.new_midi(), [(0x90, 62, 127)], "the held note was switched off")
        self.app.close()
        self.app.keyup("x")
        self.assertEqual(self.new_midi(2), [(0x90, 62, 127), (0x80, 62, 0)])


if __name__ == "__main__":
    unittest.main()
