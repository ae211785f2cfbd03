#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# run-in-vm.sh COMMAND [ARG...]
#
# Runs COMMAND as root inside a throw-away qemu guest that has a real ALSA sequencer
# (/dev/snd/seq, with snd-seq-dummy's "Midi Through" and snd-virmidi's four VirMIDI ports), and
# gives back its stdout, its stderr and its exit status. The guest boots Debian's own kernel
# (package linux-image-amd64) in qemu (package qemu-system-x86), with KVM where there is a usable
# one and TCG (emulation) otherwise. The host's root filesystem is shared read-only over 9p with
# a tmpfs overlay on top: every program and file of the host is there, and the guest may write
# anywhere without touching the host. /run and /dev/shm are fresh tmpfs, /tmp too (ALSA_VM_TMP).
# COMMAND starts in the caller's directory with the caller's environment, less the variables
# that name things of the host's session (DISPLAY, XDG_RUNTIME_DIR, ...); its stdin is /dev/null.
#
# Environment (all optional):
#   ALSA_VM_MODULES="snd-seq-dummy snd-virmidi"   modules loaded before COMMAND ("" for none)
#   ALSA_VM_OPTS_snd_virmidi="midi_devs=1"        parameters of one module (- becomes _)
#   ALSA_VM_RW="DIR..."     host folders the guest may write to (screenshots, logs), shared
#                           read-write at the same paths (no spaces in the paths)
#   ALSA_VM_TMP=auto        fresh: a new tmpfs on /tmp; host: the host's /tmp under the overlay;
#                           auto: host when the working directory is under /tmp, else fresh
#   ALSA_VM_MEM=1024        guest memory in MiB (at most 2048)
#   ALSA_VM_CPUS=...        vCPUs, at most 2 (default 2 with KVM, 1 with TCG)
#   ALSA_VM_ACCEL=auto      kvm, tcg, or auto: kvm when /dev/kvm opens and is not kvm_pvm's,
#                           and tcg when that kvm fails before the guest starts
#   ALSA_VM_MACHINE=microvm microvm (no PCI, no firmware: the fastest boot) or pc
#   ALSA_VM_CPU=...         qemu's -cpu (default host with KVM, max with TCG)
#   ALSA_VM_TB_MB=256       TCG only: MiB for translated code (qemu's tb-size; bounds its memory)
#   ALSA_VM_TIMEOUT=900     seconds before the guest is killed (exit status 124)
#   ALSA_VM_KERNEL=<ver>    kernel version (default: the newest with /boot/vmlinuz-<ver> and
#                           the sequencer modules in /lib/modules/<ver>)
#   ALSA_VM_CACHE=...       where the initramfs and the kernel are prepared once (default
#                           cache in the caller's own folder, below)
#   ALSA_VM_APPEND=...      more kernel parameters
#   ALSA_VM_TIMES=1         print boot and run times to stderr at the end
#   ALSA_VM_KEEP=1          keep the run folder (console log, outputs) and print its path
#
# Exit status: COMMAND's (128+N when a signal N ended it); 124 on timeout; 125 when the guest
# could not run it (qemu's messages and the guest's console are printed then).
set -u
# modprobe, which only reads here, is in /usr/sbin: outside a normal user's PATH on Debian.
PATH=$PATH:/usr/sbin:/sbin

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
MEM=${ALSA_VM_MEM:-1024}
ACCEL=${ALSA_VM_ACCEL:-auto}
TIMEOUT=${ALSA_VM_TIMEOUT:-900}
TB_MB=${ALSA_VM_TB_MB:-256}
MODULES=${ALSA_VM_MODULES-snd-seq-dummy snd-virmidi}
TMPMODE=${ALSA_VM_TMP:-auto}
# The caller's own folder, never one name in /tmp shared by every user: another user's run may
# own that, and anyone may have made it first.
BASE=${XDG_CACHE_HOME:-${HOME:?run-in-vm: HOME unset}/.cache}/tamrels-alsa-vm
CACHE=${ALSA_VM_CACHE:-$BASE/cache}
RUNBASE=$BASE

fail() { echo "run-in-vm: $*" >&2; exit 125; }

[ $# -gt 0 ] || { sed -n '3p' "$0" | sed 's/^# /usage: /' >&2; exit 2; }
[ "$1" = "--" ] && shift
[ "$MEM" -le 2048 ] || fail "ALSA_VM_MEM is at most 2048"
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 missing: apt-get install qemu-system-x86"

# -- the kernel --
if [ -n "${ALSA_VM_KERNEL:-}" ]; then
  KVER=$ALSA_VM_KERNEL
else
  KVER=
  for k in $(ls -1 /lib/modules 2>/dev/null | sort -V); do
    # the module plain (Debian 12) or compressed (Debian 13: .ko.xz)
    [ -r "/boot/vmlinuz-$k" ] && compgen -G "/lib/modules/$k/kernel/sound/core/seq/snd-seq-dummy.ko*" >/dev/null &&
      KVER=$k
  done
fi
[ -n "$KVER" ] && [ -r "/boot/vmlinuz-$KVER" ] ||
  fail "no kernel with ALSA sequencer modules: apt-get install linux-image-amd64"
KDIR=$CACHE/$KVER

# -- prepared once per kernel: the initramfs (vminit and the virtio, 9p and overlay modules),
# the uncompressed kernel, and the host's TSC rate --
INITRD=$KDIR/initramfs.cpio
prepare() {
  mkdir -p "$KDIR"
  (
    flock 9
    [ "$INITRD" -nt "$HERE/vminit.c" ] && [ "$INITRD" -nt "$HERE/tscfreq.c" ] &&
      [ "$INITRD" -nt "/lib/modules/$KVER/modules.dep" ] && exit 0
    command -v gcc >/dev/null || fail "gcc missing: apt-get install gcc libc6-dev"
    command -v cpio >/dev/null || fail "cpio missing: apt-get install cpio"
    tmp=$(mktemp -d "$KDIR/build.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    mkdir -p "$tmp/root/modules" "$tmp/root/dev"
    gcc -static -Os -s -o "$tmp/root/init" "$HERE/vminit.c" || fail "could not build vminit"
    modprobe -S "$KVER" -a --show-depends virtio_pci virtio_mmio 9pnet_virtio 9p overlay |
      awk '$1 == "insmod" && !seen[$2]++ {print $2}' | while read -r ko; do
        cp "$ko" "$tmp/root/modules/"
        basename "$ko" >>"$tmp/root/modules/order"
      done
    [ -s "$tmp/root/modules/order" ] || fail "modprobe found no modules for $KVER"
    # The uncompressed kernel, when it has a PVH entry (ELF note 0x12): qemu starts it directly,
    # without firmware and decompressor (which take seconds without KVM).
    # Debian 12 packs it with xz, Debian 13 with zstd; zstd fails on the bytes after its frame, so
    # the result is judged by its PVH note alone.
    unpack="xz -dcq --single-stream"
    off=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "/boot/vmlinuz-$KVER" | head -n 1 | cut -d: -f1)
    if [ -z "$off" ]; then
      unpack="zstd -dcq"
      off=$(LC_ALL=C grep -obUaP '\x28\xb5\x2f\xfd' "/boot/vmlinuz-$KVER" | head -n 1 | cut -d: -f1)
    fi
    if [ -n "$off" ] && { tail -c +$((off + 1)) "/boot/vmlinuz-$KVER" | $unpack >"$tmp/vmlinux" 2>/dev/null || :; } &&
      readelf -n "$tmp/vmlinux" 2>/dev/null | grep -q 'Unknown note type: (0x00000012)'; then
      mv "$tmp/vmlinux" "$KDIR/vmlinux"
    else
      rm -f "$KDIR/vmlinux"
    fi
    if gcc -O2 -o "$tmp/tscfreq" "$HERE/tscfreq.c" && "$tmp/tscfreq" >"$tmp/tsc_khz"; then
      mv "$tmp/tsc_khz" "$KDIR/tsc_khz"
    else
      rm -f "$KDIR/tsc_khz"
    fi
    (cd "$tmp/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet >"$tmp/initramfs.cpio") ||
      fail "cpio failed"
    mv "$tmp/initramfs.cpio" "$INITRD"
  ) 9>"$KDIR/lock" || exit $?
}
prepare
KERNEL=/boot/vmlinuz-$KVER
[ -s "$KDIR/vmlinux" ] && KERNEL=$KDIR/vmlinux

# -- the run folder: shared read-write with the guest at the same path --
mkdir -p -m 700 "$RUNBASE"
RUN=$(mktemp -d "$RUNBASE/run.XXXXXX") || fail "mktemp"
QEMU_PID=
cleanup() {
  if [ -n "$QEMU_PID" ] && kill -0 "$QEMU_PID" 2>/dev/null; then
    kill "$QEMU_PID" 2>/dev/null
    wait "$QEMU_PID" 2>/dev/null
  fi
  if [ -n "${ALSA_VM_KEEP:-}" ]; then echo "run-in-vm: kept $RUN" >&2; else rm -rf "$RUN"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The modules with their dependencies, resolved here; the guest sees the same paths.
for m in $MODULES; do
  v=ALSA_VM_OPTS_${m//-/_}
  # shellcheck disable=SC2086
  modprobe -S "$KVER" --show-depends "$m" ${!v-} || fail "no module $m for $KVER"
done | awk '$1 == "insmod" && !seen[$2]++ { p = $2; $1 = $2 = ""; sub(/^ +/, ""); print p "\t" $0 }' >"$RUN/modules"
# The command, its directory and its environment (NUL-separated).
printf '%s\0' "$@" >"$RUN/argv"
printf '%s' "$PWD" >"$RUN/cwd"
unset_args=()
for v in DISPLAY WAYLAND_DISPLAY XAUTHORITY XDG_RUNTIME_DIR XDG_SESSION_ID XDG_SEAT DBUS_SESSION_BUS_ADDRESS \
  PULSE_SERVER SESSION_MANAGER SSH_AUTH_SOCK SSH_AGENT_PID SSH_CONNECTION SSH_CLIENT SSH_TTY TMUX TMUX_PANE \
  OLDPWD SHLVL _ ${!ALSA_VM_*}; do
  unset_args+=(-u "$v")
done
env -0 "${unset_args[@]}" PWD="$PWD" >"$RUN/env"
# Read-write shares.
RW_ARGS=()
n=0
for d in ${ALSA_VM_RW:-}; do
  mkdir -p "$d" 2>/dev/null
  d=$(cd "$d" 2>/dev/null && pwd) || fail "ALSA_VM_RW: no folder $d"
  n=$((n + 1))
  printf 'rw%d\t%s\n' "$n" "$d" >>"$RUN/rw"
  RW_ARGS+=("local,id=rw$n,path=$d,security_model=none")
done

if [ "$TMPMODE" = auto ]; then
  case $PWD/ in /tmp/*) TMPMODE=host ;; *) TMPMODE=fresh ;; esac
fi

# -- the accelerator --
AUTO=
if [ "$ACCEL" = auto ]; then
  AUTO=1
  # kvm_pvm is a KVM without hardware virtualization (for use inside a VM): it runs a stock
  # kernel so slowly that it does not boot in minutes (measured), so TCG is faster there.
  if [ -r /dev/kvm ] && [ -w /dev/kvm ] && { : <>/dev/kvm; } 2>/dev/null && [ ! -d /sys/module/kvm_pvm ]; then
    ACCEL=kvm
  else
    ACCEL=tcg
  fi
fi

launch() {  # starts qemu for $ACCEL in the background; QEMU_PID is the timeout process's id
  local cpu cpus machine=${ALSA_VM_MACHINE:-microvm} virtio args=()
  local append="console=ttyS0 quiet loglevel=3 panic=-1 reboot=t rdinit=/init cryptomgr.notests"
  append+=" ALSAVM_RUN=$RUN ALSAVM_TMP=$TMPMODE ALSAVM_ACCEL=$ACCEL"  # the tests scale their waits by it
  case $ACCEL in
    kvm) cpu=${ALSA_VM_CPU:-host} cpus=${ALSA_VM_CPUS:-2} args=(-accel kvm) ;;
    # 1 vCPU: under TCG it booted faster and ran the Qt test faster here (2 host cores, shared)
    tcg) cpu=${ALSA_VM_CPU:-max} cpus=${ALSA_VM_CPUS:-1} args=(-accel "tcg,tb-size=$TB_MB") ;;
    *) fail "ALSA_VM_ACCEL is kvm, tcg or auto" ;;
  esac
  [ "$cpus" -le 2 ] || fail "ALSA_VM_CPUS is at most 2"
  if [ "$ACCEL" = tcg ] && [ "$machine" = microvm ]; then
    # microvm has no HPET, and its PIT calibration of the TSC fails now and then under TCG (the
    # boot then hangs): the kernel gets the rate, which under TCG is the host's TSC rate.
    if [ -s "$KDIR/tsc_khz" ]; then append+=" tsc_early_khz=$(cat "$KDIR/tsc_khz")"; else machine=pc; fi
  fi
  case $machine in
    microvm) args+=(-M "microvm,isa-serial=on,rtc=on,acpi=on") virtio=virtio-9p-device ;;
    pc | q35) args+=(-M "$machine") virtio=virtio-9p-pci ;;
    *) fail "ALSA_VM_MACHINE is microvm, pc or q35" ;;
  esac
  append+=" ${ALSA_VM_APPEND:-}"
  args+=(-cpu "$cpu" -smp "$cpus" -m "$MEM"
    -nodefaults -no-user-config -display none -vga none -no-reboot -monitor none
    -kernel "$KERNEL" -initrd "$INITRD" -append "$append"
    -serial "file:$RUN/console.log"
    -fsdev "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap"
    -device "$virtio,fsdev=root,mount_tag=root"
    -fsdev "local,id=run,path=$RUN,security_model=none"
    -device "$virtio,fsdev=run,mount_tag=run")
  local i=0 share
  for share in "${RW_ARGS[@]}"; do
    i=$((i + 1))
    args+=(-fsdev "$share" -device "$virtio,fsdev=rw$i,mount_tag=rw$i")
  done
  DESC="$ACCEL $machine, $MEM MiB, $cpus vCPU"
  T0=$(date +%s.%N)
  nice -n 10 timeout -k 5 "$TIMEOUT" qemu-system-x86_64 "${args[@]}" </dev/null >"$RUN/qemu.log" 2>&1 &
  QEMU_PID=$!
}

launch
if [ -n "$AUTO" ] && [ "$ACCEL" = kvm ]; then
  # A KVM that qemu cannot use shows within moments (qemu exits before the guest's init).
  for _ in $(seq 50); do
    kill -0 "$QEMU_PID" 2>/dev/null || break
    [ -e "$RUN/mark.init" ] && break
    sleep 0.1
  done
  if ! kill -0 "$QEMU_PID" 2>/dev/null && [ ! -e "$RUN/mark.init" ]; then
    { wait "$QEMU_PID"; } 2>/dev/null
    echo "run-in-vm: qemu with KVM failed ($(tail -n 1 "$RUN/qemu.log")); using TCG" >&2
    rm -f "$RUN/console.log" "$RUN/qemu.log"
    ACCEL=tcg
    launch
  fi
fi

# Stream the outputs while the guest runs; tail ends by itself once qemu has gone.
tail -q -n +1 -F --pid="$QEMU_PID" -s 0.1 "$RUN/stdout" 2>/dev/null &
TAIL_OUT=$!
tail -q -n +1 -F --pid="$QEMU_PID" -s 0.1 "$RUN/stderr" >&2 2>/dev/null &
TAIL_ERR=$!
{ wait "$QEMU_PID"; } 2>/dev/null
QEMU_RC=$?
T1=$(date +%s.%N)
QEMU_PID=
wait "$TAIL_OUT" "$TAIL_ERR" 2>/dev/null

if [ "$QEMU_RC" = 124 ]; then
  echo "run-in-vm: timed out after $TIMEOUT s ($DESC)" >&2
  tail -n 30 "$RUN/console.log" >&2
  exit 124
fi
if [ ! -s "$RUN/status" ]; then
  echo "run-in-vm: the guest did not run the command (qemu exit $QEMU_RC; $DESC)" >&2
  tail -n 20 "$RUN/qemu.log" >&2
  tail -n 40 "$RUN/console.log" >&2
  exit 125
fi
if [ -n "${ALSA_VM_TIMES:-}" ]; then
  # The marks are files the guest created over 9p: their times are the host's clock.
  mark() { stat -c %.9Y "$RUN/mark.$1"; }
  awk -v t0="$T0" -v t1="$T1" -v mi="$(mark init)" -v mc="$(mark cmd)" -v me="$(mark end)" -v desc="$DESC" 'BEGIN {
      printf "run-in-vm: %s: launch->init %.2f s, modules %.2f s, launch->command %.2f s, ", desc, mi - t0, mc - mi, mc - t0
      printf "command %.2f s, command end->qemu exit %.2f s, total %.2f s\n", me - mc, t1 - me, t1 - t0
    }' >&2
fi
exit "$(cat "$RUN/status")"
