#!/usr/bin/env bash
# The whole test suite: installs what is missing, checks that every tool,
# library and Python module is there (naming the Debian package of anything
# missing), builds, and runs every test (unit and system) in the default
# build, then again in the AddressSanitizer + UBSan build and in the
# ThreadSanitizer build; builds with clang's thread-safety analysis as errors;
# then runs every fuzz target briefly and the unit
# tests of the ARM builds under qemu, builds and checks the board packages,
# and proves the set-up on an empty Debian root.
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the default build only
#
# A failing stage does not stop the later ones (a sanitizer finding should
# not hide a failing board build); the summary lists every stage with its
# time and the run fails if any stage did. A missing package stops the run
# before the first build.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

times=()
failed=()
summary() {
  [ ${#times[@]} -gt 0 ] || return 0
  echo "=== stage times"
  printf '  %s\n' "${times[@]}"
  printf '  %-32s %5d s\n' "whole run" "${SECONDS}"
}
trap summary EXIT

# stage NAME COMMAND...: runs the command in a subshell with set -e, times it.
stage() {
  local name=$1 t0=$SECONDS rc=0
  shift
  echo "=== ${name}"
  # Not "( ... ) || rc=$?": inside a tested subshell set -e does nothing.
  set +e
  ( set -e; "$@" )
  rc=$?
  set -e
  local line
  line=$(printf '%-32s %5d s' "${name}" $((SECONDS - t0)))
  if [ $rc -ne 0 ]; then
    line+="  FAILED (status ${rc})"
    failed+=("${name}")
  fi
  times+=("${line}")
}

jobs=$(nproc)
build_and_test() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "${jobs}"
  ctest --preset "$1" -j "${jobs}"
}
# The build is the check: clang refuses a guarded member touched without its lock.
build_only() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "${jobs}"
}

if [ $quick -eq 1 ]; then
  stage "install-deps" scripts/install-deps.sh
  stage "preflight" scripts/preflight.sh
else
  stage "install-deps" scripts/install-deps.sh --checks
  stage "preflight" scripts/preflight.sh --full
fi
# Without its packages every later stage fails for the same reason: stop here,
# after the lines that name them.
[ ${#failed[@]} -eq 0 ] || exit 1

stage "default build and tests" build_and_test default
if [ $quick -eq 0 ]; then
  stage "format and clang-tidy" scripts/lint.sh build
  stage "asan build and tests" build_and_test asan
  stage "tsan build and tests" build_and_test tsan
  stage "clang thread-safety build" build_only clang-tsa
  [ -x scripts/fuzz.sh ] && stage "fuzz targets, briefly" scripts/fuzz.sh "${QUORVANE_FUZZ_SECONDS:-5}"
  stage "ARM builds under qemu" scripts/cross-test.sh all
  stage "board packages" scripts/package.sh --check armhf arm64
  # The check runs this script with --quick inside the root, so never nests.
  if [ -z "${QUORVANE_IN_FRESH_ROOT:-}" ]; then
    stage "fresh-root check" scripts/fresh-root-check.sh
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed stages: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
  exit 1
fi
