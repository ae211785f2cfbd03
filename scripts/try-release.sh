#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs `make test` (or another command) on this checkout inside a fresh minimal root of another
# Debian release, as a new user of that release would: for example to try Debian 13 before
# upgrading. Needs root (debootstrap, mounts).
#
#   scripts/try-release.sh                      make test in a fresh Debian 13 (trixie) root
#   scripts/try-release.sh -r bookworm          the same in a Debian 12 root
#   scripts/try-release.sh -- make run          another command, from the copy of the checkout
#   scripts/try-release.sh -k DIR ...           keep the root in DIR afterwards (made if missing)
#   scripts/try-release.sh -e DIR -- CMD        run CMD again in the root kept in DIR, as it is
#
# The root is made by Debian's own debootstrap from the Debian mirror that this machine's apt
# sources name, with make and git added; the checkout is cloned to /src in it, its uncommitted
# files (tracked and untracked, not ignored) laid over the clone. The command runs in new mount and PID namespaces, so the root's /proc,
# /sys, /dev, /dev/pts and /dev/shm are its own and vanish with it, nothing it mounts is seen
# outside, and every process it starts ends when it does. The root is removed at the end unless
# it is kept; the script's exit status is the command's.
set -euo pipefail

release=trixie
keep=""
enter=""
while [ $# -gt 0 ]; do
  case "$1" in
    -r|--release) release="$2"; shift 2 ;;
    -k|--keep) keep="$2"; shift 2 ;;
    -e|--enter) enter="$2"; keep="$2"; shift 2 ;;
    --) shift; break ;;
    -h|--help) sed -n '3,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "try-release: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || set -- make test

if [ "$(id -u)" -ne 0 ]; then
  echo "try-release: needs root (debootstrap and the root's mounts); run it with sudo" >&2
  exit 2
fi
for tool in debootstrap unshare; do
  if ! command -v "$tool" >/dev/null; then
    echo "try-release: installing $tool"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove \
      "$tool" </dev/null
  fi
done

# The mirror as this machine's apt knows it: its main archive and, where it has one, its security
# archive. No host name is written here.
repo() {
  apt-get indextargets --format '$(LABEL) $(REPO_URI)' 'Identifier: Packages' |
    awk -v label="$1" '$1 == label {print $2; exit}'
}
mirror=$(repo Debian)
security=$(repo Debian-Security)
if [ -z "$mirror" ]; then
  echo "try-release: this machine's apt sources name no Debian archive" >&2
  exit 2
fi

src=$(cd "$(dirname "$0")/.." && pwd)
# A signal ends the command's namespace, once there is one, and then this script (whose EXIT trap
# removes the root it made).
namespace=
trap '[ -z "$namespace" ] || kill -KILL "$namespace" 2>/dev/null; exit 130' INT TERM
if [ -n "$enter" ]; then
  work=$(cd "$enter" && pwd)
  root="$work/root"
  [ -x "$root/usr/bin/make" ] || { echo "try-release: no root kept in $work" >&2; exit 2; }
  started=$(date +%s)
else
  if [ -n "$keep" ]; then
    mkdir -p "$keep"
    work=$(cd "$keep" && pwd)
    if [ -n "$(ls -A "$work")" ]; then
      echo "try-release: $work is not empty" >&2
      exit 2
    fi
  else
    work=$(mktemp -d /var/tmp/tamrels-release.XXXXXX)
  fi
  root="$work/root"
  cleanup() {
    local rc=$?
    if [ -z "$keep" ]; then
      # The mounts lived in the command's own namespace and went with it: nothing outside is mounted.
      rm -rf --one-file-system "$work"
    else
      echo "try-release: the root stays in $root"
    fi
    exit "$rc"
  }
  trap cleanup EXIT

  started=$(date +%s)
  echo "try-release: making a Debian $release root in $root from $mirror"
  debootstrap --variant=minbase --include=make,git,ca-certificates "$release" "$root" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || {
    tail -n 20 "$work/debootstrap.log" >&2
    echo "try-release: debootstrap failed" >&2
    exit 1
  }
  rm -f "$root/etc/apt/sources.list"
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' "$mirror" "$release" "$release"
    printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    if [ -n "$security" ]; then
      printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' "$security" "$release"
      printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
  } >"$root/etc/apt/sources.list.d/debian.sources"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  # Packages installed in the root never start their services there.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"

  # The checkout as it is now: a clone of its commit, with its changes and new files (not what it
  # ignores, build folders among them) laid over it.
  git clone -q --no-hardlinks "$src" "$root/src"
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$root/src"
  echo "try-release: root ready in $(($(date +%s) - started)) s; running: $*"
fi

# Inside new mount and PID namespaces: the root's own /proc, /sys, a /dev of the host's plain
# devices on a tmpfs, its own /dev/pts and a private /dev/shm (a /dev/shm shared with another
# release's jackd makes libjack read that jackd's metadata database). The namespace's first
# process is the command's shell; when it ends, the kernel ends every process left in the namespace.
set +e
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin ROOT="$root" \
  unshare --mount --pid --fork --kill-child --propagation private -- bash -euc '
  mount -t proc proc "$ROOT/proc"
  mount -t sysfs sysfs "$ROOT/sys"
  mount -t tmpfs -o mode=755,nosuid tmpfs "$ROOT/dev"
  for d in null zero full random urandom tty kvm; do
    if [ -e "/dev/$d" ]; then
      touch "$ROOT/dev/$d"
      mount --bind "/dev/$d" "$ROOT/dev/$d"
    fi
  done
  mkdir -p "$ROOT/dev/pts" "$ROOT/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$ROOT/dev/pts"
  ln -s pts/ptmx "$ROOT/dev/ptmx"
  ln -s /proc/self/fd "$ROOT/dev/fd"
  ln -s /proc/self/fd/0 "$ROOT/dev/stdin"
  ln -s /proc/self/fd/1 "$ROOT/dev/stdout"
  ln -s /proc/self/fd/2 "$ROOT/dev/stderr"
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$ROOT/dev/shm"
  mount -t tmpfs -o mode=755,nosuid,nodev run "$ROOT/run"
  exec chroot "$ROOT" "$@"
' _ env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" bash -c 'cd /src && exec "$@"' _ "$@" </dev/null &
# Waited for in the background, so that a signal to this script ends the namespace at once (bash
# runs a trap only after a foreground command returns); unshare passes no signal on, and its
# death ends its child, the namespace's first process, and with it every process inside.
namespace=$!
wait "$namespace"
rc=$?
set -e
echo "try-release: Debian $release, $*: exit $rc after $(($(date +%s) - started)) s"
exit "$rc"
