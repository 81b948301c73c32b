#!/usr/bin/env bash
# Runs the libFuzzer targets of the fuzz preset (build-fuzz), building them
# first when needed.
#   scripts/fuzz.sh NAME [seconds]   one fuzzer on its corpus (default 60 s)
#   scripts/fuzz.sh --all [seconds]  every fuzzer in turn; fails on any crash
#   scripts/fuzz.sh --list           the fuzzers' names
# The committed corpus (tests/fuzz/corpus/NAME) is only read; what a run
# finds goes into build-fuzz/corpus/NAME, and a crashing input into
# build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzzers() { sed -n 's/^qel_fuzzer(\([a-z_0-9]*\) .*/\1/p' tests/fuzz/CMakeLists.txt; }

build() {
  [[ -f build-fuzz/build.ninja ]] || nice -n 10 cmake --preset fuzz >/dev/null
  nice -n 10 cmake --build --preset fuzz -j2 >/dev/null
}

run_one() {
  local name=$1 secs=$2
  local bin=build-fuzz/tests/fuzz/$name
  [[ -x $bin ]] || { echo "no fuzzer $name (see --list)" >&2; return 2; }
  mkdir -p "build-fuzz/corpus/$name" build-fuzz/crashes
  echo "== $name: ${secs}s"
  local log=build-fuzz/$name.log rc=0
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    nice -n 10 "$bin" -max_total_time="$secs" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crashes/$name-" \
    "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name" >"$log" 2>&1 || rc=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::average|ERROR|SUMMARY|check failed|Test unit' "$log" || true
  ((rc == 0)) || echo "$name failed (exit $rc); its output: $log" >&2
  return "$rc"
}

case "${1:-}" in
  --list) fuzzers ;;
  --all)
    build
    failed=()
    for f in $(fuzzers); do run_one "$f" "${2:-20}" || failed+=("$f"); done
    if ((${#failed[@]})); then
      echo "fuzzers that failed: ${failed[*]}" >&2
      exit 1
    fi
    ;;
  ""|-h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  *) build; run_one "$1" "${2:-60}" ;;
esac
