#!/usr/bin/env bash
# For each test file: its lines, the lines of src/ its tests run, and the lines
# of src/ no other test file runs ("unique"), split into the engine and command
# line and the desktop program. A file that runs nothing of its own can still
# catch faults by what it asserts; a file with many unique lines is the only
# test of that code. Uses the coverage build of coverage.sh:
#
#   scripts/coverage-by-file.sh            # all test files, fewest unique lines per test line first
#
# Each file's tests run on their own (one process of its test binary), so this
# takes a while; the JSON of each run is kept in build-coverage/by-file/.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
dravik_install_missing "${DRAVIK_BUILD_PACKAGES[@]}" "${DRAVIK_TEST_PACKAGES[@]}" gcovr
BUILD=${DRAVIK_COVERAGE_DIR:-$DRAVIK_ROOT/build-coverage}
OUT=$BUILD/by-file
dravik_coverage_build "$BUILD"
(cd "$BUILD" && ctest -R '^make_' >&2)  # the test images
mkdir -p "$OUT"

# The test files of a binary, as tests/CMakeLists.txt lists them.
sources_of() {
  awk -v target="add_executable($1" '$1 == target || index($0, target " ") { on = 1 } on { print } on && /\)/ { exit }' \
    "$DRAVIK_ROOT/tests/CMakeLists.txt" | grep -oE '[a-z]+/[A-Za-z]+Test\.cpp'
}

# Runs the suites of one test file (TEST_P instances are named PREFIX/SUITE).
measure() {
  local binary=$1 file=$2 suites
  suites=$(grep -oE '^TEST(_F|_P)?\([A-Za-z0-9_]+' "$DRAVIK_ROOT/tests/$file" | sed 's/.*(//' | sort -u |
           sed 's|.*|&.*:*/&.*|' | paste -sd:)
  find "$BUILD" -name '*.gcda' -delete
  (cd "$BUILD" && umask 000 && QT_QPA_PLATFORM=offscreen "tests/$binary" --gtest_filter="$suites" >"$OUT/${file//\//_}.log" 2>&1) ||
    echo "failures in $file: $OUT/${file//\//_}.log" >&2
  (cd "$BUILD" && gcovr --root "$DRAVIK_ROOT" --object-directory "$BUILD" --filter "$DRAVIK_ROOT/src/" \
    --gcov-ignore-parse-errors --json "$OUT/${file//\//_}.json" >/dev/null 2>&1)
}
for file in $(sources_of dravik_tests); do measure dravik_tests "$file"; done
[ -x "$BUILD/tests/dravik_gui_tests" ] && for file in $(sources_of dravik_gui_tests); do measure dravik_gui_tests "$file"; done

python3 - "$DRAVIK_ROOT" "$OUT" <<'PY'
import collections, glob, json, os, sys
root, out = sys.argv[1:]
runs = {}
for path in glob.glob(os.path.join(out, '*.json')):
    covered = set()
    for f in json.load(open(path))['files']:
        covered |= {(f['file'], l['line_number']) for l in f['lines'] if l.get('count', 0) > 0}
    runs[os.path.basename(path)[:-5].replace('_', '/', 1)] = covered
times = collections.Counter(line for covered in runs.values() for line in covered)
rows = []
for name, covered in runs.items():
    unique = [line for line in covered if times[line] == 1]
    desktop = sum(1 for f, _ in unique if f.startswith(('src/app/', 'src/preview/')))
    lines = sum(1 for _ in open(os.path.join(root, 'tests', name)))
    rows.append((len(unique) / lines, name, lines, len(covered), len(unique) - desktop, desktop))
print(f"{'test file':34} {'lines':>5} {'runs':>6} {'unique engine':>13} {'unique desktop':>14}")
for _, name, lines, covered, engine, desktop in sorted(rows):
    print(f"{name:34} {lines:5} {covered:6} {engine:13} {desktop:14}")
PY
