#!/usr/bin/env bash
# An echo server on an entry port with the JEUS build preloaded, an
# unmonitored client, relayd forwarding the records to a counting master
# (bench_relay sink). Every round is one request read and one reply written,
# so one transaction and two records. Variants, interleaved so that drifts of
# the machine hit them alike:
#
#   none         the server without the probe
#   probe        the probe, records through relayd's record ring
#   probe-queue  the probe, the relay's rings off: records onto the queue
#   probe-norec  the probe without a record queue: no records at all
#
# The table gives the median rounds per second, the ratio to "none", and the
# records the master counted per round (2.000 when none was lost). Then
# strace counts the server's system calls for two run lengths without the
# probe and with it (ring and queue): the difference between the lengths
# leaves start-up out, and what the probe adds per record is
# ((probe long - probe short) - (none long - none short)) / records.
#
#   bench/run_echo_bench.sh [build-dir] [repetitions] [rounds] [size]
#
# Defaults: build, 5 repetitions, 20000 rounds of 1024 bytes. Server and
# client run on CPU 0, relayd and the master on CPU 1 (when taskset is there).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
reps=${2:-5}
rounds=${3:-20000}
size=${4:-1024}
peer=$build/tests/programs/rr_peer
sink=$build/bench/bench_relay
relayd=$build/relay/relayd
lib=$build/probe/libprobe-jeus.so
for f in "$peer" "$sink" "$relayd" "$lib"; do [[ -e $f ]] || { echo "missing $f: build it first" >&2; exit 1; }; done

pin=() pin_relay=()
command -v taskset >/dev/null && pin=(taskset -c 0) pin_relay=(taskset -c 1)
work=$(mktemp -d /tmp/qel-echobench-XXXXXX)
key=$(printf '0x%08x' $((0x5e000000 | ($$ & 0xffff) << 8)))
tkey=$(printf '0x%08x' $((key + 1)))
server_pid='' relay_pid='' sink_pid=''
source "$here/relay_sink.sh"
cleanup() {
  for p in $server_pid $relay_pid $sink_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  remove_ipc
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/log" "$work/check"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
common="qel.mode = FULL
qel.gtuid.send.type = QUEUE
qel.gtuid.queue.name = $key
qel.ip.information = 127.0.0.1:$port:START
qel.log.path = $work/log
qel.check.home = $work/check"
printf '%s\nqel.gtuid.queue.count = 1\n' "$common" >"$work/rec.conf"
printf '%s\nqel.gtuid.queue.count = 0\n' "$common" >"$work/norec.conf"

# start_server VARIANT [tracer...]: the echo server, once it listens.
start_server() {
  local v=$1 conf=$work/rec.conf preload=$lib
  shift
  [[ $v == none ]] && preload=
  [[ $v == probe-norec ]] && conf=$work/norec.conf
  : >"$work/server.out"
  (cd "$work" && exec "${pin[@]}" "$@" env TAV_CONFIG_FILE="$conf" ${preload:+LD_PRELOAD=$preload} \
    "$peer" serve "$port") >"$work/server.out" 2>&1 &
  server_pid=$!
  local i
  for ((i = 0; i < 1000; i++)); do
    grep -q '^ready' "$work/server.out" && return 0
    sleep 0.01
  done
  echo "server did not start: $(cat "$work/server.out")" >&2
  exit 1
}

stop_server() {
  # Under strace the server is the tracer's child: end it, and the tracer
  # writes its count.
  pkill -TERM -P "$server_pid" 2>/dev/null || true
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

rings_of() { [[ $1 == probe-queue ]] && echo OFF || echo ON; }

# run VARIANT: "rounds-per-second records-per-round" of one run.
run() {
  remove_ipc
  start_relay "$(rings_of "$1")"
  start_server "$1"
  local t0 t1
  t0=$(date +%s%N)
  "${pin[@]}" "$peer" call 127.0.0.1 "$port" "$rounds" "$size" >/dev/null
  t1=$(date +%s%N)
  stop_server
  local taken
  taken=$(stop_relay)
  echo "$((rounds * 1000000000 / (t1 - t0))) $(awk -v t="${taken:-0}" -v n="$rounds" 'BEGIN { printf "%.3f", t / n }')"
}

results=$work/results
for ((r = 1; r <= reps; r++)); do
  for v in none probe probe-queue probe-norec; do echo "$v $(run "$v")" >>"$results"; done
done

echo "echo server on an entry port, $rounds rounds of $size bytes, median of $reps runs"
awk '
  function median(vals, m,   a, c, x, s) {
    for (a = 1; a <= m; a++) s[a] = vals[a]
    for (a = 2; a <= m; a++) { x = s[a]; c = a - 1; while (c >= 1 && s[c] > x) { s[c + 1] = s[c]; c-- } s[c + 1] = x }
    return (m % 2) ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
  }
  { n[$1]++; v[$1, n[$1]] = $2; r[$1, n[$1]] = $3 }
  END {
    printf "%-12s %12s %7s %12s\n", "server", "rounds/s", "ratio", "records/round"
    nv = split("none probe probe-queue probe-norec", vs, " ")
    for (i = 1; i <= nv; i++) {
      m = n[vs[i]]
      for (a = 1; a <= m; a++) { mv[a] = v[vs[i], a]; mr[a] = r[vs[i], a] }
      med = median(mv, m)
      if (vs[i] == "none") base = med
      printf "%-12s %12.0f %7.3f %12.3f\n", vs[i], med, med / base, median(mr, m)
    }
  }' "$results"

command -v strace >/dev/null || { echo "no strace: system calls not counted"; exit 0; }
# syscalls VARIANT ROUNDS: the server's system calls over a run of ROUNDS.
syscalls() {
  remove_ipc
  start_relay "$(rings_of "$1")"
  start_server "$1" strace -f -c -o "$work/strace.out"
  "${pin[@]}" "$peer" call 127.0.0.1 "$port" "$2" "$size" >/dev/null
  stop_server
  stop_relay >/dev/null
  awk '$NF == "total" { print $(NF - 2) }' "$work/strace.out"
}
short=$((rounds / 4))
echo
echo "system calls of the server, $short and $rounds rounds (strace -c):"
none_s=$(syscalls none "$short") none_l=$(syscalls none "$rounds")
printf '%-12s %10s %10s %14s\n' server short long "extra/record"
printf '%-12s %10d %10d %14s\n' none "$none_s" "$none_l" -
for v in probe probe-queue; do
  s=$(syscalls "$v" "$short") l=$(syscalls "$v" "$rounds")
  extra=$(awk -v ps="$s" -v pl="$l" -v ns="$none_s" -v nl="$none_l" -v rec=$((2 * (rounds - short))) \
    'BEGIN { printf "%.3f", ((pl - ps) - (nl - ns)) / rec }')
  printf '%-12s %10d %10d %14s\n' "$v" "$s" "$l" "$extra"
done
