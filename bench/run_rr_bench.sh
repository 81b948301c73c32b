#!/usr/bin/env bash
# Request/reply rounds between two processes over loopback TCP (bench_rr),
# 64-byte and 1 KiB messages, without the probe and with each probe build
# preloaded into both processes. The runs are interleaved (none, jeus,
# weblogic, tmax, webtob, none, ...) so that drifts of the machine hit every
# variant alike; the table gives per size the median rounds per second and
# its ratio to the run without the probe.
#
# Then, per build, a short run with trace logging shows that both ends took
# the connection as a service connection (so every message was framed), and
# strace counts the client's system calls per round without and with the
# probe: a framed write must stay one system call (block and payload in one
# writev), and one request line of strace shows that call.
#
#   bench/run_rr_bench.sh [build-dir] [repetitions] [seconds-per-run] [placement] [writes]
#
# Defaults: build, 5 repetitions, 1 second per run, placement "same", writes
# "plain" (or RR_WRITES from the environment).
# RR_PREVIOUS=<other build dir> adds, beside each build, its library from
# that build (variant "<build>-prev"), interleaved in the same run: a change
# measured against the code before it.
# Writes: "plain" writes every message with one write; "vectored" writes it
# with one writev of a length field and the two halves of the message
# (RR_VECTORED=1 for bench_rr) and runs only the builds that interpose writev
# (jeus, weblogic) against no probe.
# Placement: "same" pins server and client to CPU 0 (each round costs CPU
# time only, which is what the probe adds to); "split" pins them to CPUs 0
# and 1 (each round also pays two cross-CPU wake-ups, which on a small
# virtual machine dominate and vary a lot); "none" leaves it to the kernel.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
reps=${2:-5}
secs=${3:-1}
placement=${4:-same}
writes=${5:-${RR_WRITES:-plain}}

build=$(cd "$build" && pwd)
bin=$build/bench/bench_rr
libdir=$build/probe
case $writes in
  plain)
    builds=(jeus weblogic tmax webtob)
    # "wire" runs without the probe but writes and reads the framed wire
    # (header in front of every message, writev/readv): the floor of the framing.
    variants=(none wire "${builds[@]}")
    unset RR_VECTORED
    ;;
  vectored)
    builds=(jeus weblogic)
    variants=(none "${builds[@]}")
    export RR_VECTORED=1
    ;;
  *) echo "writes: plain or vectored" >&2; exit 1 ;;
esac
sizes=(64 1024)
prev_libdir=
if [[ -n ${RR_PREVIOUS:-} ]]; then
  prev_libdir=$(cd "$RR_PREVIOUS" && pwd)/probe
  with_prev=()
  for v in "${variants[@]}"; do
    with_prev+=("$v")
    [[ $v == none || $v == wire ]] || with_prev+=("$v-prev")
  done
  variants=("${with_prev[@]}")
  for v in "${builds[@]}"; do
    [[ -r $prev_libdir/libprobe-$v.so ]] || { echo "no $prev_libdir/libprobe-$v.so" >&2; exit 1; }
  done
fi

case $placement in
  same) pin_server=(taskset -c 0) pin_client=(taskset -c 0) ;;
  split) pin_server=(taskset -c 0) pin_client=(taskset -c 1) ;;
  none) pin_server=() pin_client=() ;;
  *) echo "placement: same, split or none" >&2; exit 1 ;;
esac
command -v taskset >/dev/null || { pin_server=() pin_client=(); placement=none; }

[[ -x $bin ]] || { echo "no $bin: build the target bench_rr first" >&2; exit 1; }
for v in "${builds[@]}"; do
  [[ -r $libdir/libprobe-$v.so ]] || { echo "no $libdir/libprobe-$v.so" >&2; exit 1; }
done

# The probe's files (logs, check home) go to a scratch directory. Settings
# are written under both spellings (the Tmax and WebtoB builds read
# upper-case names), sorted so that a name that is the prefix of another
# comes first. Check mode on: the client finds the server's registered port
# in the check home and frames its messages; no datagram leaves for a local
# destination.
work=$(mktemp -d /tmp/qel-rrbench-XXXXXX)
server_pid=
cleanup() {
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/check" "$work/log"
settings() {  # settings [log]
  {
    printf 'qel.check.home=%s\nqel.check.mode=ON\nqel.check.udp.port=9\n' "$work/check"
    printf 'qel.log.path=%s\nqel.start.log.path=%s\n' "$work/log" "$work/log"
    printf 'QEL_CHECK_HOME=%s\nQEL_CHECK_MODE=ON\nQEL_CHECK_UDP_PORT=9\n' "$work/check"
    printf 'QEL_LOG_PATH=%s\nQEL_START_LOG_PATH=%s\n' "$work/log" "$work/log"
    if [[ ${1:-} == log ]]; then
      printf 'qel.log=ON\nqel.log.level=0\nQEL_LOG=ON\nQEL_LOG_LEVEL=0\n'
    fi
  } | LC_ALL=C sort -t= -k1,1
}
settings >"$work/qel.conf"
settings log >"$work/qel-log.conf"

# run_pair VARIANT SIZE CALL-ARG CONF [WRAPPER...]: starts the server, runs
# the client (through WRAPPER, e.g. strace), prints the client's output.
run_pair() {
  local v=$1 size=$2 arg=$3 conf=$4
  shift 4
  local preload= wire=
  case $v in
    none) ;;
    wire) wire=1 ;;
    *-prev) preload=$prev_libdir/libprobe-${v%-prev}.so ;;
    *) preload=$libdir/libprobe-$v.so ;;
  esac
  local out=$work/server.out
  : >"$out"
  (cd "$work" && exec "${pin_server[@]}" env TAV_CONFIG_FILE="$conf" ${preload:+LD_PRELOAD=$preload} ${wire:+RR_WIRE_ONLY=1} "$bin" serve "$size") \
    >"$out" 2>&1 &
  server_pid=$!
  local port= i
  for ((i = 0; i < 500; i++)); do
    port=$(sed -n 's/^ready \([0-9]*\)$/\1/p' "$out")
    [[ -n $port ]] && break
    sleep 0.01
  done
  [[ -n $port ]] || { echo "server ($v) did not start: $(cat "$out")" >&2; exit 1; }
  (cd "$work" && "${pin_client[@]}" env TAV_CONFIG_FILE="$conf" ${preload:+LD_PRELOAD=$preload} ${wire:+RR_WIRE_ONLY=1} "$@" "$bin" call "$port" "$size" "$arg")
  wait "$server_pid"
  server_pid=
}

# Readers of exactly the missing bytes, and readers with a 64 KiB buffer.
results=$work/results
: >"$results"
cases=()
for rb in exact 64k; do for size in "${sizes[@]}"; do cases+=("${size}B/$rb"); done; done
for ((r = 1; r <= reps; r++)); do
  for c in "${cases[@]}"; do
    size=${c%%B/*}
    if [[ ${c#*/} == 64k ]]; then export RR_READ_BUFFER=65536; else unset RR_READ_BUFFER; fi
    for v in "${variants[@]}"; do
      rps=$(run_pair "$v" "$size" "$secs" "$work/qel.conf" | sed -n 's/^rounds_per_s //p')
      echo "$v $c $rps" >>"$results"
    done
  done
done
unset RR_READ_BUFFER

echo "request/reply rounds per second over loopback TCP, median of $reps runs of ${secs}s, placement $placement, $writes writes"
awk -v variants="${variants[*]}" -v sizes="${cases[*]}" '
  { key = $1 SUBSEP $2; n[key]++; v[key, n[key]] = $3 }
  END {
    nv = split(variants, vs, " "); ns = split(sizes, ss, " ")
    printf "%-12s %-14s %14s %8s\n", "size/reads", "probe", "rounds/s", "ratio"
    for (j = 1; j <= ns; j++) {
      base = 0
      for (i = 1; i <= nv; i++) {
        key = vs[i] SUBSEP ss[j]; m = n[key]
        if (m == 0) continue
        # sort the m values (insertion sort), take the median
        for (a = 1; a <= m; a++) s[a] = v[key, a]
        for (a = 2; a <= m; a++) { x = s[a]; b = a - 1; while (b >= 1 && s[b] > x) { s[b + 1] = s[b]; b-- } s[b + 1] = x }
        med = (m % 2) ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
        if (vs[i] == "none") base = med
        ratio = (base > 0) ? sprintf("%.3f", med / base) : "-"
        printf "%-12s %-14s %14.0f %8s\n", ss[j], vs[i], med, ratio
      }
    }
  }' "$results"

echo
echo "service connection (trace log of a 200-round run):"
status=0
for v in "${builds[@]}"; do
  rm -f "$work"/log/TavQEL.LOG.*
  run_pair "$v" 1024 -200 "$work/qel-log.conf" >/dev/null
  n=$(cat "$work"/log/TavQEL.LOG.* 2>/dev/null | grep -c 'qel service set' || true)
  if [[ $n == 2 ]]; then
    echo "  $v: connect and accept both set the service flag"
  else
    echo "  $v: NOT a service connection ($n service lines)"
    status=1
  fi
done

if command -v strace >/dev/null; then
  rounds=2000
  echo
  echo "client system calls per round, 1 KiB messages, $rounds rounds (strace -f -c):"
  printf "  %-14s %s\n" probe "calls per round"
  for v in "${variants[@]}"; do
    run_pair "$v" 1024 -"$rounds" "$work/qel.conf" strace -f -qq -c -o "$work/strace.$v" \
      -e trace=read,write,readv,writev,recvfrom,sendto,recvmsg,sendmsg >/dev/null
    # Columns: % time, seconds, usecs/call, calls, [errors,] syscall.
    line=$(awk -v n="$rounds" '$NF ~ /^(read|write|readv|writev|recvfrom|sendto|recvmsg|sendmsg)$/ {
        printf "%s %.2f  ", $NF, $4 / n }' "$work/strace.$v")
    printf "  %-14s %s\n" "$v" "$line"
  done
  echo
  echo "one framed request as the jeus build sends it:"
  run_pair jeus 1024 -1 "$work/qel.conf" strace -qq -e trace=write,writev -s 6 2>&1 >/dev/null |
    awk '/^writev\(/ && !shown { print "  " $0; shown = 1 }'  # reads all: no SIGPIPE for strace
else
  echo "strace not found: no system call counts"
fi
exit "$status"
