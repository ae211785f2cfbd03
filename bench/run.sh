#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# make bench: measures the program side by side with VMPK, a widely used virtual keyboard, on the
# same Xvfb display and the same sound server, prints the table and keeps it in docs/benchmarks.md.
# VMPK and the benchmark's Python modules are installed here, for the benchmark only.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for p in vmpk pipewire-pulse python3-jack-client python3-xlib; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# The JACK output's rules through many more random server schedules than make test runs.
TAMRELS_SCHEDULES=100000 build/tests/unit/unit_tests --gtest_filter='JackSchedules.*' --gtest_brief=1

/usr/bin/python3 bench/bench.py --binary build/tamrels-midi-piano --probe build/tests/e2e/midi_probe \
  --floor build/bench/bench_floor --stamper build/bench/bench_alsa_stamp \
  --out docs/benchmarks.md "$@"
