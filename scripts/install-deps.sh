#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that the build, the program and the tests need.
# Idempotent: packages already present are skipped, and apt is only asked when something is missing.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config clang-format
  qt6-base-dev libgl-dev librtmidi-dev libfluidsynth-dev libpulse-dev libgtest-dev googletest libqt6svg6
  # packaging and its checks
  dpkg-dev desktop-file-utils appstream lintian man-db
  # the base note fuzzer (libFuzzer)
  clang libclang-rt-14-dev
  # the embedded synthesizer's General MIDI sound (a small font, and FluidR3 for the benchmarks)
  timgm6mb-soundfont fluid-soundfont-gm
  # end-to-end tests: a real X server, a window manager, MIDI and audio peers in user space
  xvfb xauth xdotool x11-utils x11-xserver-utils imagemagick openbox wmctrl
  jackd2 pulseaudio pulseaudio-utils python3 python3-numpy
  # fonts so that the key legends render under Xvfb
  fonts-dejavu-core
)

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
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
