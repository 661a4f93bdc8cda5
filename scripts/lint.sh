#!/usr/bin/env bash
# Static checks of the C++ sources: every tracked .cpp/.h is formatted as
# .clang-format says, and clang-tidy (the checks in .clang-tidy) is clean over
# src/, its warnings counted as errors.
#   scripts/lint.sh [build-dir]   (default build/, whose compile_commands.json
#                                  clang-tidy reads; configured when missing)
#   scripts/lint.sh --fix         reformat the files in place instead
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
build=${1:-build}

echo "clang-format: ${#files[@]} files"
clang-format --dry-run --Werror "${files[@]}"

[ -f "${build}/compile_commands.json" ] || cmake --preset default >/dev/null
echo "clang-tidy: src/"
# -quiet keeps the per-file counts of suppressed warnings (system headers)
# out; any warning left counts as an error (this run-clang-tidy has no option
# for that).
run-clang-tidy -p "${build}" -j "$(nproc)" -quiet "$PWD/src/" > "${build}/clang-tidy.log" 2>&1 || true
if grep -qE '(warning|error):' "${build}/clang-tidy.log"; then
  grep -E '(warning|error):' -A3 "${build}/clang-tidy.log"
  exit 1
fi
echo "clang-tidy: clean"
