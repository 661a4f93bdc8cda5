#!/usr/bin/env bash
# Boots the host package under systemd: a minimal Debian 12 root with systemd
# (mmdebstrap), booted with systemd-nspawn, where a oneshot unit plants a
# status file as another user, installs the package (dpkg -i), copies the UDP
# example as the README says, starts quorvane.service against the bench kit's
# simulated modem on a pty (a drop-in allows ptys, nothing else changes), and
# reports. The check then reads that report:
#
#   scripts/boot-check.sh        (root; builds the host package first)
#
# - postinst made the user, /korvel/quorvane (quorvane, 0750) and replaced the
#   planted /tmp/modemInfo.txt with root's link;
# - the unit's ExecStartPre ran and the daemon runs as quorvane with dialout
#   and no capability;
# - the daemon wrote the 512-byte status file into /run/quorvane through the
#   link in its private /tmp, and other programs read it through /tmp;
# - systemd-analyze security on the running system says at most 1.5.
# The root's tarball is cached in QUORVANE_CACHE_DIR (default /var/cache/quorvane).
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" -eq 0 ] || { echo "boot check: needs root (mmdebstrap, systemd-nspawn)" >&2; exit 1; }
scripts/install-deps.sh --checks
scripts/package.sh host
deb=$(ls build/deb/quorvane_*_"$(dpkg --print-architecture)".deb)

packages=systemd,systemd-sysv,dbus,libmodbus5,adduser,python3,procps
sources=(/etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list /etc/apt/sources.list)
existing=()
for f in "${sources[@]}"; do [ -s "$f" ] && existing+=("$f"); done
aptopts=()
for f in /etc/apt/apt.conf.d/*; do [ -f "$f" ] && aptopts+=(--aptopt="$f"); done
key=$({ echo "boot v1 $packages"; cat "${existing[@]}"; } | sha256sum | cut -c1-16)
cache=${QUORVANE_CACHE_DIR:-/var/cache/quorvane}
tarball="$cache/boot-root-$key.tar"
mkdir -p "$cache"
if [ ! -s "$tarball" ]; then
  echo "boot check: building the root"
  mmdebstrap --quiet --variant=minbase --include="$packages" --format=tar "${aptopts[@]}" \
    bookworm "$tarball.part" "${existing[@]}"
  mv "$tarball.part" "$tarball"
fi

root=$(mktemp -d /var/tmp/quorvane-boot.XXXXXX)
trap 'rm -rf "$root"' EXIT
tar -C "$root" -xf "$tarball"
cp "$deb" "$root/root/quorvane.deb"
cp -r tools "$root/root/tools"
cat >"$root/root/boot-test.sh" <<'EOF'
#!/bin/sh
exec >/root/boot-test.log 2>&1
setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'echo planted >/tmp/modemInfo.txt'
dpkg -i /root/quorvane.deb >/dev/null
echo "user: $(id quorvane)"
echo "folder: $(stat -c '%U:%G %a' /korvel/quorvane)"
echo "link: $(stat -c '%U %N' /tmp/modemInfo.txt)"
install -o quorvane -g quorvane -m 0640 /usr/share/doc/quorvane/examples/udp/* /korvel/quorvane/
printf 'modbus_number=0\r\n' >/korvel/quorvane/quorvane.ini
mkdir -p /etc/systemd/system/quorvane.service.d
printf '[Service]\nDeviceAllow=char-pts rw\n' >/etc/systemd/system/quorvane.service.d/bench.conf
python3 /root/tools/modem_sim.py --link /dev/ttyUSB0 --host report.example.com=127.0.0.1 \
  --zrst-delay 0.1 --register-delay 0.2 -q &
for i in 1 2 3 4 5 6 7 8 9 10; do [ -e /dev/ttyUSB0 ] && break; sleep 0.5; done
pts=$(readlink -f /dev/ttyUSB0)
chgrp dialout "$pts" && chmod 0660 "$pts"
systemctl daemon-reload
systemctl start quorvane
for i in $(seq 1 40); do [ -s /run/quorvane/modemInfo.txt ] && break; sleep 0.5; done
pid=$(systemctl show -p MainPID --value quorvane)
echo "state: $(systemctl show -p ActiveState --value quorvane)"
echo "process: $(ps -o user=,group=,supgrp= -p "$pid")"
echo "caps: $(grep CapEff /proc/"$pid"/status)"
echo "private: $(stat -c '%U %N' /proc/"$pid"/root/tmp/modemInfo.txt)"
echo "status: $(stat -L -c '%U %a %s' /tmp/modemInfo.txt) $(head -n 1 /tmp/modemInfo.txt)"
systemd-analyze security quorvane --no-pager | tail -n 1
journalctl -u quorvane --no-pager | tail -n 20
echo "boot test done"
systemctl poweroff
EOF
chmod 0755 "$root/root/boot-test.sh"
printf '[Unit]\nAfter=multi-user.target\n[Service]\nType=oneshot\nExecStart=/root/boot-test.sh\n' \
  >"$root/etc/systemd/system/boot-test.service"
ln -s /etc/systemd/system/boot-test.service "$root/etc/systemd/system/multi-user.target.wants/"

echo "boot check: booting"
timeout 300 systemd-nspawn -q -D "$root" --boot --register=no --keep-unit --console=pipe \
  >"$root/nspawn.log" 2>&1 || true
report=$(cat "$root/root/boot-test.log" 2>/dev/null || true)
echo "$report" | sed 's/^/  /'

fail=0
expect() {  # what, extended regular expression a line of the report must match
  echo "$report" | grep -Eq "$2" || { echo "boot check: $1"; fail=1; }
}
expect "no system user quorvane" '^user: uid=[0-9]+\(quorvane\) gid=[0-9]+\(quorvane\)'
expect "/korvel/quorvane is not quorvane's, 0750" '^folder: quorvane:quorvane 750$'
expect "the planted status file was not replaced" "^link: root '/tmp/modemInfo.txt' -> '/run/quorvane/modemInfo.txt'$"
expect "the unit is not running" '^state: active$'
expect "the daemon does not run as quorvane with dialout" '^process: quorvane +quorvane +(dialout,quorvane|quorvane,dialout)$'
expect "the daemon has capabilities" '^caps: CapEff:\s+0+$'
expect "no root link in the private /tmp" "^private: root '.*/tmp/modemInfo.txt' -> '/run/quorvane/modemInfo.txt'$"
expect "no status file through /tmp" '^status: quorvane 644 512 cregvalue=[0-9]+$'
expect "exposure above 1.5" 'Overall exposure level for quorvane.service: (0\.[0-9]|1\.[0-5])'
if [ $fail -ne 0 ]; then
  tail -n 30 "$root/nspawn.log"
  echo "boot check: FAILED"
  exit 1
fi
echo "boot check: passed"
