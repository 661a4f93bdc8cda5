#!/usr/bin/env bash
# Proves that scripts/install-deps.sh sets up an empty machine: builds a
# minimal Debian 12 root holding only the packages it lists
# (mmdebstrap --variant=minbase, no recommended packages, fetched with this
# machine's own apt set-up), copies the checkout into it and runs
# "scripts/test.sh --quick" there under chroot: the default build and every
# unit and system test. A package missing from the list fails the check at the
# preflight line that names it.
#
#   scripts/fresh-root-check.sh
#
# Needs root (mmdebstrap and chroot). The root's tarball is cached by the hash
# of the package list and of the apt sources in QUORVANE_CACHE_DIR (default
# /var/cache/quorvane); the two latest are kept. Building it takes a few
# minutes; with the list unchanged the check costs the extraction and the
# quick test run. The root gets /proc, /sys (read-only), a private /dev
# (null, zero, full, random, urandom, tty, shm) and its own /dev/pts instance
# for the tests' pseudo-terminals; everything is unmounted and removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-root check: needs root (mmdebstrap, chroot)" >&2
  exit 1
fi
if [ -n "${QUORVANE_IN_FRESH_ROOT:-}" ]; then
  echo "fresh-root check: already inside a fresh root, not nesting another" >&2
  exit 1
fi
start=$SECONDS
scripts/install-deps.sh --checks

# --- The root's tarball, cached by what goes into it ---------------------------
mapfile -t packages < <(scripts/install-deps.sh --list)
sources=()
[ -s /etc/apt/sources.list ] && sources+=(/etc/apt/sources.list)
for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] && sources+=("$f")
done
aptopts=()
for f in /etc/apt/apt.conf.d/*; do
  [ -f "$f" ] && aptopts+=(--aptopt="$f")
done
key=$( { echo "bookworm minbase v1"; printf '%s\n' "${packages[@]}"; cat "${sources[@]}"; } \
       | sha256sum | cut -c1-16)
cache=${QUORVANE_CACHE_DIR:-/var/cache/quorvane}
tarball="$cache/fresh-root-$key.tar"
mkdir -p "$cache"
if [ -s "$tarball" ]; then
  echo "fresh-root check: cached root $tarball"
else
  echo "fresh-root check: building the root (${#packages[@]} packages, takes a few minutes)"
  t0=$SECONDS
  # Keep the newest other root too: switching between two lists (a branch
  # and main) does not rebuild each time.
  rm -f "$cache"/fresh-root-*.tar.part
  # (no root cached yet on a new machine: ls finds nothing, which is fine)
  mapfile -t cached < <(ls -t "$cache"/fresh-root-*.tar 2>/dev/null || true)
  if ((${#cached[@]} > 1)); then rm -f "${cached[@]:1}"; fi
  mmdebstrap --quiet --variant=minbase --format=tar --include="$(IFS=,; echo "${packages[*]}")" \
    "${aptopts[@]}" bookworm "$tarball.part" "${sources[@]}"
  mv "$tarball.part" "$tarball"
  echo "fresh-root check: root built in $((SECONDS - t0)) s"
fi

# --- Unpack, mount, copy the checkout -----------------------------------------
root=$(mktemp -d /var/tmp/quorvane-fresh-root.XXXXXX)
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
  done
  # Never remove files through a mount that is still there.
  # grep reads to the end: with pipefail, -q could fail the pipe on SIGPIPE.
  if findmnt -rn -o TARGET | grep "^$root" >/dev/null; then
    echo "fresh-root check: $root is still mounted, left in place" >&2
  else
    rm -rf "$root"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

tar -C "$root" -xf "$tarball"
mnt() {  # mount arguments..., target last
  mount "$@"
  mounts+=("${!#}")
}
mnt -t proc proc "$root/proc"
mnt -t sysfs -o ro sysfs "$root/sys"
mnt -t tmpfs -o mode=0755,nosuid dev "$root/dev"
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/full" c 1 7
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
mknod -m 666 "$root/dev/tty" c 5 0
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mkdir -m 755 "$root/dev/pts"
mkdir -m 1777 "$root/dev/shm"
mnt -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mnt -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
# As on any installed machine: the name "localhost" resolves.
[ -e "$root/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
  >"$root/etc/hosts"

# The checkout as the test command sees it: tracked and new files of the
# working tree (uncommitted edits included), no build trees.
mkdir "$root/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard \
    | (while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) \
    | tar --null -T - -cf - | tar -C "$root/src" -xf -
else
  tar --exclude='./build*' -cf - . | tar -C "$root/src" -xf -
fi
echo "fresh-root check: root ready in $((SECONDS - start)) s; running scripts/test.sh --quick inside"

# --- The quick test command, inside -------------------------------------------
rc=0
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 TERM=dumb QUORVANE_IN_FRESH_ROOT=1 \
  /bin/bash -c 'cd /src && scripts/test.sh --quick' || rc=$?
if [ $rc -ne 0 ]; then
  echo "fresh-root check: FAILED (status $rc) after $((SECONDS - start)) s: scripts/install-deps.sh does not set up an empty machine"
  exit 1
fi
echo "fresh-root check: passed in $((SECONDS - start)) s"
