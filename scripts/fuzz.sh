#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang with ASan + UBSan) and runs
# each for the given number of seconds (default 10) on a scratch copy of its
# seed corpus in tests/fuzz/corpus/<target>/, so the committed seeds stay as
# they are. Fails when any target finds a crash, a leak, a time-out or
# a failed check; the input that did it is kept in tests/fuzz/artifacts/.
# The parsers' console output is discarded (-close_fd_mask=1).
#   scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
shift || true

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(find build-fuzz -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x \
                           -printf '%f\n' | sort)
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets built"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p tests/fuzz/artifacts

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for t in "${targets[@]}"; do
  corpus="$work/$t"
  mkdir -p "$corpus"
  if [ -d "tests/fuzz/corpus/$t" ]; then cp -r "tests/fuzz/corpus/$t/." "$corpus/"; fi
  echo "=== $t: ${seconds} s"
  if "build-fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="tests/fuzz/artifacts/$t-" \
       "$corpus" >"$work/$t.log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|Done )' "$work/$t.log" || true
  else
    tail -n 60 "$work/$t.log"
    failed+=("$t")
  fi
done

# The closing line in the plain "N passed, N failed" form test runners read.
passed=$(( ${#targets[@]} - ${#failed[@]} ))
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed targets: ${failed[*]} (inputs in tests/fuzz/artifacts/)"
  echo "fuzz: ${passed} passed, ${#failed[@]} failed"
  exit 1
fi
echo "fuzz: ${passed} passed, 0 failed"
