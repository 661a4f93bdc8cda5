#!/usr/bin/env bash
# Debian packages of the daemon, for the board or the build machine:
#
#   scripts/package.sh [--check] [armhf|arm64|host]...      (default: armhf)
#
# For each architecture: builds the programs in the preset's build tree
# (build-armhf/, build-arm64/ with Debian's cross compilers; build/ for host),
# installs them with CMake's install rules (unit, tmpfiles entry, manual
# page, README, examples), adds the maintainer scripts, and writes into <build tree>/deb/:
#   quorvane_<version>_<arch>.deb         stripped programs, unit, documentation
#   quorvane-dbgsym_<version>_<arch>.deb  their debug symbols, by build ID
#                                         (/usr/lib/debug/.build-id/xx/yyyy.debug)
# Dependencies are computed by dpkg-shlibdeps for the target architecture
# (libmodbus5 of armhf for an armhf package, ...).
#
# With --check it then checks each package (scripts/package-check.sh): its
# file list, that the daemon is a stripped executable of that architecture
# whose version line prints (under qemu-user for ARM), that quorvane-check
# accepts the packaged examples, its dependencies, the
# unit (systemd-analyze verify and exposure), and lintian.
#
# A new program joins the package by its install(TARGETS ...) rule and its
# name in PROGRAMS below (the targets built before the install).
set -euo pipefail
cd "$(dirname "$0")/.."

PROGRAMS=(quorvane quorvane-check)
MAINTAINER="quorvane maintainers <maintainers@users.noreply.c-seed-e0a8122e.example>"

check=0
arches=()
for a in "$@"; do
  case "$a" in
    --check) check=1 ;;
    armhf | arm64 | host) arches+=("$a") ;;
    *) echo "usage: scripts/package.sh [--check] [armhf|arm64|host]..." >&2; exit 2 ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=(armhf)

deps=()
for a in "${arches[@]}"; do [ "$a" = host ] || deps+=(--cross "$a"); done
[ $check -eq 1 ] && deps+=(--checks)
scripts/install-deps.sh "${deps[@]}"

# Reproducible dates: the last commit's, or now outside a git checkout.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

for arch in "${arches[@]}"; do
  if [ "$arch" = host ]; then
    preset=default build=build debarch=$(dpkg --print-architecture)
  else
    preset=$arch build=build-$arch debarch=$arch
  fi
  triplet=$(dpkg-architecture -qDEB_HOST_GNU_TYPE -a"$debarch" 2>/dev/null)
  echo "=== package for ${debarch} (${build}/)"
  cmake --preset "$preset" >/dev/null
  cmake --build "$build" --target "${PROGRAMS[@]}" -j "$(nproc)"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

  work="$build/deb/work"
  # dpkg-shlibdeps expects each package's tree in debian/<package>.
  pkg="$work/debian/quorvane" dbg="$work/debian/quorvane-dbgsym"
  rm -rf "$work"
  # DEBIAN/ marks each tree's root for dpkg-shlibdeps.
  mkdir -p "$pkg/DEBIAN" "$dbg/DEBIAN"
  DESTDIR="$PWD/$pkg" cmake --install "$build" --prefix /usr >/dev/null
  # Debian 12 keeps packaged units in /lib/systemd/system.
  if [ -d "$pkg/usr/lib/systemd" ]; then
    mkdir -p "$pkg/lib"
    mv "$pkg/usr/lib/systemd" "$pkg/lib/systemd"
    rmdir --ignore-fail-on-non-empty "$pkg/usr/lib"
  fi

  # Programs: debug symbols out into the -dbgsym tree by build ID, then strip.
  build_ids=()
  elves=()
  while IFS= read -r -d '' f; do
    file -b "$f" | grep '^ELF' >/dev/null || continue
    elves+=("$f")
    id=$(readelf -n "$f" 2>/dev/null | awk '/Build ID:/ {print $3}')
    [ -n "$id" ] || { echo "package: $f has no build ID" >&2; exit 1; }
    d="$dbg/usr/lib/debug/.build-id/${id:0:2}"
    mkdir -p "$d"
    "${triplet}-objcopy" --only-keep-debug --compress-debug-sections "$f" "$d/${id:2}.debug"
    chmod 0644 "$d/${id:2}.debug"
    "${triplet}-strip" --remove-section=.comment --remove-section=.note "$f"
    "${triplet}-objcopy" --add-gnu-debuglink="$d/${id:2}.debug" "$f"
    build_ids+=("$id")
  done < <(find "$pkg" -type f -perm -u+x -print0 | sort -z)

  # Documentation as Debian ships it: compressed manual pages and larger
  # texts (the examples stay as they are), a copyright file and a changelog.
  doc="$pkg/usr/share/doc/quorvane"
  find "$pkg/usr/share/man" -type f -exec gzip -9n {} +
  find "$doc" -maxdepth 1 -type f -size +4k -exec gzip -9n {} +
  install -m 0644 packaging/copyright "$doc/copyright"
  {
    echo "quorvane (${version}) stable; urgency=medium"
    echo
    echo "  * Built from the quorvane sources by scripts/package.sh."
    echo
    echo " -- ${MAINTAINER}  $(date -R -u -d "@${SOURCE_DATE_EPOCH}")"
  } | gzip -9n >"$doc/changelog.gz"
  mkdir -p "$dbg/usr/share/doc"
  ln -s quorvane "$dbg/usr/share/doc/quorvane-dbgsym"

  # Dependencies of the programs, for the target architecture.
  printf 'Source: quorvane\n\nPackage: quorvane\nArchitecture: any\n' >"$work/debian/control"
  # (armhf's libstdc++6 symbols file lacks the ARM EH ABI symbols such as
  # __aeabi_atexit; the library has them, so that warning is noise.)
  depends=$(cd "$work" && DEB_HOST_ARCH="$debarch" dpkg-shlibdeps -O "${elves[@]/#$work\//-e}" \
              2> >(grep -v 'symbol __aeabi_[a-z_]*@CXXABI_ARM' >&2) | sed -n 's/^shlibs:Depends=//p')

  find "$pkg" "$dbg" -type d -exec chmod 0755 {} +
  find "$pkg" "$dbg" -type f ! -perm -u+x -exec chmod 0644 {} +
  find "$pkg" "$dbg" -type f -perm -u+x -exec chmod 0755 {} +

  control() {  # tree, then the fields
    local tree=$1
    shift
    mkdir -p "$tree/DEBIAN"
    (cd "$tree" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 -r md5sum) \
      >"$tree/DEBIAN/md5sums"
    {
      printf '%s\n' "$@"
      echo "Installed-Size: $(du -sk --exclude=DEBIAN "$tree" | cut -f1)"
    } >"$tree/DEBIAN/control"
    chmod 0644 "$tree/DEBIAN/control" "$tree/DEBIAN/md5sums"
  }
  # Maintainer scripts: the daemon's user and its configuration folder
  # (packaging/debian/; adduser makes the user).
  install -m 0755 packaging/debian/postinst packaging/debian/postrm "$pkg/DEBIAN/"
  control "$pkg" "Package: quorvane" "Version: ${version}" "Architecture: ${debarch}" \
    "Maintainer: ${MAINTAINER}" "Depends: ${depends}, adduser" "Section: net" "Priority: optional" \
    "Description: Modbus RTU/TCP to NB-IoT field gateway daemon" \
    " quorvane polls up to ten Modbus RTU and TCP devices, groups their coils," \
    " inputs and registers into sessions and reports them to a remote server" \
    " through an NB-IoT modem driven by AT commands, as scrambled UDP frames or" \
    " as MQTT publications. The server's commands set coils and registers." \
    " ." \
    " The package holds the daemon, its systemd unit (run as the system user" \
    " quorvane, not enabled: copy an example configuration to /korvel/quorvane/" \
    " first), the examples and" \
    " quorvane-check, which checks the configuration and the devices before" \
    " the unit is enabled."
  control "$dbg" "Package: quorvane-dbgsym" "Source: quorvane" "Version: ${version}" \
    "Auto-Built-Package: debug-symbols" "Architecture: ${debarch}" "Maintainer: ${MAINTAINER}" \
    "Depends: quorvane (= ${version})" "Section: debug" "Priority: optional" \
    "Description: debug symbols for quorvane" "Build-Ids: ${build_ids[*]}"

  out="$build/deb"
  rm -f "$out"/*.deb
  dpkg-deb --root-owner-group -Zxz -b "$pkg" "$out/quorvane_${version}_${debarch}.deb" >/dev/null
  dpkg-deb --root-owner-group -Zxz -b "$dbg" "$out/quorvane-dbgsym_${version}_${debarch}.deb" >/dev/null
  rm -rf "$work"
  ls -l "$out"/*.deb | awk '{print "package: " $9 ", " $5 " bytes"}'
  echo "package: Depends: ${depends}"

  if [ $check -eq 1 ]; then
    scripts/package-check.sh "$arch" "$out/quorvane_${version}_${debarch}.deb" \
      "$out/quorvane-dbgsym_${version}_${debarch}.deb"
  fi
done
