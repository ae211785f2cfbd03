# SPDX-License-Identifier: GPL-3.0-or-later
"""Benchmarks of the program beside VMPK and a floor (a bare Qt window for launch and memory, the
server's own client streaming silence at the Mapper's latency for CPU while playing): launch time, memory,
idle CPU, key to sound and CPU while playing through PulseAudio and through PipeWire, key-to-MIDI
latency at a JACK port, the cost of a send to an ALSA port and key to MIDI at aseqdump's port (both
in a qemu guest), the synthesizer's stream latency and the time to open the MIDI Mapper.

Every figure comes from real processes on a real X server (Xvfb), a real JACK server (dummy
driver), a real PulseAudio (null sink) and a real PipeWire (null sink), started here and stopped by
their ids."""

import argparse
import glob
import os
import platform
import random
import re
import select
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import audio  # noqa: E402
import harness  # noqa: E402
import sound  # noqa: E402
from harness import App, Session, wait_until  # noqa: E402

CLK_TCK = os.sysconf("SC_CLK_TCK")
MAPPER_QUANTUM = 128  # frames: the quantum the Mapper's PipeWire stream asks for (SynthConfig)
# The floor of CPU while playing: each server's own client streaming silence at the Mapper's
# latency (SynthConfig: 6 ms asked of PulseAudio, 128 frames of PipeWire), in its sample format.
PACAT = ["pacat", "--raw", "-d", "test_sink", "--format=float32le", "--rate=48000", "--channels=2",
         "--latency-msec=6"]
PW_CAT = ["pw-cat", "--playback", "--target", "test_sink", "--format=f32", "--rate=48000", "--channels=2",
          f"--latency={MAPPER_QUANTUM}", "-"]
FLUIDR3 = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
TIMGM = "/usr/share/sounds/sf2/TimGM6mb.sf2"


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


cpu_ticks = harness.cpu_ticks


def launch(session, args, title, display):
    """Starts args and returns (process, seconds until its window named title was mapped)."""
    from Xlib import X

    root = display.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    display.sync()
    start = time.perf_counter()
    proc = session.spawn("bench-" + os.path.basename(args[0]), args)
    deadline = start + 30
    while time.perf_counter() < deadline:
        while display.pending_events():
            event = display.next_event()
            if event.type == X.MapNotify and not event.override:
                try:
                    name = event.window.get_wm_name()
                except Exception:
                    name = None
                if name == title:
                    return proc, time.perf_counter() - start
        select.select([display.fileno()], [], [], 0.01)
    session.stop_proc(proc)
    raise TimeoutError(f"{title} did not show")


def measure_launches(session, programs, runs, idle_runs=3):
    """Launch to window mapped, memory after 1.5 s and idle CPU, the programs taking turns."""
    from Xlib import display as xdisplay

    d = xdisplay.Display(session.env["DISPLAY"])
    results = {name: {"launches": [], "rss": [], "idle": []} for name in programs}
    for i in range(runs):
        for name, (args, title) in programs.items():
            proc, seconds = launch(session, args, title, d)
            results[name]["launches"].append(seconds * 1000)
            time.sleep(1.5)  # the window shows, the synthesizer is open and settled
            results[name]["rss"].append(rss_kib(proc.pid) / 1024)
            if i < idle_runs and name != "floor":
                before = cpu_ticks(proc.pid)
                time.sleep(5)
                results[name]["idle"].append(cpu_ticks(proc.pid) - before)
            session.stop_proc(proc)
    d.close()
    return {name: {"launch": statistics.median(r["launches"]), "rss": statistics.median(r["rss"]),
                   "idle": statistics.median(r["idle"]) if r["idle"] else float("nan"), "launches": r["launches"]}
            for name, r in results.items()}


def mapper_asleep(session, pipewire=False):
    if pipewire:
        nodes = session.run(["pw-cli", "ls", "Node"], check=False).stdout.split("\tid ")
        node = next((n for n in nodes if 'node.name = "Tamrels Midi Piano"' in n), "")
        return not node or 'state: "running"' not in session.run(["pw-cli", "info", node.split(",")[0]]).stdout
    inputs = session.run(["pactl", "list", "sink-inputs"]).stdout.split("Sink Input #")
    mapper = next((i for i in inputs if 'media.name = "MIDI Mapper"' in i), "")
    return not mapper or "Corked: yes" in mapper


def thread_totals(pid):
    """CPU time (ms, from the scheduler's own account, exact where ticks are sampled) and context
    switches (each wake-up of a thread is one) of every thread of pid so far."""
    ms = switches = 0
    for task in glob.glob(f"/proc/{pid}/task/*"):
        try:
            with open(task + "/schedstat") as f:
                ms += int(f.read().split()[0]) / 1e6
            with open(task + "/status") as f:
                switches += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
        except OSError:
            pass  # a thread that ended meanwhile
    return ms, switches


def start_program(session, args, title):
    proc = session.spawn("sound-" + os.path.basename(args[0]), args)
    win = wait_until(lambda: session.run(["xdotool", "search", "--onlyvisible", "--name", title],
                                         check=False).stdout.split(), 30, what=title)[0]
    session.run(["xdotool", "windowactivate", "--sync", win], check=False)
    time.sleep(1.5)
    return proc


def cpu_meanwhile(session, proc, during):
    """proc's CPU (ms and ticks) and wake-ups a second while during() runs (10 s), and the sound
    server's CPU meanwhile."""
    server = next(p for name, p in session.procs if name in ("pulseaudio", "pipewire", "jackd"))
    (ms, switches), (server_ms, _), ticks = thread_totals(proc.pid), thread_totals(server.pid), cpu_ticks(proc.pid)
    during()
    (ms2, switches2), (server_ms2, _) = thread_totals(proc.pid), thread_totals(server.pid)
    return {"ms": ms2 - ms, "ticks": cpu_ticks(proc.pid) - ticks, "wakeups": (switches2 - switches) / 10,
            "server_ms": server_ms2 - server_ms}


def cpu_while_playing(session, args, title):
    """One run: cpu_meanwhile while a key is struck every half second for 10 s. Nothing records: a
    recorder sets the sink's rhythm (parec at 2 ms wakes every stream of the null sink that often), and
    the graph of PipeWire runs at the smallest quantum any stream asks for."""
    proc = start_program(session, args, title)
    keyboard = sound.Keyboard(session.env["DISPLAY"])
    try:
        time.sleep(1)
        return cpu_meanwhile(session, proc, lambda: sound.play_phrase(keyboard))
    finally:
        keyboard.close()
        session.stop_proc(proc)


def cpu_of_bare_stream(session, args):
    """The floor of CPU while playing: the server's own client (pacat, pw-cat) streaming silence at the
    Mapper's latency for 10 s, no synthesizer and no window."""
    with open("/dev/zero", "rb") as zero:
        proc = session.spawn("floor-" + args[0], args, stdin=zero)
    try:
        time.sleep(1.5)
        return cpu_meanwhile(session, proc, lambda: time.sleep(10))
    finally:
        session.stop_proc(proc)


def cpu_side_by_side(session, programs, rounds=3):
    """cpu_while_playing for each program in turn, rounds times; the median of each figure. The
    turns alternate, so that a machine whose speed drifts (a shared host) weighs on all alike. A
    program without a window title is a bare stream (cpu_of_bare_stream)."""
    runs = {name: [] for name in programs}
    for _ in range(rounds):
        for name, (args, title) in programs.items():
            runs[name].append(cpu_while_playing(session, args, title) if title else cpu_of_bare_stream(session, args))
    return {name: {key: statistics.median(r[key] for r in rs) for key in rs[0]} for name, rs in runs.items()}


def measure_sound(session, args, title, strikes, asleep_strikes=0, pipewire=False, quantum=64):
    """Key to sound (after a warm-up strike) and strikes after the stream has gone to sleep; on
    PipeWire, where the recording asks for quantum (frames), also CPU for 5 s once it sleeps."""
    proc = start_program(session, args, title)
    recorder = audio.Recorder(session, "pipewire" if pipewire else "pulseaudio", quantum)
    keyboard = sound.Keyboard(session.env["DISPLAY"])
    try:
        result = sound.key_to_sound(recorder, keyboard, strikes)
        asleep = []
        for _ in range(asleep_strikes):
            wait_until(lambda: mapper_asleep(session, pipewire), 30, interval=0.2, what="the stream to sleep")
            asleep.append(sound.strike(recorder, keyboard))
        result["asleep"] = asleep
        if pipewire:
            recorder.stop()
            recorder = None
            wait_until(lambda: mapper_asleep(session, pipewire), 30, interval=0.2, what="the stream to sleep")
            before = harness.cpu_ticks(proc.pid)
            time.sleep(5)
            result["idle"] = harness.cpu_ticks(proc.pid) - before
    finally:
        keyboard.close()
        if recorder:
            recorder.stop()
        session.stop_proc(proc)
    return result


def pipewire_quantum(session, probe):
    """The quantum PipeWire's graph ran the Mapper's stream at, in milliseconds, as the stream saw it,
    with the recorder of the key-to-sound figures running: the graph runs at the smallest quantum
    that any of its streams asks for."""
    recorder = audio.Recorder(session, "pipewire", MAPPER_QUANTUM)
    proc = subprocess.Popen([probe], env=session.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    proc.stdin.write("open -1\nsend 7f3c90\n")
    proc.stdin.flush()
    proc.stdout.readline()
    proc.stdout.readline()
    time.sleep(1.5)  # the font, then the note
    proc.stdin.write("synth\n")
    proc.stdin.flush()
    sink, ms = proc.stdout.readline().split()[:2]
    proc.stdin.write("send 003c80\nclose\n")
    proc.stdin.close()
    proc.wait(15)
    recorder.stop()
    return sink, float(ms)


def key_to_midi(session, presses):
    """XTest key presses to the Note On arriving at a JACK port, in milliseconds."""
    import jack
    from Xlib import X, XK
    from Xlib import display as xdisplay
    from Xlib.ext import xtest

    os.environ["JACK_DEFAULT_SERVER"] = session.env["JACK_DEFAULT_SERVER"]
    client = jack.Client("bench-monitor", no_start_server=True)
    port = client.midi_inports.register("input")
    arrivals = []

    @client.set_process_callback
    def process(frames):
        # The time the message reached the port: the start of the cycle that carries it, plus its
        # offset in the cycle, in JACK's clock (frames).
        cycle_start = client.last_frame_time
        for offset, buffer in port.incoming_midi_events():
            data = bytes(buffer)
            if len(data) == 3 and data[0] & 0xF0 == 0x90:
                arrivals.append(cycle_start + offset)

    client.activate()
    period_ms = 1000.0 * client.blocksize / client.samplerate
    try:
        app = App(session)
        app.choose_port("bench-monitor:input")
        # A note sent before the link is there waits for it, and is dropped after 100 ms.
        wait_until(lambda: session.monitor_connected("bench-monitor:input"), 10, what="the link to the port")
        d = xdisplay.Display(session.env["DISPLAY"])
        keycode = d.keysym_to_keycode(XK.string_to_keysym("z"))
        latencies, injection, missed = [], [], 0
        for _ in range(presses):
            count = len(arrivals)
            sent = client.frame_time  # now, in JACK's clock
            before = time.perf_counter()
            xtest.fake_input(d, X.KeyPress, keycode)
            d.sync()
            injection.append((time.perf_counter() - before) * 1000)
            try:
                wait_until(lambda: len(arrivals) > count, 2, interval=0.0002, what="the Note On")
                latencies.append((arrivals[count] - sent) * 1000.0 / client.samplerate)
            except TimeoutError:
                missed += 1  # reported beside the figure: the run goes on
                del arrivals[count:]
            xtest.fake_input(d, X.KeyRelease, keycode)
            d.sync()
            time.sleep(random.uniform(0.010, 0.020))  # spread the presses over the JACK period
        d.close()
        app.close()
    finally:
        client.deactivate()
        client.close()
    latencies.sort()
    return {"median": statistics.median(latencies), "p99": latencies[int(0.99 * (len(latencies) - 1))],
            "period": period_ms, "injection": statistics.median(injection), "missed": missed}


def synth_latency(session, probe):
    """The synthesizer's buffer as configured, and the latency PulseAudio reports for its stream."""
    proc = subprocess.Popen([probe], env=session.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    proc.stdin.write("open -1\nsynth\nsend 7f3c90\n")  # the stream runs while a note sounds
    proc.stdin.flush()
    proc.stdout.readline()
    configured = float(proc.stdout.readline().split()[1])
    proc.stdout.readline()
    time.sleep(3)  # past the null sink's first wake-up
    info = session.run(["pactl", "list", "sink-inputs"]).stdout
    buffer_us = [int(line.split()[2]) for line in info.splitlines() if "Buffer Latency" in line]
    proc.stdin.write("send 003c80\nclose\n")
    proc.stdin.close()
    proc.wait(15)
    return configured, (buffer_us[0] / 1000 if buffer_us else float("nan"))


def send_cost(session, probe, count=2000, opens=15):
    """The mean time midiOutShortMsg takes the caller for a note to a live JACK port (µs), and
    the median time midiOutOpen of that port takes the caller (ms, through the probe's pipe)."""
    proc = subprocess.Popen([probe], env=session.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    proc.stdin.write("list\n")
    proc.stdin.flush()
    names = []
    while (line := proc.stdout.readline().strip()) != "end":
        names.append(line.split(" ", 1)[1])
    port = names.index("midi-monitor:input")
    open_ms = []
    for _ in range(opens):
        start = time.perf_counter()
        proc.stdin.write(f"open {port}\n")
        proc.stdin.flush()
        answer = proc.stdout.readline().strip()
        open_ms.append((time.perf_counter() - start) * 1000)
        assert answer == "rc 0", answer
        proc.stdin.write("close\n")
        proc.stdin.flush()
        proc.stdout.readline()
        time.sleep(0.05)
    proc.stdin.write(f"open {port}\ncost {count}\nclose\n")
    proc.stdin.close()
    answers = proc.stdout.read().split("\n")
    proc.wait(30)
    assert answers[0] == "rc 0", answers
    return float(answers[1].split()[1]), statistics.median(open_ms)


def alsa_in_guest(binary, probe, stamper, presses):
    """In one boot of the ALSA guest: the mean time midiOutShortMsg takes the caller for a note to
    aseqdump's port (µs, the median of three means of 2,000; alsa_send.sh) and the same for a bare
    sequencer client (the floor), then key to MIDI at
    aseqdump's port (ms; alsa_key.py), and whether that guest emulates its CPU (no usable KVM),
    which makes every system call many times slower."""
    runner = os.path.join(HERE, "..", "tests", "e2e", "alsa_vm", "run-in-vm.sh")
    env = dict(os.environ, ALSA_VM_MODULES="snd-seq-dummy", ALSA_VM_TIMES="1", TAMRELS_BINARY=binary,
               TAMRELS_PROBE=probe)
    script = '"$1" "$2" "$3" && /usr/bin/python3 "$4" "$5" "$6"'
    floor = os.path.join(os.path.dirname(stamper), "bench_alsa_send_floor")
    out = subprocess.run([runner, "/bin/sh", "-c", script, "alsa-guest", os.path.join(HERE, "alsa_send.sh"), probe,
                          floor, os.path.join(HERE, "alsa_key.py"), stamper, str(presses)],
                         env=env, capture_output=True, text=True, timeout=480)
    values = lambda key: [float(line.split()[1]) for line in out.stdout.splitlines() if line.startswith(key + " ")]
    means, floors, latencies = values("us"), values("floor"), sorted(values("ms"))
    if (out.returncode != 0 or len(means) != 3 or len(floors) != 3 or "at aseqdump 3000 3000" not in out.stdout
            or len(latencies) != presses or not re.search(r"^at aseqdump (\d+) of \1$", out.stdout, re.M)):
        raise RuntimeError(f"the ALSA guest failed: {out.stdout}{out.stderr}")
    return {"cost": statistics.median(means), "floor": statistics.median(floors), "emulated": "tcg" in out.stderr, "presses": presses,
            "median": statistics.median(latencies), "p90": latencies[int(0.9 * (len(latencies) - 1))],
            "read": statistics.median(values("read")), "injection": statistics.median(values("inject"))}


def open_time(session, probe, font, runs=7):
    folder = tempfile.mkdtemp(dir=session.dir)
    os.symlink(font, os.path.join(folder, os.path.basename(font)))
    env = dict(session.env, TAMRELS_SOUNDFONT_DIR=folder)
    times = []
    for _ in range(runs):
        proc = subprocess.Popen([probe], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        proc.stdin.write("list\n")  # the service is up and its ports are listed
        proc.stdin.flush()
        while proc.stdout.readline().strip() != "end":
            pass
        # The service prepares the Mapper as it starts; this open is the first, so it may still
        # be waiting for that. Measured from a later open, the figure is the open alone.
        proc.stdin.write("open -1\nclose\n")
        proc.stdin.flush()
        proc.stdout.readline()
        proc.stdout.readline()
        start = time.perf_counter()
        proc.stdin.write("open -1\n")
        proc.stdin.flush()
        answer = proc.stdout.readline()
        times.append((time.perf_counter() - start) * 1000)
        assert answer.strip() == "rc 0", answer
        proc.stdin.close()
        proc.wait(15)
    return statistics.median(times)


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    mem = int(open("/proc/meminfo").readline().split()[1]) // (1024 * 1024)
    distro = next((line.split("=", 1)[1].strip().strip('"') for line in open("/etc/os-release")
                   if line.startswith("PRETTY_NAME")), "")
    vmpk = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "vmpk"], capture_output=True, text=True).stdout
    return f"{cpu}, {os.cpu_count()} cores, {mem} GiB; {distro}; kernel {platform.release()}; VMPK {vmpk}"


def fmt(value, digits=1):
    return "–" if value is None or value != value else f"{value:.{digits}f}"


def ratio(a, b):
    return f"{a / b:.2f}" if b else "–"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--stamper", required=True)
    parser.add_argument("--out")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--strikes", type=int, default=10)
    parser.add_argument("--cpu-rounds", type=int, default=3)
    parser.add_argument("--presses", type=int, default=1000)
    parser.add_argument("--alsa-presses", type=int, default=200)
    parser.add_argument("--long-presses", type=int, default=200)
    args = parser.parse_args()
    binary, probe, floor, stamper = (os.path.abspath(p) for p in (args.binary, args.probe, args.floor, args.stamper))
    harness.BINARY = binary  # the program key to MIDI starts through harness.App
    programs = {"ours": ([binary], "Tamrels Midi Piano"), "vmpk": (["vmpk"], "Virtual MIDI Piano Keyboard"),
                "floor": ([floor], "Bare Qt window")}

    # PulseAudio, no JACK server: the desktop most users have.
    session = Session(jack=False, pulse=True, wm=False).start()
    try:
        started = measure_launches(session, programs, args.runs)
        configured, reported = synth_latency(session, probe)
        open_large = open_time(session, probe, FLUIDR3)
        open_small = open_time(session, probe, TIMGM)
    finally:
        session.stop()
    sounding = {"ours": ([binary], "^Tamrels Midi Piano$"), "vmpk": (["vmpk"], "Virtual MIDI Piano Keyboard")}
    session = Session(jack=False, pulse=True, wm=True).start()
    try:
        heard = {"ours": measure_sound(session, *sounding["ours"], args.strikes, 2),
                 "vmpk": measure_sound(session, *sounding["vmpk"], args.strikes)}
        cpu = cpu_side_by_side(session, dict(sounding, floor=(PACAT, None)), args.cpu_rounds)
    finally:
        session.stop()
    # PipeWire, no PulseAudio: the Mapper's own PipeWire stream, key to sound recorded at the
    # Mapper's own quantum so that the graph runs at it, as it does when nothing records.
    # VMPK plays beside it through pipewire-pulse, PipeWire's PulseAudio server.
    session = Session(jack=False, pulse=False, wm=True, pipewire=True).start()
    try:
        session.spawn("pipewire-pulse", ["pipewire-pulse"])
        wait_until(lambda: session.run(["pactl", "info"], check=False).returncode == 0, what="pipewire-pulse")
        heard_pw = measure_sound(session, *sounding["ours"], args.strikes, 2, pipewire=True, quantum=MAPPER_QUANTUM)
        heard_pw_vmpk = measure_sound(session, *sounding["vmpk"], args.strikes, pipewire=True, quantum=MAPPER_QUANTUM)
        cpu_pw = cpu_side_by_side(session, dict(sounding, floor=(PW_CAT, None)), args.cpu_rounds)
        pw_sink, pw_quantum = pipewire_quantum(session, probe)
    finally:
        session.stop()
    # JACK: the Mapper renders in the server's process cycle (256 frames, 5.33 ms).
    session = Session(jack=True, pulse=False, wm=True).start()
    try:
        cpu_jack = cpu_side_by_side(session, {"ours": sounding["ours"]}, args.cpu_rounds)["ours"]
    finally:
        session.stop()
    # With a JACK server running: what listing its ports costs the launch, and key to MIDI.
    session = Session(jack=True, pulse=True, wm=False).start()
    try:
        with_jack = measure_launches(session, {"ours": programs["ours"]}, args.runs, idle_runs=0)["ours"]
        cost, jack_open = send_cost(session, probe)
    finally:
        session.stop()
    session = Session(jack=True, pulse=True, wm=True).start()
    try:
        latency = key_to_midi(session, args.presses)
    finally:
        session.stop()
    # The same at a long period (4,096 frames, 85 ms): a note still waits for the next cycle only.
    session = Session(jack=True, pulse=True, wm=True, jack_period=4096).start()
    try:
        long_latency = key_to_midi(session, args.long_presses)
    finally:
        session.stop()
    alsa = alsa_in_guest(binary, probe, stamper, args.alsa_presses)
    emulated = alsa["emulated"]

    ours, vmpk, bare = started["ours"], started["vmpk"], started["floor"]
    a, b, p = heard["ours"], heard["vmpk"], heard_pw
    c, v, cp, vp, cj = cpu["ours"], cpu["vmpk"], cpu_pw["ours"], cpu_pw["vmpk"], cpu_jack
    fc, fp = cpu["floor"], cpu_pw["floor"]
    q = heard_pw_vmpk
    beside = lambda cpu_ms, kts: f"{fmt(cpu_ms, 0)} ({fmt(kts)})"
    rows = [
        ("CPU while a key is struck every 0.5 s for 10 s through PulseAudio, ours beside VMPK in one run, median "
         "of %d (ms), with key to sound in brackets (median, ms)" % args.cpu_rounds,
         beside(c["ms"], a["median"]), beside(v["ms"], b["median"]), fmt(fc["ms"], 0), ratio(c["ms"], v["ms"]),
         "≤ VMPK, key to sound ≤ 8", c["ms"] <= v["ms"] and a["median"] <= 8),
        ("The same through PipeWire: ours on its own stream, VMPK through pipewire-pulse (ms; key to sound in "
         "brackets, ms)", beside(cp["ms"], p["median"]), beside(vp["ms"], q["median"]), fmt(fp["ms"], 0),
         ratio(cp["ms"], vp["ms"]),
         "≤ VMPK, key to sound ≤ 8", cp["ms"] <= vp["ms"] and p["median"] <= 8),
        ("Key to sound through PulseAudio, median of %d (ms)" % args.strikes, fmt(a["median"]), fmt(b["median"]),
         "–", ratio(a["median"], b["median"]), "≤ 8", a["median"] <= 8),
        ("Key to sound through PulseAudio, 90th percentile (ms)", fmt(a["p90"]), fmt(b["p90"]), "–",
         ratio(a["p90"], b["p90"]), "–", True),
        ("Key to sound, the stream asleep (ms, each strike)", ", ".join(fmt(t) for t in a["asleep"]), "–", "–", "–",
         "≤ 10", all(t is not None and t <= 10 for t in a["asleep"])),
        ("CPU through PulseAudio as above, in ticks of 1/%d s" % CLK_TCK, fmt(c["ticks"], 0), fmt(v["ticks"], 0), "–",
         ratio(c["ticks"], v["ticks"]), "–", True),
        ("Wake-ups of the program's threads meanwhile (context switches a second)", fmt(c["wakeups"], 0),
         fmt(v["wakeups"], 0), fmt(fc["wakeups"], 0), ratio(c["wakeups"], v["wakeups"]), "–", True),
        ("PulseAudio's own CPU meanwhile (ms)", fmt(c["server_ms"], 0), fmt(v["server_ms"], 0),
         fmt(fc["server_ms"], 0), ratio(c["server_ms"], v["server_ms"]), "–", True),
        ("Key to sound through PipeWire (our own stream), median of %d (ms)" % args.strikes, fmt(p["median"]), "–",
         "–", "–", "≤ 8", p["median"] <= 8),
        ("Key to sound through PipeWire, 90th percentile (ms)", fmt(p["p90"]), "–", "–", "–", "≤ 10", p["p90"] <= 10),
        ("Key to sound through PipeWire, the stream asleep (ms, each strike)", ", ".join(fmt(t) for t in p["asleep"]),
         "–", "–", "–", "≤ 10", all(t is not None and t <= 10 for t in p["asleep"])),
        ("Quantum PipeWire's graph ran the Mapper's stream at while measuring (ms; it asks %.2f; sink %s)"
         % (1000 * MAPPER_QUANTUM / 48000, pw_sink), f"{pw_quantum:.2f}", "–", "–", "–", "–", True),
        ("Wake-ups on PipeWire meanwhile (context switches a second), and PipeWire's own CPU (ms)",
         f"{fmt(cp['wakeups'], 0)}; {fmt(cp['server_ms'], 0)}", f"{fmt(vp['wakeups'], 0)}; {fmt(vp['server_ms'], 0)}",
         f"{fmt(fp['wakeups'], 0)}; {fmt(fp['server_ms'], 0)}", "–", "–", True),
        ("CPU on JACK (256 frames) while a key is struck every 0.5 s for 10 s, median of %d (ms); wake-ups a second; "
         "jackd's own CPU (ms)" % args.cpu_rounds, f"{fmt(cj['ms'], 0)}; {fmt(cj['wakeups'], 0)}; "
         f"{fmt(cj['server_ms'], 0)}", "n/a", "–", "–", "–", True),
        ("CPU on PipeWire for 5 s once the stream sleeps (ticks)", f"{p['idle']}", "–", "–", "–", "0", p["idle"] == 0),
        ("Launch to window mapped, median of %d (ms)" % args.runs, fmt(ours["launch"], 0), fmt(vmpk["launch"], 0),
         fmt(bare["launch"], 0), ratio(ours["launch"], vmpk["launch"]), "≤ 0.8 × VMPK and ≤ 40",
         ours["launch"] <= min(40, 0.8 * vmpk["launch"])),
        ("Launch to window mapped with a JACK server running, median (ms)", fmt(with_jack["launch"], 0), "–", "–", "–",
         "≤ launch without it + 5", with_jack["launch"] <= ours["launch"] + 5),
        ("Resident memory 1.5 s after launch (MiB)", fmt(ours["rss"]), fmt(vmpk["rss"]), fmt(bare["rss"]),
         ratio(ours["rss"], vmpk["rss"]), "≤ 0.75 × VMPK", ours["rss"] <= 0.75 * vmpk["rss"]),
        ("CPU while idle for 5 s (ticks of 1/%d s)" % CLK_TCK, fmt(ours["idle"], 0), fmt(vmpk["idle"], 0), "–",
         "–", "0", ours["idle"] == 0),
        ("Key to MIDI at a JACK port, median of %d (ms; presses whose Note On never came)" % args.presses,
         f"{latency['median']:.2f} ({latency['missed']} missed)", "n/a", "–", "–",
         f"≤ {latency['period'] / 2 + 0.5:.2f} (half a period + 0.5), none missed",
         latency["median"] <= latency["period"] / 2 + 0.5 and latency["missed"] == 0),
        ("Key to MIDI at a JACK port, 99th percentile (ms)", f"{latency['p99']:.2f}", "n/a", "–", "–",
         f"≤ {latency['period'] + 0.2:.2f}", latency["p99"] <= latency["period"] + 0.2),
        ("Key to MIDI at a JACK port at 4,096 frames (%.1f ms), median of %d (ms)"
         % (long_latency["period"], args.long_presses),
         f"{long_latency['median']:.2f} ({long_latency['missed']} missed)", "n/a", "–", "–",
         f"≤ {long_latency['period'] + 0.2:.2f} (a period + 0.2), none missed",
         long_latency["median"] <= long_latency["period"] + 0.2 and long_latency["missed"] == 0),
        ("midiOutShortMsg of a note to a live JACK port, cost to the caller, mean of 2000 (µs)", f"{cost:.2f}", "–",
         "–", "–", "≤ 1", cost <= 1),
        # Under emulation every instruction costs many times its native figure: the floor is a bare
        # client's send of the same note, what any sender pays there.
        ("midiOutShortMsg of a note to an ALSA port (aseqdump), cost to the caller, in the qemu guest%s (µs)"
         % (", emulated: report only" if emulated else ""), f"{alsa['cost']:.2f}", "–", f"{alsa['floor']:.2f}",
         ratio(alsa["cost"], alsa["floor"]), "–" if emulated else "≤ 2", emulated or alsa["cost"] <= 2),
        ("Key to MIDI at aseqdump (ALSA), in the qemu guest%s, median of %d (ms)"
         % (", emulated: report only" if emulated else "", alsa["presses"]), f"{alsa['median']:.2f}", "–", "–",
         "–", "–", True),
        ("Key to MIDI at aseqdump (ALSA), in the qemu guest, 90th percentile (ms)", f"{alsa['p90']:.2f}", "–", "–",
         "–", "–", True),
        ("XTest press and X round trip in the guest's benchmark, median (ms)", f"{alsa['injection']:.2f}", "–", "–",
         "–", "–", True),
        ("midiOutOpen of a JACK port, time to the caller through the probe's pipe, median of 15 (ms)",
         f"{jack_open:.2f}", "–", "–", "–", "≤ 5", jack_open <= 5),
        ("XTest press and X round trip in the benchmark itself, median (ms)", f"{latency['injection']:.2f}", "–",
         "–", "–", "–", True),
        ("Synthesizer stream latency granted by PulseAudio (ms)", f"{configured:.2f}", "–", "–", "–", "–", True),
        ("Synthesizer buffer latency reported by pactl (ms)", f"{reported:.2f}", "–", "–", "–", "–", True),
        ("midiOutOpen(-1) with FluidR3 GM, 148 MB, the font then loading on its own thread (ms)", f"{open_large:.1f}", "–", "–", "–", "< 100", open_large < 100),
        ("midiOutOpen(-1) with TimGM6mb, 6 MB, likewise (ms)", f"{open_small:.1f}", "–", "–", "–", "–", True),
    ]
    lines = ["| Measure | Tamrels Midi Piano | VMPK | floor | ratio to VMPK | target | met |",
             "|---|---:|---:|---:|---:|---|---|"]
    lines += [f"| {m} | {x} | {y} | {z} | {r} | {t} | {'yes' if ok else 'no'} |" for m, x, y, z, r, t, ok in rows]
    table = "\n".join(lines)
    print(table)
    print("launches (ms):", {k: [round(v) for v in r["launches"]] for k, r in started.items()})
    print(f"ALSA guest: from the delivery at the port to a reader's read, median {alsa['read']:.2f} ms")
    if args.out:
        with open(args.out, "w") as f:
            f.write("# Benchmarks\n\n")
            f.write("Made by `make bench` (`bench/run.sh`, `bench/bench.py`): the table from the run's own "
                    "measurements, the notes below it from `bench/notes.md`. Edit those, not this page: an "
                    "edit by hand is lost at the next run.\n\n")
            f.write(f"Latest `make bench`, {time.strftime('%Y-%m-%d')}, on {machine()}.\n\n")
            f.write("PulseAudio and PipeWire: a null sink each; key to sound is recorded from its monitor "
                    "(parec, pw-record). JACK: dummy driver, "
                    f"{latency['period']:.2f} ms period. Xvfb at 96 dpi, no window manager for launch, memory and "
                    "CPU; the three programs take turns. The floor is a bare Qt window for launch and memory, and the server's own "
                    "client (pacat, pw-cat) streaming silence at the Mapper's latency for CPU while playing. VMPK runs with its out-of-the-box settings (its EAS "
                    "synthesizer on PulseAudio; it has no JACK MIDI output, so key to MIDI has no VMPK figure). "
                    "Launch, memory and sound are measured with no JACK server running unless a row says so. "
                    "ALSA: a qemu guest with the kernel's sequencer (snd-seq-dummy) and aseqdump as the "
                    "receiving port; under emulation its figures are reported, not held to targets.\n\n")
            f.write(table + "\n\n")
            f.write("Launches of the table's run (ms): " + "; ".join(
                f"{k} " + ", ".join(str(round(v)) for v in r["launches"]) for k, r in started.items()) + ".\n")
            notes = os.path.join(HERE, "notes.md")
            if os.path.exists(notes):
                with open(notes) as n:
                    f.write(n.read())


if __name__ == "__main__":
    main()
