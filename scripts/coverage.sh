#!/usr/bin/env bash
# Line and branch coverage of the suite, in two parts: the engine and the
# command line (src/ without the desktop program), and the desktop program
# (src/app and src/preview). Builds with --coverage in build-coverage/ (or
# $DRAVIK_COVERAGE_DIR), runs the whole suite there and prints one line a
# part, and keeps the report of each file in build-coverage/coverage-PART.txt:
#
#   engine+cli   lines 91.2%   branches 63.0%
#   desktop      lines 84.5%   branches 52.1%
#
#   scripts/coverage.sh [ctest arguments]
#
# Installs gcovr (Debian) when it is missing. A failing test still gives
# figures, but the script then exits 1.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
dravik_install_missing "${DRAVIK_BUILD_PACKAGES[@]}" "${DRAVIK_TEST_PACKAGES[@]}" gcovr
BUILD=${DRAVIK_COVERAGE_DIR:-$DRAVIK_ROOT/build-coverage}

dravik_coverage_build "$BUILD"
find "$BUILD" -name '*.gcda' -delete
status=0
(cd "$BUILD" && umask 000 && ctest -j "$(nproc)" "$@" >&2) || status=1

# gcovr's summary: "lines: 91.2% (…)" and "branches: 63.0% (…)". Its report
# goes to a file of ours: gcovr tries an output path by creating and then
# deleting it, which as root would delete /dev/null.
part() {
  local name=$1
  shift
  local summary
  summary=$(cd "$BUILD" && gcovr --root "$DRAVIK_ROOT" --object-directory "$BUILD" "$@" \
    --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors \
    --print-summary -o "$BUILD/coverage-$name.txt" 2>/dev/null) || true
  local lines branches
  lines=$(sed -n 's/^lines: \([0-9.]*%\).*/\1/p' <<<"$summary")
  branches=$(sed -n 's/^branches: \([0-9.]*%\).*/\1/p' <<<"$summary")
  printf '%-12s lines %-7s branches %s\n' "$name" "$lines" "$branches"
}
part engine+cli --filter "$DRAVIK_ROOT/src/" --exclude "$DRAVIK_ROOT/src/app/" --exclude "$DRAVIK_ROOT/src/preview/"
part desktop --filter "$DRAVIK_ROOT/src/app/" --filter "$DRAVIK_ROOT/src/preview/"
exit $status
