# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end harness: the real program in a real X server, with real MIDI and audio peers.

Session starts Xvfb (with openbox as window manager), a private JACK server on the dummy driver
with jack_midi_dump as the receiving MIDI port "midi-monitor:input", and PulseAudio with a null
sink; on request PipeWire with a null sink and WirePlumber, with a session bus. It stops exactly
the processes it started, by their ids. App starts the program and drives
it with xdotool; positions are given in twips of the client area, as the layout table gives them.
"""

import ctypes
import functools
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = os.environ.get("TAMRELS_BINARY", os.path.join(os.path.dirname(__file__), "../../build/tamrels-midi-piano"))
PROBE = os.environ.get("TAMRELS_PROBE", os.path.join(os.path.dirname(BINARY), "tests/e2e/midi_probe"))
LATE_PEER = os.environ.get("TAMRELS_LATE_PEER", os.path.join(os.path.dirname(BINARY), "tests/e2e/late_peer"))
ARTIFACTS = os.environ.get("TAMRELS_ARTIFACTS", os.path.join(os.path.dirname(BINARY), "e2e-artifacts"))
TITLE = "Tamrels Midi Piano"
# How much slower than its own build the program under test runs (ThreadSanitizer's: about 3):
# the deadlines that a test holds the program to stretch by it.
SLOW = float(os.environ.get("TAMRELS_TIME_SCALE", "1"))
MONITOR_PORT = "midi-monitor:input"
# The JACK peer: midi_record (ours), which stamps each message with its cycle's frame time and
# tells the cycles it did not run in, for a failure to say so; or jack_midi_dump.
MIDI_RECORD = os.environ.get("TAMRELS_MIDI_RECORD", os.path.join(os.path.dirname(BINARY), "tests/e2e/midi_record"))
MONITOR = os.environ.get("TAMRELS_E2E_MONITOR", "midi_record")


_libc = ctypes.CDLL("libc.so.6", use_errno=True)
PR_SET_PDEATHSIG = 1
# One name for every test server: JACK keeps at most eight server names in its shared registry
# and reclaims the entry of a server that died only for the same name. Two checkouts tested at once
# on one machine each set a name of their own.
JACK_SERVER = os.environ.get("TAMRELS_E2E_JACK_SERVER", "tamrels-e2e")


def _die_with_parent():
    """Runs in each child: it gets SIGTERM when the test process dies, however that happens."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


@functools.cache
def realtime_granted():
    """Whether this user may run a thread at real-time priority as jackd asks for its own (round
    robin, 10): root, or a member of a group with real-time limits."""
    return subprocess.run(["chrt", "-r", "10", "true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def wait_until(predicate, timeout=10.0, interval=0.05, what="condition"):
    """what: the failure's words, or a function that gives them as things stand at the deadline."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(interval)
    raise TimeoutError(f"timed out waiting for {what() if callable(what) else what}")


def cpu_ticks(pid):
    """utime + stime of a process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def is_note_off(message):
    return len(message) == 3 and (message[0] & 0xF0 == 0x80 or (message[0] & 0xF0 == 0x90 and message[2] == 0))


def without_repeated_offs(messages):
    """messages without each Note Off that repeats, byte for byte, the last message of its note."""
    last, kept = {}, []
    for m in messages:
        note = (m[0] & 0x0F, m[1]) if len(m) == 3 and m[0] & 0xE0 == 0x80 else None
        if note is not None and is_note_off(m) and last.get(note) == m:
            continue
        if note is not None:
            last[note] = m
        kept.append(m)
    return kept


def note_pairs(notes, channel=0, velocity=127):
    """The Note On and Note Off of each note in turn, as the monitor shows them."""
    messages = []
    for note in notes:
        messages += [(0x90 + channel, note, velocity), (0x80 + channel, note, 0)]
    return messages


class Session:
    """The services one test module needs; started once, stopped by their ids."""

    def __init__(self, jack=True, pulse=True, wm=True, pipewire=False, pipewire_sink=True, jack_period=256,
                 jack_rate=48000, jack_realtime=False, bus=False):
        self.want_jack, self.want_pulse, self.want_wm, self.want_pipewire = jack, pulse, wm, pipewire
        self.want_bus = bus or pipewire  # a session bus
        self.jack_period, self.jack_rate = jack_period, jack_rate  # frames, and frames a second
        # The graph's threads at realtime priority, as on a desktop, where the machine grants it
        # (jackd runs on without it): otherwise a loaded machine makes the peer skip cycles.
        self.jack_realtime = jack_realtime
        self.pipewire_sink = pipewire_sink
        self.procs = []  # (name, Popen), in start order
        self.dump = None
        self.dir = tempfile.mkdtemp(prefix="tamrels-e2e-")
        runtime = os.path.join(self.dir, "xdg")
        os.mkdir(runtime, 0o700)
        self.env = dict(os.environ)
        self.env.update({
            "XDG_RUNTIME_DIR": runtime,
            "JACK_DEFAULT_SERVER": JACK_SERVER,
            "JACK_NO_START_SERVER": "1",
            "HOME": self.dir,
            "LC_ALL": "C.UTF-8",
        })
        # The caller's desktop stays out: its display, sound server, scale and input method.
        for key in ("WAYLAND_DISPLAY", "PULSE_SERVER", "QT_QPA_PLATFORM", "SESSION_MANAGER", "QT_SCALE_FACTOR",
                    "QT_SCREEN_SCALE_FACTORS", "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_IM_MODULE", "XMODIFIERS"):
            self.env.pop(key, None)

    # -- processes --
    def spawn(self, name, args, **kwargs):
        stdout = kwargs.pop("stdout", None)
        env = kwargs.pop("env", self.env)
        stdin = kwargs.pop("stdin", subprocess.DEVNULL)
        with open(os.path.join(self.dir, name + ".log"), "ab") as log:
            proc = subprocess.Popen(args, env=env, stdin=stdin, stdout=stdout or log,
                                    stderr=log, preexec_fn=_die_with_parent, **kwargs)
        if hasattr(stdout, "close"):
            stdout.close()  # the child has its own copy
        self.procs.append((name, proc))
        return proc

    def proc(self, name):
        """The process this session started under name (the first, if several)."""
        return next(p for n, p in self.procs if n == name)

    def hang(self, proc, case):
        """Stops proc, or the process started under that name, as a hung server is, until
        resume(proc); case's cleanup resumes it should the case end first. The process."""
        proc = self.proc(proc) if isinstance(proc, str) else proc
        os.kill(proc.pid, signal.SIGSTOP)
        case.addCleanup(self.resume, proc)
        return proc

    @staticmethod
    def resume(proc):
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGCONT)

    def stop_proc(self, proc, sig=signal.SIGTERM):
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(5 * SLOW)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5 * SLOW)
        self.procs = [(n, p) for (n, p) in self.procs if p is not proc]

    def run(self, args, check=True, timeout=20, **kwargs):
        return subprocess.run(args, env=self.env, check=check, timeout=timeout, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, **kwargs)

    @classmethod
    def for_test(cls, case, **options):
        """A session for one test, stopped when the test ends, however it ends."""
        session = cls(**options).start()

        def stop():
            if failed(case):
                session.print_logs(("probe", "jackd"))
            session.stop()
        case.addCleanup(stop)
        return session

    def print_logs(self, names, marks=None, last=80):
        """The end of each log named (since marks[name], if given): a failed case's evidence. Input
        events (Qt's, and the keys the program played) are many: the last of them only, and every
        other line of the program's own."""
        for name in names:
            lines = self.log(name)[(marks or {}).get(name, 0):].splitlines()
            events = [i for i, line in enumerate(lines) if line.startswith(("qt.qpa.input.events:", "tamrels.ui: key "))]
            if len(events) > last // 2:
                dropped = set(events[:-(last // 2)])
                lines = [line for i, line in enumerate(lines) if i not in dropped]
            if lines:
                # On standard error, as unittest's own lines, so that it stands beside its case.
                print(f"--- {name} log ({len(lines)} lines, the last {last}) ---", *lines[-last:], sep="\n",
                      file=sys.stderr, flush=True)

    def start(self):
        try:
            self._start_x()
            if self.want_jack:
                self._start_jack()
            if self.want_pulse:
                self._start_pulse()
            if self.want_bus:
                self._start_session_bus()
            if self.want_pipewire:
                self.start_pipewire()
        except Exception:
            for name, _ in self.procs:
                print(f"--- {name} log ---")
                print(self.log(name)[-2000:])
            self.stop()
            raise
        return self

    def log(self, name):
        try:
            with open(os.path.join(self.dir, name + ".log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _start_x(self, tries=2):
        for attempt in range(tries):
            read_fd, write_fd = os.pipe()
            xvfb = self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
                                       "-nolisten", "tcp", "-dpi", "96"], pass_fds=(write_fd,))
            os.close(write_fd)
            with os.fdopen(read_fd) as f:
                display = f.readline().strip()
            if not display:
                raise RuntimeError("Xvfb did not start")
            self.env["DISPLAY"] = ":" + display
            if not self.want_wm:
                return
            # Once in a CI run openbox found no display at the number Xvfb had just given: the
            # reason is not known, so the failure says what the server was doing, and the pair
            # is started once more.
            wm = self.spawn("openbox", ["openbox", "--sm-disable"])
            try:
                return wait_until(lambda: wm.poll() is None and self.run(["wmctrl", "-m"], check=False).returncode == 0,
                                  what="the window manager")
            except TimeoutError:
                state = "running" if xvfb.poll() is None else f"ended ({xvfb.returncode})"
                print(f"no window manager on :{display}, Xvfb {state}: {self.log('openbox')[-300:]}",
                      file=sys.stderr, flush=True)
                self.stop_proc(wm)
                self.stop_proc(xvfb)
        raise RuntimeError("the window manager did not start")

    def jack_ports(self):
        """jack_lsp's listing; None where the server did not answer it within 3 s."""
        try:
            listing = self.run(["jack_lsp"], check=False, timeout=3)
        except subprocess.TimeoutExpired:
            return None
        return listing.stdout if listing.returncode == 0 else None

    def _start_jack(self, tries=3):
        for attempt in range(tries):
            # Asked for real-time priority and denied it, jackd runs its graph at normal priority
            # all the same, and counts a late client as an xrun three to six times as often as a
            # server that runs non-realtime (30 s at 256 frames beside three busy loops: 2,000
            # against 330-620). The program takes xruns in a quarter of its cycles for a wake-up
            # that libjack lost and opens its client anew, and the Mapper's sends meanwhile give
            # rc 6. So where the user has no real-time limits the server runs non-realtime.
            realtime = "--realtime" if self.jack_realtime and realtime_granted() else "--no-realtime"
            jackd = self.spawn("jackd", ["jackd", realtime, "-n", self.env["JACK_DEFAULT_SERVER"], "-d", "dummy",
                                         "-r", str(self.jack_rate), "-p", str(self.jack_period)])
            try:
                wait_until(lambda: self.jack_ports() is not None, 10, what="the JACK server")
                self.start_monitor()
                return
            except TimeoutError:
                # Now and then (a restart in a few hundred here) a new jackd 1.9.21 never answers its
                # first clients, and a new 1.9.22 answers one and then no other; another one does.
                # The tests are about the program, not this.
                if attempt == tries - 1:
                    raise
                if self.dump:
                    self.stop_proc(self.dump, signal.SIGKILL)
                self.stop_proc(jackd, signal.SIGKILL)

    def start_monitor(self):
        self.dump_path = os.path.join(self.dir, f"dump-{len(self.procs)}.log")
        out = open(self.dump_path, "wb")
        command = [MIDI_RECORD] if MONITOR == "midi_record" else ["stdbuf", "-oL", "jack_midi_dump"]
        self.dump = self.spawn("jack_midi_dump", command, stdout=out)  # one name: the cases stop it by it
        wait_until(lambda: MONITOR_PORT in (self.jack_ports() or ""), what="the MIDI monitor port")

    def monitor_connected(self, port=MONITOR_PORT):
        """Whether an output of ours is connected to the monitor's port (or to port)."""
        lines = self.run(["jack_lsp", "-c"], check=False).stdout.splitlines()
        at = lines.index(port) if port in lines else len(lines)
        following = lines[at + 1:]
        return any("Tamrels Midi Piano" in line for line in following[:next(
            (i for i, line in enumerate(following) if not line.startswith(" ")), len(following))])

    def peer_runs(self, port=MONITOR_PORT, seconds=0.3, ours=False):
        """Whether jackd reported port's client (and ours, if asked) unfinished in fewer than a
        quarter of the cycles of the next seconds: a wake-up that libjack lost (JackSession::starved)
        has it in most, a busy machine at short periods in a few."""
        names = re.escape(port.split(':')[0]) + (f"|{TITLE}" if ours else "")
        line = re.compile(f"client = ({names}) was not finished")
        before = len(line.findall(self.log("jackd")))
        time.sleep(seconds)
        return len(line.findall(self.log("jackd"))) - before < max(1.0, seconds * self.jack_rate / self.jack_period / 4)

    def wake_ups_lost(self, port=MONITOR_PORT):
        """How often jackd has found port's client woken but never run (\"state = Triggered\"): a
        wake-up that libjack lost, not a slow client (\"Running\")."""
        name = re.escape(port.split(':')[0])
        return len(re.findall(f"client = {name} was not finished, state = Triggered", self.log("jackd")))

    def graph_misses(self):
        """How often jackd has told of a cycle that some client did not finish, or that the server
        itself began late: a recording across one lost or repeated that cycle's sound."""
        return len(re.findall(r"was not finished|JackTimedDriver::Process XRun", self.log("jackd")))

    def linked(self, port=MONITOR_PORT):
        """An output of ours is connected to port, and port's client runs."""
        return self.monitor_connected(port) and self.peer_runs(port)

    def stop_monitor(self):
        self.stop_proc(self.dump)
        wait_until(lambda: MONITOR_PORT not in self.run(["jack_lsp"], check=False).stdout, what="the monitor to go")

    def _start_pulse(self):
        self.spawn("pulseaudio", ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                  "--load=module-null-sink sink_name=test_sink",
                                  "--load=module-native-protocol-unix"])
        wait_until(lambda: self.run(["pactl", "info"], check=False).returncode == 0, what="PulseAudio")
        self.run(["pactl", "set-default-sink", "test_sink"])

    PIPEWIRE_NULL_SINK = """context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "test_sink"
             media.class = "Audio/Sink" audio.position = [ FL FR ] object.linger = true } }
]
"""

    def _start_session_bus(self):
        bus = os.path.join(self.dir, "bus")
        self.spawn("dbus", ["dbus-daemon", "--session", "--nofork", f"--address=unix:path={bus}"])
        wait_until(lambda: os.path.exists(bus), 5, what="the session bus")  # WirePlumber needs it
        self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus}"
        if self.want_pipewire and self.pipewire_sink:
            conf = os.path.join(self.dir, ".config", "pipewire", "pipewire.conf.d")
            os.makedirs(conf)
            with open(os.path.join(conf, "null-sink.conf"), "w") as f:
                f.write(self.PIPEWIRE_NULL_SINK)

    def start_pipewire(self):
        """PipeWire with a null sink "test_sink" (unless the session has none), and WirePlumber, in
        this session's runtime folder."""
        self.spawn("pipewire", ["pipewire"])
        self.spawn("wireplumber", ["wireplumber"])
        node = "test_sink" if self.pipewire_sink else "Dummy-Driver"
        wait_until(lambda: node in self.run(["pw-cli", "ls", "Node"], check=False).stdout, 10, what="PipeWire")

    def stop_pipewire(self, sig=signal.SIGKILL):
        for name in ("wireplumber", "pipewire"):
            self.stop_proc(self.proc(name), sig)

    def restart(self, server, sig=signal.SIGKILL, meanwhile=lambda: None):
        """Stops a server (killed by default, as in a crash), calls meanwhile() while it is gone,
        and starts it again; returns once it answers. "jackd" comes back with its monitor,
        "pipewire" with WirePlumber."""
        if server == "jackd":
            for name, proc in list(self.procs):
                if name in ("jack_midi_dump", "late_peer"):
                    # Cleanly: every client killed leaves its locks in JACK's metadata store in
                    # /dev/shm, and after some hundreds no new client can open it.
                    self.stop_proc(proc)
            self.stop_proc(self.proc("jackd"), sig)
        elif server == "pulseaudio":
            self.stop_proc(self.proc("pulseaudio"), sig)
        else:
            self.stop_pipewire(sig)
        meanwhile()
        {"jackd": self._start_jack, "pulseaudio": self._start_pulse, "pipewire": self.start_pipewire}[server]()

    def stop(self):
        for _, proc in reversed(list(self.procs)):
            self.stop_proc(proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- MIDI that reached the monitor --
    def midi(self, repeats=False, frames=False):
        """Every message the monitor received, as tuples of bytes. A Note Off that repeats the
        last message of its note is left out unless repeats is true: a JACK port sends the Note
        Offs of a cycle again when the peer may not have read it (after an xrun, or a cycle run
        back to back), and a second Note Off is harmless. With frames, each as (frame, message),
        repeats and all: the monitor's record of when it read it, which a stalled graph may write
        only once it runs again."""
        if not self.dump:
            return []
        with open(self.dump_path) as f:
            text = f.read()
        stamped = [(int(m.group(1)), tuple(int(b, 16) for b in m.group(2).split()))
                   for m in re.finditer(r"^\s*(\d+):\s+((?:[0-9a-f]{2} ?)+)", text, re.M)]
        if frames:
            return stamped
        messages = [message for _, message in stamped]
        return messages if repeats else without_repeated_offs(messages)

    def peer_account(self):
        """What midi_record says of its own cycles: from which frame it ran, and the frames in which
        it did not; empty with jack_midi_dump, which says nothing of them."""
        if not self.dump or MONITOR != "midi_record":
            return ""
        with open(self.dump_path) as f:
            text = f.read()
        first = re.search(r"^first (\d+) (\w+)$", text, re.M)
        skips = re.findall(r"^skipped (\d+) frames at (\d+)$", text, re.M)
        if not first:
            return "; the peer never ran a cycle"
        gaps = ", ".join(f"{n} frames at {at}" for n, at in skips) or "none"
        return f"; the peer ran from frame {first.group(1)} ({first.group(2)}), skipped: {gaps}"

    def wait_midi(self, count, timeout=5.0, where=""):
        """Waits until at least count messages have arrived; then a little longer for strays."""
        wait_until(lambda: len(self.midi()) >= count, timeout,
                   what=lambda: f"{count} MIDI messages{where} (got {self.midi()}){self.peer_account()}")
        time.sleep(0.15)
        return self.midi()

    def screenshot(self, name):
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, name + ".png")
        self.run(["import", "-window", "root", path], check=False)
        return path


class Probe:
    """The real service in a helper process, one command at a time."""

    def __init__(self, session, extra_env=None):
        env = {**session.env, "TAMRELS_PROBE_LOG": os.path.join(session.dir, "probe.log"), **(extra_env or {})}
        self.proc = subprocess.Popen([PROBE], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1,
                                     preexec_fn=_die_with_parent)
        # Stopped with the session, before its servers: a failed case's traceback keeps the probe
        # object alive, and its process would take our client's name on the next case's server.
        session.procs.append(("midi_probe", self.proc))

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


class App:
    """The real program on the session's display."""

    scale = 1.0  # Qt's own scale factor: the window's pixels on screen per logical pixel
    window_wait = 15  # seconds (times SLOW) for the program's window to show

    def __init__(self, session, env=None):
        self.s = session
        self.scale = float((env or {}).get("QT_SCALE_FACTOR", 1))
        self.proc = session.spawn("app", [BINARY], env={**session.env, **(env or {})})
        self.shown()

    def shown(self):
        """Waits for the program's window, brings it to the front and measures it."""
        self.win = wait_until(self._find_window, self.window_wait * SLOW, what="the program's window")
        self.s.run(["xdotool", "windowactivate", "--sync", self.win], check=False)
        time.sleep(0.2)
        self.measure()

    def _find_window(self):
        if self.proc.poll() is not None:
            raise RuntimeError(f"the program exited with {self.proc.returncode}")
        out = self.s.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"], check=False).stdout.split()
        return out[0] if out else None

    def measure(self):
        info = self.s.run(["xwininfo", "-id", self.win]).stdout
        field = lambda name: int(re.search(name + r":\s+(-?\d+)", info).group(1))
        self.x, self.y = field("Absolute upper-left X"), field("Absolute upper-left Y")
        self.width, self.height = field("Width"), field("Height")
        self.menu_height = self.height - round(185 * self.scale)  # the client area is the bottom 185 px

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        """Closes the window the way a user does, and waits for the program to end."""
        if self.alive():
            self.s.run(self.close_command(), check=False)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        self.s.stop_proc(self.proc)

    def close_command(self):
        return ["wmctrl", "-i", "-c", self.win]

    # -- pointer, in twips of the client area --
    def point(self, x_twips, y_twips):
        return (self.x + round(x_twips // 15 * self.scale),
                self.y + self.menu_height + round(y_twips // 15 * self.scale))

    def pointer_to(self, x, y):
        """Moves the pointer to screen pixel (x, y). xdotool's --sync waits for a motion, which
        never comes when the pointer is already there."""
        here = self.s.run(["xdotool", "getmouselocation"]).stdout.split()
        if here[:2] != [f"x:{x}", f"y:{y}"]:
            self.s.run(["xdotool", "mousemove", "--sync", str(x), str(y)])

    def move(self, x_twips, y_twips):
        self.pointer_to(*self.point(x_twips, y_twips))

    def press(self, x_twips, y_twips, button=1):
        self.move(x_twips, y_twips)
        self.s.run(["xdotool", "mousedown", str(button)])

    def release(self, button=1):
        self.s.run(["xdotool", "mouseup", str(button)])

    def click(self, x_twips, y_twips, button=1):
        self.press(x_twips, y_twips, button)
        time.sleep(0.05)
        self.release(button)

    def pixel(self, x_twips, y_twips):
        """The colour on screen at a point of the client area, as (r, g, b)."""
        x, y = self.point(x_twips, y_twips)
        out = self.s.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"]).stdout
        m = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[1])
        return tuple(int(v) for v in m.groups())

    # -- keyboard --
    def key(self, *keys, delay=None, clear=True):
        """Types keys. clear lifts held modifiers first, and with them held mouse buttons."""
        args = ["xdotool", "key"] + (["--clearmodifiers"] if clear else [])
        if delay is not None:
            args += ["--delay", str(delay)]
        self.s.run(args + list(keys))

    def keydown(self, key):
        self.s.run(["xdotool", "keydown", key])

    def keyup(self, key):
        self.s.run(["xdotool", "keyup", key])

    # -- menus, walked with the keyboard from a click on "Midi Device" --
    def our_windows(self):
        """The program's visible top-level windows: the main window, an open menu or dialog."""
        return self.s.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)],
                          check=False).stdout.split()

    def answer_base_note(self, *keys):
        """Opens "Base note", types keys into it (the last closes it: Return or Escape), and waits
        until it has closed."""
        self.open_base_note()
        self.wait_window("^Base note$")
        self.key(*keys, delay=30)
        self.wait_alone("the Base note dialog to close")

    def wait_alone(self, what, timeout=5):
        """Waits until the main window is the program's only one (what closed: a menu, a dialog)."""
        wait_until(lambda: len(self.our_windows()) == 1, timeout, what=what)

    def open_menus(self):
        """The program's open menus: its visible windows that the window manager does not manage."""
        return [w for w in self.our_windows() if w != self.win and "Override Redirect State: yes" in
                self.s.run(["xwininfo", "-id", w], check=False).stdout]

    def open_first_menu(self):
        self.pointer_to(self.x + 30, self.y + self.menu_height // 2)
        self.s.run(["xdotool", "click", "1"])
        wait_until(self.open_menus, 5 * SLOW, what="the menu to open")
        shown = time.monotonic()
        time.sleep(0.1)
        return shown

    def choose(self, *keys):
        """Walks the open menus with keys, the last of which chooses; once the menus have closed,
        the time of the choice. The program has taken the choice by then: the window handles it
        before it reads the next event."""
        self.key(*keys[:-1], delay=40)
        time.sleep(0.04)  # the walk's own pace
        chosen = time.monotonic()
        self.key(keys[-1])
        wait_until(lambda: not self.open_menus(), 5 * SLOW, what="the menus to close")
        return chosen

    def choose_device(self, item):
        self.open_first_menu()
        return self.choose(*(["Down"] * (item + 1)), "Return")

    def choose_at_once(self, item, x):
        """Chooses device menu item by XTest on the Xlib display x as soon as the menu opens, with
        no pause for the walk; the time of the choice."""
        from Xlib import X, XK
        from Xlib.ext import xtest
        xtest.fake_input(x, X.MotionNotify, x=self.x + 30, y=self.y + self.menu_height // 2)
        for kind in (X.ButtonPress, X.ButtonRelease):
            xtest.fake_input(x, kind, 1)
        x.sync()
        wait_until(self.open_menus, 5 * SLOW, interval=0, what="the menu to open")
        for key in ["Down"] * (item + 1) + ["Return"]:  # opened by a click, no item is active
            for kind in (X.KeyPress, X.KeyRelease):
                xtest.fake_input(x, kind, x.keysym_to_keycode(XK.string_to_keysym(key)))
        x.sync()
        chosen = time.monotonic()
        wait_until(lambda: not self.open_menus(), 5 * SLOW, what="the menu to close")
        return chosen

    def listed(self):
        """The devices as the MIDI service lists them (a probe asks it)."""
        probe = Probe(self.s)
        names = probe.devices()
        probe.finish()
        return names

    def choose_port(self, name, last=False):
        """Chooses the first (or the last) device menu item of that name, as listed() names them
        after the menu's first item, "MIDI Mapper". The time of the choice; port_item keeps the
        item's place, for choosing it again once the port has gone."""
        items = [i for i, device in enumerate(self.listed()) if device == name]
        self.port_item = 1 + items[-1 if last else 0]
        return self.choose_device(self.port_item)

    def choose_channel(self, item):
        self.open_first_menu()
        return self.choose("Right", *(["Down"] * item), "Return")  # Right opens "Channel" on item 0

    def open_base_note(self):
        """Chooses "Base note"; the time of the choice (the caller waits for the dialog)."""
        self.open_first_menu()
        return self.choose("Right", "Right", "Return")

    def own_titles(self):
        """The titles of the windows the process shows, as X reads them (WM_NAME and _NET_WM_NAME;
        one title a window where the two agree)."""
        titles = []
        for w in self.our_windows():
            names = {self.s.run(["xprop", "-id", w, prop]).stdout.split(" = ", 1)[-1].strip().strip('"')
                     for prop in ("WM_NAME", "_NET_WM_NAME")}
            titles += sorted(names)
        return titles

    # -- physical keys (evdev codes; the X server's are 8 more) under a layout --
    def set_layout(self, layout, variant=""):
        self.s.run(["setxkbmap", "-layout", layout, "-variant", variant])
        assert layout in self.s.run(["setxkbmap", "-query"]).stdout, layout
        time.sleep(0.2)  # Qt reads the new keymap

    def strike(self, *codes, held=()):
        """Strikes each key in turn through XTest, with the held keys down around them."""
        from Xlib import X, display
        from Xlib.ext import xtest
        x = display.Display(self.s.env["DISPLAY"])
        for code in codes:
            for c in (*held, code):
                xtest.fake_input(x, X.KeyPress, c + 8)
            for c in (code, *held):
                xtest.fake_input(x, X.KeyRelease, c + 8)
            x.sync()
            time.sleep(0.01)
        x.close()

    def open_other_window(self):
        """Another program's window, given the focus; its process."""
        other = self.s.spawn("xev", ["xev", "-name", "other-window"])
        self.s.run(["xdotool", "windowactivate", "--sync", self.wait_window("other-window")], check=False)
        return other

    def wait_window(self, title, timeout=5):
        return wait_until(lambda: self.s.run(["xdotool", "search", "--onlyvisible", "--name", title],
                                             check=False).stdout.split(), timeout, what=f"window '{title}'")[0]


def failed(case):
    """Whether a case has failed so far. Python 3.11 leaves _outcome.success true in tearDown
    after a failure that it has already handed to the result, so the result is asked."""
    result = getattr(getattr(case, "_outcome", None), "result", None)
    return result is not None and any(getattr(test, "test_case", test) is case
                                      for test, _ in result.errors + result.failures)


class E2ETestCase(unittest.TestCase):
    """A test class with one Session for all its tests and a fresh App for each test."""

    session_class = None  # Session and App, unless a module has its own
    app_class = None
    session_options = {}
    app_env = {}  # the program's own settings, beside the session's
    windowless = False  # tests of the MIDI service alone, through the probe
    session = None

    @classmethod
    def setUpClass(cls):
        cls.session = (cls.session_class or Session)(**cls.session_options).start()

    @classmethod
    def tearDownClass(cls):
        if cls.session:
            cls.session.stop()

    # What a failed case prints of each log since it began: whether a press reached the program
    # (the window suite logs Qt's input events), what the program said, what jackd saw.
    EVIDENCE = ("app", "jackd")

    def setUp(self):
        self.mark = len(self.session.midi())
        self.log_marks = {name: len(self.session.log(name)) for name in self.EVIDENCE}
        self.app = None if self.windowless else (self.app_class or App)(self.session, self.app_env)

    def tearDown(self):
        if failed(self):
            self.session.print_logs(self.EVIDENCE, self.log_marks)
            if self.app:
                print("screenshot:", self.session.screenshot(self.id()))
        if self.app:
            self.app.close()

    def new_midi(self, count=0, timeout=5.0):
        """Messages that arrived since the test began; waits for count of them first."""
        if count:
            wait_until(lambda: len(self.session.midi()) - self.mark >= count, timeout,
                       what=lambda: f"{count} MIDI messages (got {self.session.midi()[self.mark:]})"
                                    f"{self.session.peer_account()}")
        time.sleep(0.2)
        return self.session.midi()[self.mark:]

    def use_monitor(self):
        """Chooses the JACK monitor port from the device menu by its name, and waits until the server
        shows the connection: the first note after that must arrive. The time of the choice."""
        chosen = self.app.choose_port(MONITOR_PORT)
        wait_until(self.session.linked, 5 * SLOW, what="the connection to the monitor")
        self.mark = len(self.session.midi())
        return chosen
