# Sourced by the bench scripts: what they check before measuring, and how
# they time a command.
#
#   bench_needs NAME TOOL...   stops, naming the script, when a tool is missing
#   bench_gnu_time             installs GNU time (for peak memory) when missing
#   bench_release_dravik       DRAVIK, by default build-bench/dravik, built
#                              Release when missing
#   calc EXPR                  arithmetic on decimals
#   seconds CMD...             seconds of one run (stdout and stderr dropped)
#   median CMD...              median of RUNS timed runs after a warm-up run
#                              (which also fills the page cache)

bench_needs() {
  local name=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$name: needs $tool" >&2; exit 1; }
  done
}

bench_gnu_time() {
  [[ -x /usr/bin/time ]] && return
  echo "== installing GNU time (for the peak memory)"
  apt-get install -y -qq time >/dev/null || { apt-get update -qq && apt-get install -y -qq time >/dev/null; }
}

bench_release_dravik() {
  DRAVIK=${DRAVIK:-$ROOT/build-bench/dravik}
  [[ -x $DRAVIK ]] && return
  echo "== build ($ROOT/build-bench, Release)"
  cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRAVIK_BUILD_TESTS=OFF >/dev/null
  ninja -C "$ROOT/build-bench" dravik_cli >/dev/null
}

calc() { awk "BEGIN { print $1 }"; }

seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  calc "$t1 - $t0"
}

median() {
  local times=()
  "$@" >/dev/null 2>&1 || true
  for _ in $(seq "$RUNS"); do times+=("$(seconds "$@")"); done
  printf '%s\n' "${times[@]}" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}
