# SPDX-License-Identifier: GPL-3.0-or-later
"""The real window on Wayland: sway's headless backend, the program on Qt's Wayland plugin, and a
virtual keyboard and mouse (wl_input) that send evdev key codes under a layout's own keymap."""

import glob
import json
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import BINARY, SLOW, TITLE, App, E2ETestCase, Session, note_pairs, wait_until
import test_keyboard
from test_keyboard import ALTGR, KEY_CODES, KEYS, LAYOUTS, SHIFT
from test_window import middle

WL_INPUT = os.environ.get("TAMRELS_WL_INPUT", os.path.join(os.path.dirname(BINARY), "tests/e2e/wl_input"))

# evdev codes of the other keys the cases type, by xdotool's names
NAMED_CODES = {**dict(zip(KEYS, KEY_CODES)), "Down": 108, "Right": 106, "Return": 28, "Escape": 1,
               "BackSpace": 14, "ctrl": 29, "shift": SHIFT, "a": 30, **{str(d): 2 + (d - 1) % 10 for d in range(10)}}

SWAY_CONFIG = """xwayland disable
output HEADLESS-1 resolution 1600x1200 scale 1
default_border none
default_floating_border none
"""


class WaylandSession(Session):
    """The services of Session, with sway in place of the X server. sway does not run as root:
    it runs as nobody, in a runtime folder of its own, and the program reaches its socket by path."""

    def _start_x(self):
        self.sway_dir = tempfile.mkdtemp(prefix="tamrels-sway-")
        os.chmod(self.sway_dir, 0o700)
        shutil.chown(self.sway_dir, "nobody", "nogroup")
        config = os.path.join(self.sway_dir, "config")
        with open(config, "w") as f:
            f.write(SWAY_CONFIG)
        env = {"PATH": os.environ["PATH"], "HOME": self.sway_dir, "XDG_RUNTIME_DIR": self.sway_dir,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        self.spawn("sway", ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--pdeathsig", "keep",
                           "sway", "-c", config],
                   env=env)
        sockets = lambda: [p for p in glob.glob(os.path.join(self.sway_dir, "wayland-*")) if not p.endswith(".lock")]
        wait_until(lambda: sockets() and glob.glob(os.path.join(self.sway_dir, "sway-ipc.*")), 10, what="sway")
        self.env.pop("DISPLAY", None)
        self.env.update({"WAYLAND_DISPLAY": sockets()[0], "QT_QPA_PLATFORM": "wayland",
                         "SWAYSOCK": glob.glob(os.path.join(self.sway_dir, "sway-ipc.*"))[0]})
        self.input = self.spawn("wl_input", [WL_INPUT], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.send("layout us")

    def stop(self):
        super().stop()
        shutil.rmtree(getattr(self, "sway_dir", ""), ignore_errors=True)

    def send(self, *lines, timeout=5):
        for line in lines:
            self.input.stdin.write((line + "\n").encode())
            self.input.stdin.flush()
            # A compositor that hangs leaves the round trip unanswered: no test waits for it.
            if not select.select([self.input.stdout], [], [], timeout)[0]:
                raise AssertionError(f"wl_input: no answer to {line!r} within {timeout} s")
            answer = self.input.stdout.readline().decode().strip()
            if answer != "ok":
                raise AssertionError(f"wl_input: {line!r} gave {answer!r}: {self.log('wl_input')}")

    def swaymsg(self, *args):
        return json.loads(self.run(["swaymsg", "-r"] + list(args)).stdout or "null")

    def screenshot(self, name):
        path = os.path.join(os.environ.get("TAMRELS_ARTIFACTS", self.dir), name + ".png")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.run(["grim", path], check=False)
        return path


class WaylandApp(App):
    """The program on sway, driven by wl_input; positions in twips of the client area."""

    def __init__(self, session, env=None):
        self.s = session
        self.proc = session.spawn("app", [BINARY], env={**session.env, **(env or {})})
        wait_until(self.measure, 15 * SLOW, what="the program's window")
        time.sleep(0.3)

    def nodes(self, title=TITLE):
        """The program's windows whose title matches."""
        if self.proc.poll() is not None:
            raise RuntimeError(f"the program exited with {self.proc.returncode}")
        found = []

        def walk(n):
            if n.get("pid") == self.proc.pid and re.search(title, n.get("name") or ""):
                found.append(n)
            for c in n.get("nodes", []) + n.get("floating_nodes", []):
                walk(c)
        walk(self.s.swaymsg("-t", "get_tree"))
        return found

    def wait_window(self, title, timeout=5):
        return wait_until(lambda: self.nodes(title), timeout, what=f"window '{title}'")[0]

    def measure(self):
        """The window's place and size in logical pixels, and the output's box and scale."""
        node = next(iter(self.nodes(f"^{TITLE}$")), None)
        if not node or node["rect"]["height"] < 185:
            return False
        rect = node["rect"]
        self.x, self.y, self.width, self.height = rect["x"], rect["y"], rect["width"], rect["height"]
        self.menu_height = self.height - 185  # the client area is the bottom 185 px
        output = self.s.swaymsg("-t", "get_outputs")[0]
        self.screen, self.output_scale = output["rect"], output["scale"]
        return True

    def close_command(self):
        return ["swaymsg", f"[pid={self.proc.pid}]", "kill"]

    def pointer_to(self, x, y):
        self.s.send(f"move {x} {y} {self.screen['width']} {self.screen['height']}")

    def press(self, x_twips, y_twips, button=1):
        self.move(x_twips, y_twips)
        self.s.send("button 272 1")

    def release(self, button=1):
        self.s.send("button 272 0")
        time.sleep(0.03)  # as a hand does: the next press is not in the same moment

    def strike(self, *codes, held=()):
        self.s.send(*[f"key {c} 1" for c in held])
        for code in codes:
            self.s.send(f"key {code} 1", f"key {code} 0")
        self.s.send(*[f"key {c} 0" for c in held])

    def key(self, *keys, delay=None, clear=True):
        for key in keys:
            *held, last = key.split("+")
            self.strike(NAMED_CODES[last], held=[NAMED_CODES[h] for h in held])
            time.sleep((delay or 0) / 1000)

    def keydown(self, key):
        self.s.send(f"key {NAMED_CODES[key]} 1")

    def keyup(self, key):
        self.s.send(f"key {NAMED_CODES[key]} 0")

    def open_first_menu(self):
        self.pointer_to(self.x + 30, self.y + self.menu_height // 2)
        self.s.send("button 272 1", "button 272 0")
        time.sleep(0.3)

    def pixel(self, x_twips, y_twips):
        """The colour drawn at a point of the client area, read off the output's own pixels."""
        path = self.s.screenshot(f"pixel-{time.monotonic_ns()}")
        x, y = (round(v * self.output_scale) for v in self.point(x_twips, y_twips))
        out = self.s.run(["convert", path, "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"]).stdout
        os.remove(path)
        return tuple(int(v) for v in re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[1]).groups())


class Wayland(E2ETestCase):
    session_class = WaylandSession
    session_options = {"pulse": False}

    def setUp(self):
        self.mark = len(self.session.midi())
        self.app = WaylandApp(self.session)
        self.app.choose_device(1)  # the monitor, with the virtual mouse and keyboard
        self.mark = len(self.session.midi())

    def test_the_seventeen_physical_keys_play_the_same_notes_under_every_layout(self):
        self.addCleanup(self.session.send, "layout us")
        for layout, variant in LAYOUTS:
            self.session.send(f"layout {layout} {variant}")
            mark = len(self.session.midi())
            self.app.strike(*KEY_CODES)
            self.app.strike(KEY_CODES[0], held=[SHIFT])  # shifted and AltGr: the same key
            self.app.strike(KEY_CODES[16], held=[ALTGR])
            self.session.wait_midi(mark + 38)
            self.assertEqual(self.session.midi()[mark:], note_pairs(list(range(60, 77)) + [60, 76]),
                             f"{layout} {variant}")

    def test_the_mouse_plays_the_key_under_it_scaled_or_not(self):
        for scale in (1, 2):
            if scale != 1:  # the program started on an output at that scale, as at log-in
                self.app.close()
                self.session.run(["swaymsg", "output", "HEADLESS-1", "scale", str(scale)])
                self.addCleanup(self.session.run, ["swaymsg", "output", "HEADLESS-1", "scale", "1"])
                self.setUp()
            self.assertEqual(self.app.output_scale, scale)
            self.assertEqual(self.app.width, 345, f"the window's logical width at scale {scale}")
            # Drawn in proportion: the output's own pixels under a white and a black key.
            self.assertEqual(self.app.pixel(2760 + 247, 1800), (255, 255, 255), f"scale {scale}")
            self.assertEqual(self.app.pixel(2640 + 127, 600), (0, 0, 0), f"scale {scale}")
            mark = len(self.session.midi())
            for i in range(17):
                self.app.click(*middle(i))
            # Overlaps and edges: a black key over white keys, the white key under it, the shared
            # column, the first and last pixel columns of the keys, and no key at all.
            for x, y in [(720 + 30, 600), (720 + 30, 1500), (840 + 5, 1800), (360, 1800), (5160, 1800),
                         (1000, 2400)]:
                self.app.click(x, y)
            got = self.session.wait_midi(mark + 44)[mark:]
            self.assertEqual(got, note_pairs(list(range(60, 77)) + [61, 60, 62, 60, 76]), f"scale {scale}")

    def test_a_key_held_while_another_window_takes_the_focus_is_switched_off(self):
        self.app.keydown("z")
        other = None
        try:
            self.session.wait_midi(self.mark + 1)
            other = self.session.spawn("foot", ["foot", "--title", "other-window", "sleep", "30"])
            self.assertEqual(self.new_midi(2), [(0x90, 60, 127), (0x80, 60, 0)])
        finally:
            self.app.keyup("z")  # the key-up goes to the other window
            if other:
                self.session.stop_proc(other)
        self.assertEqual(len(self.new_midi()), 2)


class InputMethodsOnWayland(test_keyboard.InputMethods):
    session_class = WaylandSession
    app_class = WaylandApp


if __name__ == "__main__":
    unittest.main()
