#!/usr/bin/env bash
# Before any build or test: every tool, library and Python module that the
# build and the tests use is present. Each one missing is named on one line
# with the Debian package that brings it, instead of surfacing later as an
# import error deep inside ctest:
#   preflight: missing Debian package python3-serial-asyncio (Python module serial_asyncio, ...)
#
#   scripts/preflight.sh          what the default build and its tests need
#   scripts/preflight.sh --full   also the sanitizer, fuzz, board and package stages
#
# The Python modules are read from the import statements of tests/, tools/ and
# bench/, so a new import is checked without editing this file; a module that
# is not in the table below is reported as such. Modules that a package
# imports itself (serial_asyncio, which pymodbus's serial client imports) are
# found by importing what the tests import.
set -uo pipefail
cd "$(dirname "$0")/.."

full=0
[ "${1:-}" = "--full" ] && full=1

missing=0
report() {  # package, what
  echo "preflight: missing Debian package $1 ($2)"
  missing=1
}

# Programs: name, package.
tools=(
  cmake:cmake ninja:ninja-build pkg-config:pkg-config gcc:gcc g++:g++ python3:python3
  mosquitto:mosquitto ps:procps ip:iproute2
)
[ $full -eq 1 ] && tools+=(
  clang++:clang mmdebstrap:mmdebstrap mount:mount lintian:lintian systemd-analyze:systemd file:file
  systemd-nspawn:systemd-container
  qemu-arm:qemu-user qemu-aarch64:qemu-user dpkg-shlibdeps:dpkg-dev dpkg-deb:dpkg
  clang-format:clang-format clang-tidy:clang-tidy run-clang-tidy:clang-tidy
)
for entry in "${tools[@]}"; do
  tool=${entry%%:*}
  # mosquitto lives in /usr/sbin, which a user's PATH may lack.
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || report "${entry#*:}" "program $tool"
done

# Libraries the build links: pkg-config module or header, package.
pkg-config --exists libmodbus 2>/dev/null || report libmodbus-dev "pkg-config module libmodbus"
pkg-config --exists libsystemd 2>/dev/null || report libsystemd-dev "pkg-config module libsystemd"
headers=(
  gtest/gtest.h:libgtest-dev gmock/gmock.h:libgmock-dev benchmark/benchmark.h:libbenchmark-dev
  openssl/evp.h:libssl-dev
)
for entry in "${headers[@]}"; do
  h=${entry%%:*}
  [ -e "/usr/include/$h" ] || report "${entry#*:}" "header $h"
done
if [ $full -eq 1 ] && command -v clang >/dev/null 2>&1; then
  # The fuzz build links libFuzzer from clang's runtime directory.
  ls "$(clang -print-runtime-dir 2>/dev/null)"/libclang_rt.fuzzer*.a >/dev/null 2>&1 \
    || report libclang-rt-14-dev "clang's libFuzzer runtime"
fi

# The system tests run Debian's python3 (tests/CMakeLists.txt), whatever python3
# comes first in PATH.
py=/usr/bin/python3
[ -x "$py" ] || py=$(command -v python3 || true)
if [ -n "$py" ]; then
  "$py" - tests tools bench <<'EOF' || missing=1
import ast, importlib, pathlib, sys

# Top-level module -> Debian package, for every module not in the standard library.
PACKAGES = {
    "pytest": "python3-pytest",
    "paho": "python3-paho-mqtt",
    "pymodbus": "python3-pymodbus",
    "serial": "python3-serial",
    "serial_asyncio": "python3-serial-asyncio",
}

files = sorted(p for d in sys.argv[1:] for p in pathlib.Path(d).rglob("*.py"))
local = {p.stem for p in files}
wanted = {}  # dotted module -> first file importing it
for f in files:
    for node in ast.walk(ast.parse(f.read_text(), str(f))):
        if isinstance(node, ast.Import):
            names = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names = [node.module]
        else:
            continue
        for n in names:
            top = n.split(".")[0]
            if top in local or top in sys.stdlib_module_names:
                continue
            wanted.setdefault(n, f)

failed = False
for mod, f in sorted(wanted.items()):
    try:
        importlib.import_module(mod)
    except ModuleNotFoundError as e:
        name = (e.name or mod).split(".")[0]
        via = f"Python module {name}" + (f", imported through {mod}" if name != mod.split(".")[0] else "")
        if name in PACKAGES:
            print(f"preflight: missing Debian package {PACKAGES[name]} ({via}, by {f})")
        else:
            print(f"preflight: no Debian package known for Python module {name} (by {f}): "
                  "add it to scripts/preflight.sh and scripts/install-deps.sh")
        failed = True
    except Exception as e:  # a present module that fails on import is as bad
        print(f"preflight: Python module {mod} (by {f}) fails on import: {e!r}")
        failed = True
sys.exit(1 if failed else 0)
EOF
fi

if [ $missing -ne 0 ]; then
  echo "preflight: add what is missing to scripts/install-deps.sh and run it"
  exit 1
fi
echo "preflight: every tool, library and Python module is present"
