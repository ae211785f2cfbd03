#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Run inside the ALSA guest (tests/e2e/alsa_vm/run-in-vm.sh): the mean cost to the caller of
# midiOutShortMsg for a note to aseqdump's port, three runs of 2,000 messages ("us <mean>" lines),
# and the same with a bare sequencer client ("floor <mean>" lines), then how many Note Ons and Note
# Offs aseqdump got from the program ("at aseqdump <on> <off>").
#   bench/alsa_send.sh PROBE FLOOR
set -eu
probe=$1
floor=$2
dump=$(mktemp)
stdbuf -oL aseqdump >"$dump" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT
for _ in $(seq 100); do grep -q '"aseqdump"' /proc/asound/seq/clients && break; sleep 0.1; done
id=$(printf 'list\n' | "$probe" | awk '$2 == "aseqdump" {print $1; exit}')
for _ in 1 2 3; do printf 'open %s\ncost 2000\nclose\n' "$id" | "$probe" | grep '^us '; done
sleep 1
echo "at aseqdump $(grep -c 'Note on' "$dump") $(grep -c 'Note off' "$dump")"
for _ in 1 2 3; do "$floor" aseqdump:0 2000; done
