# SPDX-License-Identifier: GPL-3.0-or-later
"""The Debian package: what it holds and needs, lintian's verdict, its desktop entry and metainfo,
and the program it installs starting with its icon beside its manual page."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BINARY, Session, wait_until

BUILD = os.path.dirname(os.path.abspath(BINARY))
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../..")
APP_ID = "org.tamrels.MidiPiano"


def run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=300, **kwargs)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tamrels-package-")
        run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.dir])
        debs = glob.glob(os.path.join(cls.dir, "*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        cls.root = os.path.join(cls.dir, "root")
        run(["dpkg-deb", "-x", cls.deb, cls.root])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_metadata_and_contents(self):
        depends = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        for needed in ("libqt6widgets6", "libasound2", "libfluidsynth3", "timgm6mb-soundfont | fluid-soundfont-gm"):
            self.assertIn(needed, depends)
        self.assertRegex(depends, r"\b(libqt6svg6|qt6-svg-plugins)\b")  # the icon's plugin: Debian 12's, 13's
        self.assertIn("qt6-wayland", run(["dpkg-deb", "-f", self.deb, "Recommends"]).stdout)
        files = run(["dpkg-deb", "-c", self.deb]).stdout
        for path in ("./usr/bin/tamrels-midi-piano", f"./usr/share/applications/{APP_ID}.desktop",
                     f"./usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg",
                     f"./usr/share/metainfo/{APP_ID}.metainfo.xml"):
            self.assertIn(path, files)

    def test_desktop_entry_and_metainfo_validate(self):
        run(["desktop-file-validate", os.path.join(self.root, f"usr/share/applications/{APP_ID}.desktop")])
        # No homepage until the project has a web address: AppStream 1.0 (Debian 13) warns of it,
        # and that one tag is lowered (the package's lintian override says the same); 0.16 knows
        # no such tag.
        version = re.search(r"(\d+)\.", run(["appstreamcli", "--version"]).stdout).group(1)
        lowered = ["--override=url-homepage-missing=info"] if int(version) >= 1 else []
        run(["appstreamcli", "validate", "--no-net", "--explain", *lowered,
             os.path.join(self.root, f"usr/share/metainfo/{APP_ID}.metainfo.xml")])

    def test_dependencies_resolve_on_debian(self):
        if not glob.glob("/var/lib/apt/lists/*_Packages*"):
            self.skipTest("no apt package lists on this machine")
        out = run(["apt-get", "install", "--simulate", "--no-install-recommends", self.deb]).stdout
        self.assertIn("tamrels-midi-piano", out)

    def test_lintian_finds_nothing_and_every_code_file_carries_the_licence(self):
        run(["lintian", "--fail-on", "error,warning", "--allow-root", self.deb])
        code = run(["git", "ls-files", "*.cpp", "*.h", "*.py", "*.sh", "*CMakeLists.txt", "Makefile"],
                   cwd=SOURCE).stdout.split()
        self.assertGreater(len(code), 50)
        unlicensed = [f for f in code
                      if "SPDX-License-Identifier: GPL-3.0-or-later" not in open(os.path.join(SOURCE, f)).read(300)]
        self.assertEqual(unlicensed, [])

    def test_installed_program_starts_with_its_icon_and_its_manual_page_reads(self):
        if os.geteuid() != 0:
            self.skipTest("installing a package needs root")
        installed_before = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "tamrels-midi-piano"],
                                          capture_output=True, text=True).stdout.startswith("install ok")
        run(["dpkg", "-i", self.deb])
        if not installed_before:
            self.addCleanup(run, ["dpkg", "-r", "tamrels-midi-piano"])  # after the session has stopped
        session = Session.for_test(self, jack=False, pulse=True, wm=False)
        manual = " ".join(run(["man", "-l", "/usr/share/man/man1/tamrels-midi-piano.1.gz"]).stdout.split())
        for text in ("seventeen", "Couldn't open midi out, rc = N", "default-GM.sf2", "OPTIONS None"):
            self.assertIn(text, manual)
        app = session.spawn("installed", ["/usr/bin/tamrels-midi-piano"])
        win = wait_until(lambda: session.run(["xdotool", "search", "--onlyvisible", "--name",
                                              "^Tamrels Midi Piano$"], check=False).stdout.split(), 15,
                         what="the installed program's window")[0]
        icon = session.run(["xprop", "-id", win, "_NET_WM_ICON"]).stdout
        self.assertIn("Icon (", icon)  # the window carries the program's icon
        session.stop_proc(app)  # SIGTERM: the program closes like its window would
        self.assertEqual(app.returncode, 0)

class InstallScript(unittest.TestCase):
    """scripts/install-deps.sh installs what is missing and never removes a package."""

    SCRIPT = os.path.join(SOURCE, "scripts/install-deps.sh")

    def test_package_list_installs_without_removing_anything_and_jackd2_stays(self):
        if not glob.glob("/var/lib/apt/lists/*_Packages*"):
            self.skipTest("no apt package lists on this machine")
        packages = run(["bash", self.SCRIPT, "--list"]).stdout.split()
        self.assertIn("libjack-jackd2-dev", packages)  # not JACK 1's headers, which replace jackd2
        self.assertIn("qt6-wayland", packages)
        # make run's share: the program's build and its sound, none of the test lab
        program = run(["bash", self.SCRIPT, "--run", "--list"]).stdout.split()
        self.assertIn("qt6-wayland", program)
        self.assertEqual(set(program) - set(packages), set())
        self.assertEqual({"xvfb", "sway", "qemu-system-x86", "linux-image-amd64"} & set(program), set())
        simulated = run(["apt-get", "install", "--simulate", "--no-install-recommends", *packages]).stdout
        self.assertEqual([line for line in simulated.splitlines() if line.startswith("Remv")], [])

    def run_script(self, missing, removes=False):
        """The script with stand-ins on PATH: dpkg-query finds every package but missing, apt-get
        logs its calls (its simulation removes jackd2 if removes); the result and apt's calls."""
        fake = tempfile.mkdtemp(prefix="tamrels-apt-")
        self.addCleanup(shutil.rmtree, fake, True)
        calls = os.path.join(fake, "calls")
        open(calls, "w").close()
        removal = ('; echo "Remv jackd2 [1.9.21~dfsg-3]"; echo "Remv libjack-jackd2-0 [1.9.21~dfsg-3]"'
                   if removes else "")
        scripts = {
            "dpkg-query": 'for p in "$@"; do :; done\n'
                          f'case " {" ".join(missing)} " in *" $p "*) exit 1;; esac\necho "install ok installed"',
            "debconf-set-selections": "cat > /dev/null",
            "sudo": '"$@"',
            "apt-get": f'echo "$*" >> {calls}\n'
                       f'case " $* " in *" -s "*) echo "Inst libjack-dev (1:0.126)"{removal};; esac',
        }
        for name, body in scripts.items():
            path = os.path.join(fake, name)
            with open(path, "w") as f:
                f.write("#!/bin/sh\n" + body + "\n")
            os.chmod(path, 0o755)
        env = dict(os.environ, PATH=fake + ":" + os.environ["PATH"])
        result = subprocess.run(["bash", self.SCRIPT], capture_output=True, text=True, env=env,
                                stdin=subprocess.DEVNULL, timeout=60)
        with open(calls) as f:
            return result, f.read().splitlines()

    def test_only_the_missing_packages_are_installed_and_apt_may_remove_none(self):
        result, calls = self.run_script(["qt6-wayland", "jackd2"])
        self.assertEqual(result.returncode, 0, result.stderr)
        installs = [line.split() for line in calls if line.startswith("install")]
        self.assertEqual(len(installs), 2, calls)  # the simulation, then the one that installs
        self.assertIn("-s", installs[0])
        self.assertIn("--no-remove", installs[1])  # should apt still want to remove, it stops
        for call in installs:
            self.assertEqual(sorted(word for word in call if not word.startswith("-") and word != "install"),
                             ["jackd2", "qt6-wayland"], call)
        result, calls = self.run_script([])  # nothing missing: apt is not asked
        self.assertEqual((result.returncode, calls), (0, []), result.stderr)

    def test_a_removal_stops_the_script_before_apt_changes_anything(self):
        # Every package is missing, and apt's simulation would remove jackd2.
        packages = run(["bash", self.SCRIPT, "--list"]).stdout.split()
        result, calls = self.run_script(packages, removes=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("would remove: jackd2 libjack-jackd2-0", result.stderr)
        installs = [line for line in calls if line.startswith("install")]
        self.assertTrue(installs)
        self.assertTrue(all(" -s " in f" {line} " for line in installs), installs)  # only simulated


if __name__ == "__main__":
    unittest.main()
