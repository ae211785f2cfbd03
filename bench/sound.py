# SPDX-License-Identifier: GPL-3.0-or-later
"""Key to sound and CPU while playing, for any program that plays a key of the computer keyboard.

The sink's monitor is recorded as the end-to-end tests do (audio.Recorder): parec through a pipe,
every chunk stamped with the monotonic clock as it is read, a silent pacat stream keeping the null
sink's monitor flowing. A key is pressed with XTest; the onset is the first sample above -40 dBFS,
placed in time from the chunk that brought it (chunk time minus the samples after it)."""

import statistics
import time

from harness import wait_until


class Keyboard:
    """One key of the computer keyboard, pressed and released through XTest."""

    def __init__(self, display_name, key="z"):
        from Xlib import XK
        from Xlib import display as xdisplay

        self.d = xdisplay.Display(display_name)
        self.code = self.d.keysym_to_keycode(XK.string_to_keysym(key))

    def _fake(self, kind):
        from Xlib.ext import xtest

        t = time.monotonic()
        xtest.fake_input(self.d, kind, self.code)
        self.d.sync()
        return t

    def press(self):
        from Xlib import X

        return self._fake(X.KeyPress)

    def release(self):
        from Xlib import X

        return self._fake(X.KeyRelease)

    def close(self):
        self.d.close()


def strike(recorder, keyboard, hold=0.3):
    """Presses the key for hold seconds; key to sound in ms, or None when nothing sounded."""
    def quiet():
        since = time.monotonic() - 0.2
        return len(recorder.samples(since)) and recorder.onset_after(since) is None

    wait_until(quiet, 10, interval=0.05, what="silence")
    t0 = keyboard.press()
    time.sleep(hold)
    keyboard.release()
    try:
        return (recorder.wait_sound_after(t0, 2) - t0) * 1000
    except TimeoutError:
        return None


def key_to_sound(recorder, keyboard, strikes=10):
    """Median and 90th percentile of strikes, after one warm-up strike that is not counted."""
    strike(recorder, keyboard)
    times = sorted(t for t in (strike(recorder, keyboard) for _ in range(strikes)) if t is not None)
    if not times:
        return {"median": float("nan"), "p90": float("nan"), "missed": strikes}
    return {"median": statistics.median(times), "p90": times[min(len(times) - 1, int(0.9 * len(times)))],
            "missed": strikes - len(times)}


def play_phrase(keyboard, seconds=10, every=0.5):
    """Strikes the key every `every` seconds for `seconds`, each held half of that."""
    start = time.monotonic()
    for i in range(int(seconds / every)):
        time.sleep(max(0.0, start + i * every - time.monotonic()))
        keyboard.press()
        time.sleep(every / 2)
        keyboard.release()
    time.sleep(max(0.0, start + seconds - time.monotonic()))
