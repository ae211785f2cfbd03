# SPDX-License-Identifier: GPL-3.0-or-later
"""The MIDI output service against real peers: a JACK MIDI port and the synthesizer's sound."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

import audio
from harness import MONITOR_PORT, PROBE, E2ETestCase, Session, _die_with_parent, wait_until


class Probe:
    """The real service in a helper process, one command at a time."""

    def __init__(self, session, extra_env=None):
        env = dict(session.env)
        env.update(extra_env or {})
        self.proc = subprocess.Popen([PROBE], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1,
                                     preexec_fn=_die_with_parent)

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def rc(self, line):
        answer = self.ask(line)
        self.assert_alive(answer)
        return int(answer.split()[1])

    def devices(self):
        self.proc.stdin.write("list\n")
        self.proc.stdin.flush()
        names = []
        while (line := self.proc.stdout.readline().strip()) != "end":
            self.assert_alive(line)
            names.append(line.split(" ", 1)[1])
        return names

    def assert_alive(self, answer):
        if self.proc.poll() is not None or not answer:
            raise AssertionError(f"the probe died: {self.proc.returncode} {self.proc.stderr.read()}")

    def finish(self):
        """Ends the probe; returns what it printed on standard error."""
        _, err = self.proc.communicate(timeout=10)
        return err

    def __del__(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


class JackPort(unittest.TestCase):
    def setUp(self):
        self.session = Session(pulse=False, wm=False).start()

    def tearDown(self):
        self.session.stop()

    def test_lists_opens_and_sends_exact_bytes_then_survives_the_port_going(self):
        probe = Probe(self.session)
        devices = probe.devices()
        self.assertIn(MONITOR_PORT, devices)
        port = devices.index(MONITOR_PORT)
        self.assertEqual(probe.rc(f"open {port}"), 0)
        self.assertEqual(probe.rc("send 7f3c90"), 0)
        self.assertEqual(probe.rc("send 003c80"), 0)
        self.assertEqual(probe.rc("send 0000c5"), 0)  # program change: two bytes
        self.assertEqual(self.session.wait_midi(3), [(0x90, 0x3C, 0x7F), (0x80, 0x3C, 0x00), (0xC5, 0x00)])

        self.session.stop_monitor()
        wait_until(lambda: probe.rc("send 7f3c90") == 1, 2, what="sends to fail")  # the port has gone
        self.assertEqual(probe.rc("close"), 0)
        self.assertEqual(probe.rc(f"open {port}"), 1)  # still gone
        self.assertEqual(probe.rc("send 7f3c90"), 5)  # nothing open

        self.session.start_monitor()  # back under the same name: the same id reaches it
        self.assertEqual(probe.rc(f"open {port}"), 0)
        self.assertEqual(probe.rc("send 7f3e90"), 0)
        self.assertEqual(self.session.wait_midi(1), [(0x90, 0x3E, 0x7F)])
        self.assertEqual(probe.rc("close"), 0)
        self.assertEqual(probe.finish(), "")  # nothing printed to the terminal

    def test_the_jack_server_going_away_is_a_result_code(self):
        probe = Probe(self.session)
        port = probe.devices().index(MONITOR_PORT)
        self.assertEqual(probe.rc(f"open {port}"), 0)
        jackd = next(p for name, p in self.session.procs if name == "jackd")
        self.session.stop_monitor()
        self.session.stop_proc(jackd)
        wait_until(lambda: probe.rc("send 7f3c90") == 1, 2, what="sends to fail")
        self.assertEqual(probe.rc("close"), 0)
        self.assertEqual(probe.rc(f"open {port}"), 1)  # the port has gone with its server
        probe.finish()


class Synthesizer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = Session(jack=False, wm=False, pulse=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.session.stop()

    def test_middle_c_sent_while_the_font_loads_sounds_at_261_6_hz_and_stops_on_note_off(self):
        raw = os.path.join(self.session.dir, "sound.raw")
        with open(raw, "wb") as out:
            rec = self.session.spawn("parec", ["parec", "-d", "test_sink.monitor", "--format=s16le",
                                               "--rate=48000", "--channels=1", "--latency-msec=20"], stdout=out)
        # The monitor's first data comes a while after parec starts: wait for 0.3 s of it.
        wait_until(lambda: os.path.getsize(raw) > 48000 * 2 * 0.3, 10, what="the recording to run")
        probe = Probe(self.session)
        # The open returns before FluidR3 (148 MB) has loaded: the note waits for it, then sounds.
        self.assertEqual(probe.rc("open -1"), 0)
        self.assertEqual(probe.rc("send 7f3c90"), 0)
        driver, buffer_ms, font = probe.ask("synth").split()
        self.assertEqual((driver, font), ("pulseaudio", "loading"))
        self.assertLessEqual(float(buffer_ms), 9.0)
        time.sleep(1.5)
        self.assertEqual(probe.rc("send 003c80"), 0)
        time.sleep(2.5)
        self.session.stop_proc(rec)
        self.assertEqual(probe.rc("close"), 0)
        self.assertEqual(probe.finish(), "")

        x = audio.load_raw(raw)
        start = audio.onset(x)
        self.assertIsNotNone(start, "no sound was recorded")
        note = x[start + 4800:start + 4800 + 24000]  # 0.1 s after the onset, 0.5 s long
        self.assertGreater(audio.rms(note), 0.01)
        f0 = audio.fundamental(note)
        self.assertAlmostEqual(f0, 261.63, delta=261.63 * 0.02)
        tail = x[-24000:]  # the last 0.5 s, 2 s after the Note Off
        self.assertLess(audio.rms(tail), audio.rms(note) * 0.01)

    def test_no_soundfont_fails_with_its_code(self):
        empty = tempfile.mkdtemp(dir=self.session.dir)
        probe = Probe(self.session, {"TAMRELS_SOUNDFONT_DIR": empty})
        self.assertEqual(probe.rc("open -1"), 68)
        probe.finish()

    def test_no_sound_output_fails_with_no_driver_and_starts_no_server(self):
        nowhere = tempfile.mkdtemp(dir=self.session.dir)
        probe = Probe(self.session, {"XDG_RUNTIME_DIR": nowhere, "PULSE_SERVER": "unix:" + nowhere + "/none",
                                     "JACK_DEFAULT_SERVER": "no-such-server"})
        self.assertEqual(probe.rc("open -1"), 6)
        self.assertEqual(probe.finish(), "")
        self.assertEqual(os.listdir(nowhere), [])  # no sound server was started there


class MapperAcrossSoundServerRestarts(E2ETestCase):
    session_options = {"jack": False, "pulse": True, "wm": True}

    def restart_pulseaudio(self):
        pulse = next(p for name, p in self.session.procs if name == "pulseaudio")
        self.session.stop_proc(pulse, signal.SIGKILL)  # as in a crash
        self.session._start_pulse()  # returns once `pactl info` answers
        time.sleep(1.0)

    def mapper_stream(self):
        """The Mapper's sink input as pactl shows it, or an empty string."""
        inputs = self.session.run(["pactl", "list", "sink-inputs"]).stdout.split("Sink Input #")
        return next((i for i in inputs if 'media.name = "MIDI Mapper"' in i), "")

    def test_the_mapper_sounds_again_after_a_restart_while_playing_and_while_asleep(self):
        rec = audio.Recorder(self.session)
        t0 = time.monotonic()
        self.app.keydown("z")
        rec.wait_sound_after(t0)
        rec.stop()
        self.restart_pulseaudio()  # while the note sounds
        self.app.keyup("z")
        rec = audio.Recorder(self.session)
        self.assertTrue(rec.quiet_since(time.monotonic() - 0.3), "a note came back after the restart")
        t1 = time.monotonic()
        self.app.key("x")  # no menu choice in between
        rec.wait_sound_after(t1)

        # The stream goes to sleep when nothing has sounded for a while; a restart then heals it too.
        wait_until(lambda: "Corked: yes" in self.mapper_stream() or not self.mapper_stream(), 15,
                   what="the Mapper's stream to sleep")
        rec.stop()
        self.restart_pulseaudio()
        rec = audio.Recorder(self.session)
        t2 = time.monotonic()
        self.app.key("c")
        rec.wait_sound_after(t2)
        rec.stop()
        self.assertTrue(self.app.alive())
        self.assertEqual(len(self.app.our_windows()), 1, "a message box or another window showed")


if __name__ == "__main__":
    unittest.main()
