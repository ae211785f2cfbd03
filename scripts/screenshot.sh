#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The README's pictures of the window as it starts, at Qt's scale 1 and 2, made under an X server
# of the script's own (Xvfb at 96 dpi, no window manager) with a private PulseAudio and a null
# sink, so that the MIDI Mapper opens as on a desktop and no message box stands in front.
#
#   scripts/screenshot.sh [BINARY]     writes docs/window.png and docs/window@2x.png
#
# Needs the built program (build/tamrels-midi-piano unless named), xvfb, xdotool, x11-utils,
# imagemagick, pulseaudio and a General MIDI SoundFont. It stops only what it started.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=$(realpath "${1:-build/tamrels-midi-piano}")
[ -x "$binary" ] || { echo "no program at $binary: build it first" >&2; exit 1; }
for tool in Xvfb xdotool xprop import identify pulseaudio pactl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
stop() {
  # Newest first: the program before its sound server and its display.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT

# Polls "$@" every 0.1 s for at most $1 seconds.
wait_for() {
  local tries=$(($1 * 10))
  shift
  until "$@" >/dev/null 2>&1; do
    ((--tries > 0)) || return 1
    sleep 0.1
  done
}

# The display, its number told by Xvfb itself.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 10 number <"$work/display" || { echo "Xvfb did not start" >&2; exit 1; }

# Nothing of the desktop's: the program finds only the servers started here.
env=(env -i "PATH=$PATH" "HOME=$work" "DISPLAY=:$number" "XDG_RUNTIME_DIR=$work"
     "JACK_NO_START_SERVER=1" "JACK_DEFAULT_SERVER=tamrels-screenshot-$$" "LANG=C.UTF-8"
     "QT_QPA_PLATFORM=xcb")
"${env[@]}" pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --load="module-null-sink sink_name=screenshot" --load="module-native-protocol-unix" \
  >"$work/pulse.log" 2>&1 &
pids+=($!)
wait_for 10 "${env[@]}" pactl info || { echo "PulseAudio did not start" >&2; exit 1; }

# The program's shown windows: "main" the one that stands for itself, "dialog" those transient for
# another (a message box).
windows() {
  local kind=$1 pid=$2 id
  for id in $("${env[@]}" xdotool search --onlyvisible --pid "$pid" --name . 2>/dev/null); do
    if "${env[@]}" xprop -id "$id" WM_TRANSIENT_FOR | grep -q 'window id'; then
      [ "$kind" = dialog ] && echo "$id"
    else
      [ "$kind" = main ] && echo "$id"
    fi
  done
  return 0
}

# Starts the program at scale $1, waits until its window is shown and painted, and writes it to $2.
shoot() {
  "${env[@]}" "QT_SCALE_FACTOR=$1" "$binary" >"$work/program.log" 2>&1 &
  local pid=$!
  pids+=("$pid")
  local window=
  for ((tries = 200; tries > 0; tries--)); do
    if [ -n "$(windows dialog "$pid")" ]; then
      echo "a message box came at scale $1, not the window as it starts on a desktop" >&2
      exit 1
    fi
    window=$(windows main "$pid" | head -1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "no window at scale $1" >&2; exit 1; }
  sleep 1  # its first paint
  [ -z "$(windows dialog "$pid")" ] || { echo "a message box came at scale $1" >&2; exit 1; }
  "${env[@]}" import -window "$window" -strip -define png:compression-level=9 "$2"
  kill "$pid"
  wait "$pid" || true
  unset 'pids[-1]'
  echo "$2: $(identify -format '%wx%h' "$2"), $(stat -c %s "$2") bytes"
}

shoot 1 docs/window.png
shoot 2 docs/window@2x.png
