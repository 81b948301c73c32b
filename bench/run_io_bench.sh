#!/usr/bin/env bash
# Runs bench_io without the probe and with each probe build preloaded, the
# runs interleaved (none, jeus, weblogic, tmax, webtob, none, jeus, ...) so
# that drifts of the machine hit every variant alike, and prints per case the
# median time of a write/read pair and its ratio to the run without probe.
# Every build runs with logging off; "jeus-log0" is the JEUS build with
# logging on at level 0.
#
#   bench/run_io_bench.sh [build-dir] [repetitions] [min-time-seconds]
#
# Defaults: build, 3 repetitions, 0.5 s per case and run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
reps=${2:-3}
min_time=${3:-0.5}

build=$(cd "$build" && pwd)
bin=$build/bench/bench_io
libdir=$build/probe
variants=(none jeus weblogic tmax webtob jeus-log0)

[[ -x $bin ]] || { echo "no $bin: build the target bench_io first" >&2; exit 1; }
for v in jeus weblogic tmax webtob; do
  [[ -r $libdir/libprobe-$v.so ]] || { echo "no $libdir/libprobe-$v.so" >&2; exit 1; }
done

# The probe's own files (start and trace logs) go to a scratch directory named
# by a settings file of this run, never to the caller's directory.
work=$(mktemp -d /tmp/qel-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
results=$work/results
printf 'qel.log.path=%s\nqel.start.log.path=%s\n' "$work" "$work" >"$work/qel.conf"
printf 'qel.log=ON\nqel.log.level=0\nqel.log.path=%s\nqel.start.log.path=%s\n' "$work" "$work" \
  >"$work/qel-log0.conf"

for ((r = 1; r <= reps; r++)); do
  for v in "${variants[@]}"; do
    preload=
    [[ $v == none ]] || preload=$libdir/libprobe-${v%-log0}.so
    conf=$work/qel.conf
    [[ $v == *-log0 ]] && conf=$work/qel-log0.conf
    # CSV lines: name,iterations,real_time,cpu_time,time_unit,...
    (cd "$work" && env TAV_CONFIG_FILE="$conf" ${preload:+LD_PRELOAD=$preload} \
        "$bin" --benchmark_format=csv --benchmark_min_time="$min_time" 2>/dev/null) |
      awk -F, -v v="$v" '$1 ~ /^"?[A-Za-z]/ && $1 !~ /^name/ {
          gsub(/"/, "", $1)
          ns = $3
          if ($5 ~ /us/) ns *= 1000
          else if ($5 ~ /ms/) ns *= 1000000
          print v, $1, ns
        }' >>"$results"
  done
done

# Median per variant and case, then the table.
sort -k2,2 -k1,1 -k3,3n "$results" | awk -v reps="$reps" '
  { key = $2 SUBSEP $1; n[key]++; t[key, n[key]] = $3; cases[$2] = 1 }
  END {
    nv = split("none jeus weblogic tmax webtob jeus-log0", vs, " ")
    printf "%-22s %-10s %12s %8s\n", "case", "probe", "ns/pair", "ratio"
    for (c in cases) {
      base = 0
      for (i = 1; i <= nv; i++) {
        key = c SUBSEP vs[i]
        m = n[key]
        if (m == 0) continue
        med = (m % 2) ? t[key, (m + 1) / 2] : (t[key, m / 2] + t[key, m / 2 + 1]) / 2
        if (vs[i] == "none") base = med
        ratio = base > 0 ? sprintf("%.3f", med / base) : "-"
        printf "%-22s %-10s %12.1f %8s\n", c, vs[i], med, ratio
      }
    }
  }'
