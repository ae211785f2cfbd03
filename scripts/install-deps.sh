#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that the build, the program and the tests need.
# Idempotent: packages already present are skipped, and apt is only asked when something is missing.
# It never removes a package: when apt would have to (a conflict with something the machine
# already has), it stops, says which, and changes nothing.
#
#   scripts/install-deps.sh           install what is missing
#   scripts/install-deps.sh --list    print the package list, one a line
set -euo pipefail

packages=(
  # build; JACK's headers are jackd2's own, so that apt never swaps a user's jackd2 for JACK 1
  cmake g++ make ninja-build pkg-config clang-format
  qt6-base-dev libgl-dev libfluidsynth-dev libpulse-dev libpipewire-0.3-dev libjack-jackd2-dev
  libasound2-dev libgtest-dev googletest libqt6svg6 libxcb-xkb-dev
  # Qt's Wayland platform plugin, for desktops that ask Qt for Wayland
  qt6-wayland
  # packaging and its checks
  dpkg-dev desktop-file-utils appstream lintian man-db
  # the base note fuzzer (libFuzzer)
  clang libclang-rt-14-dev
  # the embedded synthesizer's General MIDI sound (a small font, and FluidR3 for the benchmarks)
  timgm6mb-soundfont fluid-soundfont-gm
  # end-to-end tests: a real X server, a window manager, MIDI and audio peers in user space
  xvfb xauth xdotool x11-utils x11-xserver-utils imagemagick openbox wmctrl
  jackd2 pulseaudio pulseaudio-utils python3 python3-numpy
  # the Mapper's JACK ports recorded through a pipe, as the sound servers' monitors are
  jack-capture
  # PipeWire in user space, with its JACK library (as pw-jack uses it) and a session bus
  pipewire pipewire-bin wireplumber pipewire-jack dbus
  # the ALSA sequencer's tests: a qemu guest booting Debian's kernel (sound modules included),
  # its tiny initramfs (a static init, the kernel's modules) and aseqdump as the peer
  qemu-system-x86 linux-image-amd64 alsa-utils gcc libc6-dev cpio kmod xz-utils binutils
  # the window on Wayland: sway's headless backend, a virtual keyboard and mouse of the tests' own
  # (built with Wayland's and XKB's libraries), grim for its pictures and foot as another window;
  # XTest from Python and setxkbmap for the layouts on X11
  sway foot grim libwayland-dev libwayland-bin libxkbcommon-dev python3-xlib x11-xkb-utils
  # a second compositor for the scaled window: Weston 10, on its X11 backend (its headless one
  # takes no input, and Weston offers no virtual keyboard or pointer), driven through Xvfb
  weston
  # input methods: IBus (Qt's module for it is Qt's own) and Fcitx 5 with its Qt 6 module; the
  # tests start them. Without im-config (recommended, so not installed here) neither takes over a
  # desktop's input method at the next log-in.
  ibus fcitx5 fcitx5-frontend-qt6
  # fonts so that the key legends render under Xvfb
  fonts-dejavu-core
  # what a screen reader reads: the AT-SPI bus launcher and registry (the tests start them on their
  # own session bus) and pyatspi, through which the tests read the window's tree as Orca does
  at-spi2-core python3-pyatspi
)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime priority; answer once, without a terminal.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq

# First a simulation: apt lists what it would remove as "Remv" lines.
removals=$(apt-get install -s --no-install-recommends "${missing[@]}" </dev/null |
  awk '$1 == "Remv" {print $2}' | sort -u | tr '\n' ' ')
if [ -n "$removals" ]; then
  echo "install-deps: installing these packages would remove: $removals" >&2
  echo "install-deps: nothing was changed. Install the missing packages by hand, choosing" >&2
  echo "install-deps: what to keep: ${missing[*]}" >&2
  exit 1
fi
# --no-remove: should the real run still want to remove something, apt stops instead.
$SUDO apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" </dev/null
