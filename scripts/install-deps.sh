#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that building and running the program need (--run, for make run)
# or those and everything the tests need (the default, for make test), on Debian 12 and 13 alike.
# Idempotent: packages already present are skipped, and apt is only asked when something is missing.
# It never removes a package: when apt would have to (a conflict with something the machine
# already has), it stops, says which, and changes nothing.
#
#   scripts/install-deps.sh [--run]           install what is missing
#   scripts/install-deps.sh [--run] --list    print the package list, one a line
#
# An entry "a|b" is the first of its names that this release's apt knows: where Debian's releases
# name a thing differently.
set -euo pipefail

run_packages=(
  # build; JACK's headers are jackd2's own, so that apt never swaps a user's jackd2 for JACK 1
  cmake g++ make pkg-config
  qt6-base-dev libgl-dev libfluidsynth-dev libpulse-dev libpipewire-0.3-dev libjack-jackd2-dev
  libasound2-dev libxcb-xkb-dev
  # Qt's SVG plugins, for the window's icon: libqt6svg6's own on Debian 12, a package since
  "qt6-svg-plugins|libqt6svg6"
  # Qt's Wayland platform plugin, for desktops that ask Qt for Wayland
  qt6-wayland
  # the embedded synthesizer's General MIDI sound: a small font
  timgm6mb-soundfont
)
test_packages=(
  ninja-build clang-format libgtest-dev libgmock-dev googletest
  # packaging and its checks
  dpkg-dev desktop-file-utils appstream lintian man-db
  # the base note fuzzer (libFuzzer): the release's own clang and its runtime
  clang libclang-rt-dev
  # FluidR3, the larger General MIDI font, for the benchmarks and the font cases
  fluid-soundfont-gm
  # end-to-end tests: a real X server, a window manager, MIDI and audio peers in user space
  xvfb xauth xdotool x11-utils x11-xserver-utils imagemagick openbox wmctrl
  jackd2 pulseaudio pulseaudio-utils python3 python3-numpy
  # jack_lsp, jack_connect and jack_midi_dump: jackd2's own on Debian 12, a package of their own since
  "jack-example-tools|jackd2"
  # PipeWire in user space, with its JACK library (as pw-jack uses it) and a session bus
  pipewire pipewire-bin wireplumber pipewire-jack dbus
  # the ALSA sequencer's tests: a qemu guest booting Debian's kernel (sound modules included),
  # its tiny initramfs (a static init, the kernel's modules) and aseqdump as the peer
  qemu-system-x86 linux-image-amd64 alsa-utils gcc libc6-dev cpio kmod xz-utils zstd binutils
  # the window on Wayland: sway's headless backend, a virtual keyboard and mouse of the tests' own
  # (built with Wayland's and XKB's libraries), grim for its pictures and foot as another window;
  # XTest from Python and setxkbmap for the layouts on X11
  sway foot grim libwayland-dev libwayland-bin libxkbcommon-dev python3-xlib x11-xkb-utils
  # a second compositor for the scaled window: Weston, on its X11 backend (its headless one
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

only_run=0
list=0
for arg in "$@"; do
  case "$arg" in
    --run) only_run=1 ;;
    --list) list=1 ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done
packages=("${run_packages[@]}")
if [ "$only_run" -eq 0 ]; then packages+=("${test_packages[@]}"); fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
# What apt knows (installed, or to be had from this release) of every name in the list, asked once.
declare -A KNOWN=()
learn() {
  KNOWN=()
  local name
  while read -r name; do KNOWN[$name]=1; done < <(
    # shellcheck disable=SC2046
    apt-cache policy $(printf '%s\n' "${packages[@]}" | tr '|' '\n') 2>/dev/null |
      awk '/^[^ ]/ {sub(/:$/, "", $1); name = $1} $1 == "Candidate:" && $2 != "(none)" {print name}')
}
known() {
  [ -n "${KNOWN[$1]:-}" ]
}
learn
# The name an entry stands for: the first of its names that apt knows (installed, or to be had
# from this release), else the first installed, else the first.
resolve() {
  local IFS='|' name
  local -a names
  read -ra names <<<"$1"
  for name in "${names[@]}"; do
    if known "$name"; then echo "$name"; return; fi
  done
  for name in "${names[@]}"; do
    if installed "$name"; then echo "$name"; return; fi
  done
  echo "${names[0]}"
}

if [ "$list" -eq 1 ]; then
  for entry in "${packages[@]}"; do resolve "$entry"; done | awk '!seen[$0]++'
  exit 0
fi

missing=()
for entry in "${packages[@]}"; do
  name=$(resolve "$entry")
  if ! installed "$name"; then missing+=("$entry"); fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime priority; answer once, without a terminal.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
learn
names=()
unknown=()
for entry in "${missing[@]}"; do
  name=$(resolve "$entry")
  if ! known "$name"; then unknown+=("$name"); fi
  names+=("$name")
done
if [ ${#unknown[@]} -gt 0 ]; then
  echo "install-deps: this release's apt knows no package ${unknown[*]}; nothing was changed" >&2
  exit 1
fi
mapfile -t missing < <(printf '%s\n' "${names[@]}" | awk '!seen[$0]++')
echo "Installing: ${missing[*]}"

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
