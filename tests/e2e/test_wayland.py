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

from harness import BINARY, SLOW, TITLE, App, E2ETestCase, Session, wait_until
import test_keyboard
import test_window
from test_keyboard import KEY_CODES, KEYS, SHIFT

WL_INPUT = os.environ.get("TAMRELS_WL_INPUT", os.path.join(os.path.dirname(BINARY), "tests/e2e/wl_input"))

# evdev codes of the other keys the cases type, by xdotool's names
NAMED_CODES = {**dict(zip(KEYS, KEY_CODES)), "Down": 108, "Right": 106, "Return": 28, "Escape": 1,
               "BackSpace": 14, "ctrl": 29, "shift": SHIFT, "a": 30, "space": 57, "Left": 105,
               **{str(d): 2 + (d - 1) % 10 for d in range(10)}}
BUTTONS = {1: 272, 3: 273}  # xdotool's buttons as evdev codes

SWAY_CONFIG = """xwayland disable
output HEADLESS-1 resolution 1600x1200 scale {scale}
default_border none
default_floating_border none
seat * hide_cursor 100
"""


class WaylandSession(Session):
    """The services of Session, with sway in place of the X server, in a runtime folder of its own;
    the program reaches its socket by path. sway does not run as root: under root it runs as nobody,
    under a normal user as that user."""

    def __init__(self, scale=1, **options):
        super().__init__(**options)
        self.scale = scale  # the output's: the program starts on it, as at log-in

    def _start_x(self):
        self.sway_dir = tempfile.mkdtemp(prefix="tamrels-sway-")
        os.chmod(self.sway_dir, 0o700)
        as_nobody = []
        if os.geteuid() == 0:
            shutil.chown(self.sway_dir, "nobody", "nogroup")
            as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--pdeathsig", "keep"]
        config = os.path.join(self.sway_dir, "config")
        with open(config, "w") as f:
            f.write(SWAY_CONFIG.format(scale=self.scale))
        env = {"PATH": os.environ["PATH"], "HOME": self.sway_dir, "XDG_RUNTIME_DIR": self.sway_dir,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        self.spawn("sway", [*as_nobody, "sway", "-c", config], env=env)
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

    def shown(self):
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

    def wait_alone(self, what, timeout=5):
        wait_until(lambda: len(self.nodes("")) == 1, timeout, what=what)  # sway's tree: no dialog left

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
        # The middle of pixel (x, y) of sway's tree, where a hand's pointer lies, not its edge.
        # sway 1.7 centres the window half a pixel right of where its tree says (227.5 at scale 2,
        # 227 in the tree); sway 1.10 puts it on the whole pixel. And the virtual pointer moves to
        # a fraction of the output's box: pixel 251 of 800 came back as 250.99999999999997, which
        # libwayland 1.23 truncates to the wl_fixed below, 1/256 of a pixel before the key.
        w, h = self.screen["width"], self.screen["height"]
        self.s.send(f"move {2 * x + 1} {2 * y + 1} {2 * w} {2 * h}")

    def press(self, x_twips, y_twips, button=1):
        self.move(x_twips, y_twips)
        self.s.send(f"button {BUTTONS[button]} 1")

    def release(self, button=1):
        self.s.send(f"button {BUTTONS[button]} 0")
        # A hand's pace, not a guard against lost clicks: with 1 ms here, sway's virtual pointer
        # lost none of 561 clicks (33 runs of the 17 keys, idle and under three busy loops; every
        # press and release reached the program's wl_pointer). What went missing then was MIDI, in
        # 7 runs: jack_midi_dump, "not finished" in a JACK xrun, missed a cycle and with it a Note
        # On, or a Note Off and the next Note On written in the same cycle. At 30 ms: 170 of 170.
        time.sleep(0.03)

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

    def set_layout(self, layout, variant=""):
        self.s.send(f"layout {layout} {variant}")

    def open_other_window(self):
        return self.s.spawn("foot", ["foot", "--title", "other-window", "sleep", "30"])  # sway focuses it

    def own_titles(self):
        """The titles of the process's windows, as sway shows them."""
        return [n["name"] for n in self.nodes("")]

    def open_first_menu(self):
        self.pointer_to(self.x + 30, self.y + self.menu_height // 2)
        self.s.send("button 272 1", "button 272 0")
        time.sleep(0.3)

    def pixel(self, x_twips, y_twips):
        """The colour drawn at a point of the client area, read off the output's own pixels (the
        pointer, drawn into them too, hides after 0.1 s still)."""
        time.sleep(0.15)
        path = self.s.screenshot("pixel")
        x, y = (round(v * self.output_scale) for v in self.point(x_twips, y_twips))
        out = self.s.run(["convert", path, "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"]).stdout
        os.remove(path)
        return tuple(int(v) for v in re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[1]).groups())


class OnWayland:
    session_class = WaylandSession
    session_options = {"pulse": False, "jack_realtime": True}  # the graph as on a desktop
    app_class = WaylandApp


class KeyboardOnWayland(OnWayland, test_keyboard.KeyboardCases, E2ETestCase):
    pass


class WindowOnWayland(OnWayland, test_window.Window):
    # The long run of strikes under JACK's hiccups tests the output, not the window system: it
    # runs on X11 alone.
    test_every_strike_reaches_the_peer_in_order_while_the_server_hiccups = None


class WindowOnWaylandAtScale2(WindowOnWayland):
    """Logical pixels where the mouse goes, twice as many on the output where it is drawn."""
    session_options = {**OnWayland.session_options, "scale": 2}


class WindowOnWaylandAtScale1_25(WindowOnWayland):
    """Fractional output scales: sway 1.7 tells Qt the next integer and scales its buffers down."""
    session_options = {**OnWayland.session_options, "scale": 1.25}


class WindowOnWaylandAtScale1_5(WindowOnWayland):
    session_options = {**OnWayland.session_options, "scale": 1.5}


class WestonSession(Session):
    """Weston 10 in Xvfb at an integer output scale, with its kiosk shell: the window centred on a
    black output, which is the X window's own pixels. Weston offers no virtual keyboard or pointer
    and Debian ships no test plugin, so its headless backend takes no input; its X11 backend does,
    and XTest drives the program through Weston's own seat."""

    SOCKET = "wayland-tamrels"

    def __init__(self, scale=2, **options):
        super().__init__(wm=False, **options)
        self.scale = scale

    def _start_x(self):
        super()._start_x()
        # An output smaller than the X screen: the pointer can leave it, and its arrow with it.
        self.spawn("weston", ["weston", "--backend=x11-backend.so", "--use-pixman", f"--scale={self.scale}",
                              f"--width={960 // self.scale}", f"--height={720 // self.scale}",
                              "--shell=kiosk-shell.so", "--no-config", f"--socket={self.SOCKET}"])
        wait_until(lambda: os.path.exists(os.path.join(self.env["XDG_RUNTIME_DIR"], self.SOCKET)), 10, what="weston")
        self.env.update({"WAYLAND_DISPLAY": self.SOCKET, "QT_QPA_PLATFORM": "wayland"})


class WestonApp(App):
    """The program on Weston; positions in the output's pixels, as on X11 at Qt's own scale. Its
    title is what the program sends Weston (WAYLAND_DEBUG); its place, where the output shows it."""

    def __init__(self, session, env=None):
        self.s, self.scale = session, session.scale
        self.s.run(["xdotool", "mousemove", "1000", "740"])  # off the output: no arrow in the picture
        self.log_mark = len(session.log("app"))
        self.proc = session.spawn("app", [BINARY], env={**session.env, **(env or {}), "WAYLAND_DEBUG": "1"})
        wait_until(self.measure, 15 * SLOW, what="the program's window")

    def measure(self):
        """The window's top, and the client area's place and width, read off the output: Weston 10
        with Qt 6.4 centres the fixed-size window on black; with Weston 14 and Qt 6.8 the window
        takes the kiosk's whole output, the client area at its top left. The window is the box of
        all that is not black; the client area the largest patch of its own grey (grey pixels
        also edge the menu's lettering and the pointer's arrow)."""
        if self.proc.poll() is not None:
            raise RuntimeError(f"the program exited with {self.proc.returncode}")
        path = os.path.join(self.s.dir, "output.png")
        self.s.run(["import", "-window", "root", "-crop", "960x720+0+0", "+repage", path])
        convert = lambda *args: self.s.run(["convert", path, *args]).stdout
        window = re.search(r" \d+x\d+ \S+\+\d+\+(\d+)",  # none while all is black
                           convert("-bordercolor", "black", "-border", "1", "-trim", "info:"))
        patches = re.findall(r"(\d+)x(\d+)\+(\d+)\+(\d+) \S+ (\d+) \S*192", convert(
            "-fill", "black", "+opaque", "#C0C0C0", "-define", "connected-components:verbose=true",
            "-connected-components", "8", "null:"))
        if not window or not patches:
            return False
        self.width, _, self.x, top, _ = max((tuple(map(int, p)) for p in patches), key=lambda p: p[4])
        self.y = int(window[1]) - 1  # less the border's pixel
        self.menu_height = top - self.y
        return self.menu_height > 0

    def close(self):
        self.s.stop_proc(self.proc)  # the kiosk shell has no close button

    def own_titles(self):
        """The title the process last asked Weston for (Weston has no list of its own to ask)."""
        return re.findall(r'xdg_toplevel[@#]\d+\.set_title\("(.*)"\)', self.s.log("app")[self.log_mark:])[-1:]

    def open_first_menu(self):
        self.pointer_to(self.x + 30 * self.scale, self.y + self.menu_height // 2)
        self.s.run(["xdotool", "click", "1"])
        time.sleep(0.3)


class WindowOnWestonAtScale2(test_window.Window):
    """The scaled window on a second compositor; the unscaled one is sway's alone."""
    session_class = WestonSession
    session_options = {"pulse": False, "jack_realtime": True, "scale": 2}
    app_class = WestonApp
    test_every_strike_reaches_the_peer_in_order_while_the_server_hiccups = None  # X11's alone


class InputMethodsOnWayland(test_keyboard.InputMethods):
    session_class = WaylandSession
    app_class = WaylandApp


if __name__ == "__main__":
    unittest.main()
