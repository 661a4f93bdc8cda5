#!/usr/bin/env bash
# Checks the packages that scripts/package.sh wrote for one architecture:
#
#   scripts/package-check.sh armhf|arm64|host PACKAGE.deb DBGSYM.deb
#
# - the package holds exactly the expected files;
# - the daemon and quorvane-check are stripped executables of that
#   architecture with a debug link, and the -dbgsym package holds their debug
#   files under their build IDs;
# - the daemon's version line prints and quorvane-check accepts the packaged
#   examples (under qemu-user for ARM, on the multiarch runtime that
#   scripts/install-deps.sh --cross installs);
# - the dependencies name libmodbus5, libsystemd0 and the C/C++ runtime;
# - the maintainer scripts make the daemon's user and its 0750 configuration
#   folder, the unit runs as that user, and the tmpfiles entry replaces a
#   status file planted in /tmp with root's link (systemd-tmpfiles --root);
# - the unit passes systemd-analyze verify and its exposure stays at most 1.5;
# - lintian reports no error and no warning (kept tags: packaging/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -eq 3 ] || { echo "usage: scripts/package-check.sh armhf|arm64|host PACKAGE.deb DBGSYM.deb" >&2; exit 2; }
arch=$1 deb=$2 dbgsym=$3
fail=0
bad() { echo "package check: $*"; fail=1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -x "$dbgsym" "$work/dbg"

# --- Contents ------------------------------------------------------------------
{
  echo ./usr/bin/quorvane
  echo ./usr/bin/quorvane-check
  echo ./lib/systemd/system/quorvane.service
  echo ./usr/lib/tmpfiles.d/quorvane.conf
  echo ./usr/share/man/man8/quorvane.8.gz
  echo ./usr/share/man/man8/quorvane-check.8.gz
  for f in copyright changelog.gz README.md.gz README.examples.md.gz; do
    echo "./usr/share/doc/quorvane/$f"
  done
  (cd packaging && find examples -type f -printf './usr/share/doc/quorvane/%p\n')
} | sort >"$work/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/actual"
if ! diff -u "$work/expected" "$work/actual" >"$work/contents.diff"; then
  bad "files differ from the expected list (- expected, + packaged):"
  tail -n +3 "$work/contents.diff"
fi

# --- The programs ---------------------------------------------------------------
for program in quorvane quorvane-check; do
  exe="$work/root/usr/bin/$program"
  kind=$(file -b "$exe")
  case "${arch}:${kind}" in
    armhf:*"ELF 32-bit"*"ARM, EABI5"* | arm64:*"ELF 64-bit"*"ARM aarch64"*) ;;
    host:*ELF*) ;;
    *) bad "usr/bin/$program is not a ${arch} executable: ${kind}" ;;
  esac
  case "$kind" in *", stripped"*) ;; *) bad "usr/bin/$program is not stripped: ${kind}" ;; esac
  id=$(readelf -n "$exe" 2>/dev/null | awk '/Build ID:/ {print $3}')
  debug="$work/dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
  if [ -z "$id" ] || [ ! -s "$debug" ]; then
    bad "no debug file for $program's build ID '${id}' in $(basename "$dbgsym")"
  elif [ "$(readelf -n "$debug" 2>/dev/null | awk '/Build ID:/ {print $3}')" != "$id" ]; then
    bad "the debug file's build ID differs from $program's"
  fi
  # grep reads to the end: with pipefail, -q could fail the pipe on SIGPIPE.
  readelf -S "$exe" | grep '\.gnu_debuglink' >/dev/null || bad "usr/bin/$program has no debug link"
done
daemon="$work/root/usr/bin/quorvane"
kind=$(file -b "$daemon")

case "$arch" in
  armhf) run=(qemu-arm) ;;
  arm64) run=(qemu-aarch64) ;;
  host) run=() ;;
esac
out=$("${run[@]}" "$daemon" -v 2>&1) || bad "quorvane -v ended with status $?: ${out}"
case "$out" in
  "quorvane version = "*) echo "package check: ${run[*]:+${run[*]} }quorvane -v: ${out}" ;;
  *) bad "quorvane -v printed: ${out}" ;;
esac
# The packaged tool on the packaged examples, as an integrator runs it first.
for set in udp mqtt; do
  mkdir -p "$work/try-$set/korvel/quorvane"
  cp "$work/root/usr/share/doc/quorvane/examples/$set/"* "$work/try-$set/korvel/quorvane/"
  out=$("${run[@]}" "$work/root/usr/bin/quorvane-check" --strict --root "$work/try-$set" 2>&1) \
    || bad "quorvane-check on the $set example ended with status $?: ${out}"
  echo "package check: quorvane-check on the $set example: ${out##*$'\n'}"
done

# --- Dependencies --------------------------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
for need in libmodbus5 libsystemd0 libc6 libstdc++6; do
  # "name (>= version)", or the bare name (libsystemd0 has no symbols file version).
  case ", ${depends}," in *", ${need} "* | *", ${need},"*) ;; *) bad "Depends lacks ${need}: ${depends}" ;; esac
done
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg-deb -f "$dbgsym" Architecture)" ] \
  || bad "the two packages are for different architectures"

# --- The unit --------------------------------------------------------------------
unit="$work/root/lib/systemd/system/quorvane.service"
# The unit's dependencies (sysinit.target, ...) are not in the package's tree,
# and the manual page is not in this machine's man database: verify the unit
# itself, against the package's files (ExecStart must be there).
# ExecStartPre's ln is coreutils', not the package's: the verify root gets one.
mkdir -p "$work/verify"
cp -a "$work/root/." "$work/verify/"
mkdir -p "$work/verify/bin"
cp /bin/ln "$work/verify/bin/ln"
if ! verify=$(systemd-analyze verify --man=no --recursive-errors=no --root="$work/verify" "$work/verify${unit#"$work/root"}" 2>&1) \
   || [ -n "$verify" ]; then
  bad "systemd-analyze verify: ${verify}"
fi
exposure=$(systemd-analyze security --offline=true --root="$work/root" "$unit" 2>&1 \
             | sed -n 's/.*Overall exposure level for quorvane.service: \([0-9.]*\).*/\1/p')
if [ -z "$exposure" ] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }'; then
  bad "unit exposure '${exposure}' is above 1.5"
fi
grep -qx 'User=quorvane' "$unit" && grep -qx 'Group=quorvane' "$unit" \
  || bad "the unit does not run as quorvane:quorvane"
if grep -E '^(AmbientCapabilities|CapabilityBoundingSet)=.+|^DeviceAllow=/dev/(mem|GPIO)' "$unit"; then
  bad "the unit grants the board files or a capability (the board-init drop-in's job)"
fi

# --- Maintainer scripts ----------------------------------------------------------
dpkg-deb -e "$deb" "$work/control"
grep -q '^ *adduser --system --group .*quorvane$' "$work/control/postinst" \
  || bad "postinst does not create the system user and group quorvane"
grep -q 'chmod 0750 /korvel/quorvane' "$work/control/postinst" \
  || bad "postinst does not make /korvel/quorvane the daemon's, mode 0750"
case ", $(dpkg-deb -f "$deb" Depends)," in *", adduser,"*) ;; *) bad "Depends lacks adduser" ;; esac
if grep -Eq 'deluser|delgroup' "$work/control/postrm"; then bad "postrm removes the user"; fi
# A status file planted in sticky /tmp by another user loses to root's link.
tmproot="$work/tmpfiles"
mkdir -p "$tmproot/tmp" "$tmproot/run"
chmod 1777 "$tmproot/tmp"
echo planted >"$tmproot/tmp/modemInfo.txt"
[ "$(id -u)" -ne 0 ] || chown nobody "$tmproot/tmp/modemInfo.txt"
systemd-tmpfiles --create --root="$tmproot" "$work/root/usr/lib/tmpfiles.d/quorvane.conf" \
  || bad "systemd-tmpfiles --create failed on the packaged entry"
link=$(stat -c '%U %N' "$tmproot/tmp/modemInfo.txt")
[ "$link" = "$(id -un) '$tmproot/tmp/modemInfo.txt' -> '/run/quorvane/modemInfo.txt'" ] \
  || bad "/tmp/modemInfo.txt after systemd-tmpfiles: ${link}"

# --- lintian ---------------------------------------------------------------------
# (Its advice not to run as root is no finding about the package.)
if ! lint=$(lintian --fail-on error,warning "$deb" "$dbgsym" 2> >(grep -v 'root privileges' >&2)); then
  bad "lintian:"
  echo "$lint"
elif [ -n "$lint" ]; then
  echo "$lint"
fi

if [ $fail -ne 0 ]; then
  echo "package check: $(basename "$deb"): FAILED"
  exit 1
fi
echo "package check: $(basename "$deb"): files, ${kind%%, BuildID*}, Depends: ${depends}; user quorvane, planted status file replaced; unit exposure ${exposure}; lintian clean"
