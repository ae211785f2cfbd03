# SPDX-License-Identifier: GPL-3.0-or-later
"""Measuring recorded sound: loudness and the fundamental frequency (YIN)."""

import os
import subprocess
import threading
import time

import numpy as np

from harness import SLOW, _die_with_parent, wait_until

RATE = 48000


def rms(x):
    return float(np.sqrt(np.mean(x * x))) if len(x) else 0.0


def onset(x, fraction=0.1):
    """Index of the first sample louder than fraction of the loudest, or None."""
    peak = np.max(np.abs(x)) if len(x) else 0
    if peak == 0:
        return None
    return int(np.argmax(np.abs(x) > fraction * peak))


class Recorder:
    """What the Mapper plays, as its server carries it, every chunk stamped with the monotonic clock
    as it is read: the sink's monitor through parec on PulseAudio and pw-record on PipeWire, the
    Mapper's own left port through jack_record (ours) on JACK. On PulseAudio a silent pacat stream keeps
    the null sink's monitor flowing: it delivers nothing while no stream plays, and then a burst."""

    LOUD = 32768 * 10 ** (-40 / 20)  # -40 dBFS in 16-bit samples

    def __init__(self, session, server="pulseaudio", quantum=64):
        run = lambda args, **kw: subprocess.Popen(args, env=session.env, stderr=subprocess.DEVNULL,
                                                  preexec_fn=_die_with_parent, **kw)
        self.zero = None
        if server == "pipewire":
            # PipeWire's null sink runs whenever a stream is linked to it, and its graph at the
            # smallest quantum that any of its streams asks for: this recording's (frames) among them.
            # pw-record 1.x writes a Sun audio header to a pipe (24 bytes that read as loud samples)
            # unless told --raw, which 0.3 does not know: it writes bare samples there.
            raw = ["--raw"] if "--raw" in subprocess.run(["pw-record", "--help"], capture_output=True,
                                                         text=True).stdout else []
            self.rec = run(["pw-record", "--target", "test_sink", "-P", "{ stream.capture.sink = true }",
                            f"--rate={RATE}", "--channels=1", "--format=s16", f"--latency={quantum}", *raw, "-"],
                           stdout=subprocess.PIPE)
        elif server == "jack":  # at the server's own rate
            self.rec = run([os.environ["TAMRELS_JACK_RECORD"], "Tamrels Midi Piano:left"], stdout=subprocess.PIPE)
        else:
            with open("/dev/zero", "rb") as zero:
                self.zero = run(["pacat", "--raw", "-d", "test_sink", "--latency-msec=20"], stdin=zero,
                                stdout=subprocess.DEVNULL)
            self.rec = run(["parec", "--raw", "-d", "test_sink.monitor", "--format=s16le", f"--rate={RATE}",
                            "--channels=1", "--latency-msec=2"], stdout=subprocess.PIPE)
        self.chunks = []  # (time read, samples)
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        start = time.monotonic()
        wait_until(lambda: sum(len(c) for _, c in self._since(start)) > RATE // 2, 15, what="the recording to flow")

    def _read(self):
        while data := os.read(self.rec.stdout.fileno(), 8192):
            with self.lock:
                self.chunks.append((time.monotonic(), np.frombuffer(data[:len(data) // 2 * 2], "<i2")))

    def _since(self, t):
        with self.lock:
            return [(at, c) for at, c in self.chunks if at >= t]

    def onset_after(self, t0):
        """The time of the first sample above -40 dBFS played after t0, or None."""
        for at, c in self._since(t0):
            for k in np.nonzero(np.abs(c.astype(np.int32)) > self.LOUD)[0]:
                if (when := at - (len(c) - 1 - k) / RATE) >= t0:
                    return when
        return None

    def wait_sound_after(self, t0, timeout=3.0):
        return wait_until(lambda: self.onset_after(t0), timeout * SLOW, what="sound")

    def samples(self, t1=-np.inf, t2=np.inf):
        """What was played between t1 and t2 (all of it by default), as floats in -1..1."""
        parts = [np.zeros(0, "<i2")]
        for at, c in self._since(t1 - 1.0):
            times = at - (len(c) - 1 - np.arange(len(c))) / RATE
            parts.append(c[(times >= t1) & (times < t2)])
        return np.concatenate(parts) / 32768.0

    def stop_after(self, seconds):
        """Stops once what plays in the next seconds has been read; the end of the recording."""
        end = time.monotonic() + seconds
        wait_until(lambda: any(at >= end for at, _ in self._since(end)), 5, what="the recording")
        self.stop()
        return end

    def stop(self):
        for proc in filter(None, (self.rec, self.zero)):
            proc.terminate()  # a JACK client that is killed leaves its locks in the server's store
            proc.wait(5)
        self.reader.join(5)  # it has read to the end of the pipe
        self.rec.stdout.close()


def hear(session, strike):
    """Records the sink while strike() plays a note; the time the note was first heard after the
    strike began."""
    rec = Recorder(session)
    t0 = time.monotonic()
    strike()
    try:
        return rec.wait_sound_after(t0)
    finally:
        rec.stop()


MIDDLE_C = 261.63  # Hz: note 60


def assert_middle_c(case, x, skip=4800, length=24000, what="the note"):
    """The note that sounds in x, from skip samples after its onset for length samples, is middle C
    within 2 % (a third of a semitone). That stretch of it."""
    start = onset(x)
    case.assertIsNotNone(start, f"{what}: nothing sounded")
    note = x[start + skip:start + skip + length]
    case.assertAlmostEqual(fundamental(note), MIDDLE_C, delta=MIDDLE_C * 0.02, msg=what)
    return note


def fundamental(x, rate=RATE):
    """The fundamental frequency: YIN picks the right harmonic (a zero-crossing count is fooled by
    a piano's strong overtones), then the peak of the zero-padded spectrum near it gives the exact
    value (YIN alone reads a decaying note slightly sharp)."""
    coarse = yin(x, rate)
    n = 8 * len(x)
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x)), n))
    freqs = np.fft.rfftfreq(n, 1.0 / rate)
    near = (freqs > coarse * 0.95) & (freqs < coarse * 1.05)
    return float(freqs[near][np.argmax(spectrum[near])])


def yin(x, rate=RATE, fmin=50.0, fmax=1000.0, threshold=0.1):
    """YIN: the first dip of the cumulative mean normalised difference below threshold."""
    min_lag, max_lag = int(rate / fmax), int(rate / fmin)
    window = len(x) - max_lag
    if window <= max_lag:
        raise ValueError("too short to measure")
    base = x[:window]
    d = np.array([np.sum((base - x[tau:tau + window]) ** 2) for tau in range(max_lag + 1)])
    cmnd = np.ones_like(d)
    cumulative = np.cumsum(d[1:])
    cmnd[1:] = d[1:] * np.arange(1, max_lag + 1) / np.where(cumulative == 0, 1, cumulative)
    below = np.where(cmnd[min_lag:] < threshold)[0]
    tau = (below[0] + min_lag) if len(below) else int(np.argmin(cmnd[min_lag:]) + min_lag)
    while tau + 1 <= max_lag and cmnd[tau + 1] < cmnd[tau]:
        tau += 1
    if 0 < tau < max_lag:
        a, b, c = cmnd[tau - 1], cmnd[tau], cmnd[tau + 1]
        shift = 0.5 * (a - c) / (a - 2 * b + c) if (a - 2 * b + c) != 0 else 0.0
    else:
        shift = 0.0
    return rate / (tau + shift)
