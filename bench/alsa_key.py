# SPDX-License-Identifier: GPL-3.0-or-later
"""Run inside the ALSA guest (tests/e2e/alsa_vm/run-in-vm.sh): key to MIDI at aseqdump's port.

The program runs on Xvfb as the ALSA tests run it (test_alsa: openbox, the Mapper's message box
dismissed, aseqdump as the receiving port, chosen in the device menu by its name). bench_alsa_stamp
subscribes beside aseqdump to the program's output port: the sequencer stamps each note as it
delivers it to both. Each key press is an XTest event into the focused window, stamped just before
it is sent. Both stamps are CLOCK_MONOTONIC. Prints, for each press, "ms <key to delivery>",
"read <ms>" (from the delivery to the stamper's read: a reader's wake-up, not in the figure) and
"inject <ms>" (the XTest request and its X round trip), then how many Note Ons aseqdump got of
those sent, warm-up included ("at aseqdump <got> of <sent>").
   /usr/bin/python3 bench/alsa_key.py STAMPER PRESSES
TAMRELS_BINARY and TAMRELS_PROBE name the program and the probe, as for the tests."""

import contextlib
import os
import queue
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import TITLE, _die_with_parent  # noqa: E402
from test_alsa import DUMP_PORT, SLOW, AlsaSession, GuestApp  # noqa: E402

WARM_UP = 5  # presses not counted: the first ones pay for code and data not yet touched


class Stamper:
    """bench_alsa_stamp on the program's output port; its lines as (kind, note, ns)."""

    def __init__(self, session, path):
        self.proc = subprocess.Popen([path, TITLE], env=session.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, text=True, preexec_fn=_die_with_parent)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        if self.lines.get(timeout=15 * SLOW) != ("ready",):
            raise RuntimeError("bench_alsa_stamp did not subscribe")

    def _read(self):
        for line in self.proc.stdout:
            words = line.split()
            self.lines.put((words[0],) + tuple(int(w) for w in words[1:]))
        self.lines.put(None)

    def next(self, kind, timeout):
        """The next note of that kind (on, off): (delivered, read), in ns."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            if line is None:
                raise RuntimeError(f"bench_alsa_stamp exited with {self.proc.wait()}")
            if line[0] == kind:
                return line[2], line[3]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


def main():
    from Xlib import X, XK
    from Xlib import display as xdisplay
    from Xlib.ext import xtest

    stamper_path, presses = sys.argv[1], int(sys.argv[2])
    session = AlsaSession().start()
    stamper = None
    try:
        with contextlib.redirect_stdout(sys.stderr):  # the tests' progress notes
            app = GuestApp(session)
            app.choose_port(DUMP_PORT)
        mark = len(session.midi())
        stamper = Stamper(session, stamper_path)
        d = xdisplay.Display(session.env["DISPLAY"])
        keycode = d.keysym_to_keycode(XK.string_to_keysym("z"))
        for i in range(WARM_UP + presses):
            sent = time.monotonic_ns()
            xtest.fake_input(d, X.KeyPress, keycode)
            d.sync()
            injected = time.monotonic_ns()
            delivered, read = stamper.next("on", 5 * SLOW)
            xtest.fake_input(d, X.KeyRelease, keycode)
            d.sync()
            stamper.next("off", 5 * SLOW)
            if i >= WARM_UP:
                print(f"ms {(delivered - sent) / 1e6:.3f}")
                print(f"read {(read - delivered) / 1e6:.3f}")
                print(f"inject {(injected - sent) / 1e6:.3f}")
            time.sleep(random.uniform(0.010, 0.030))  # the program idle again, at no fixed phase
        d.close()
        time.sleep(0.5 * SLOW)  # aseqdump writes its last lines
        ons = [m for m in session.midi()[mark:] if m[0] & 0xF0 == 0x90]
        print(f"at aseqdump {len(ons)} of {WARM_UP + presses}")
        app.close()
    finally:
        if stamper:
            stamper.stop()
        session.stop()


if __name__ == "__main__":
    main()
