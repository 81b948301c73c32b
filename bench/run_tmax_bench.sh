#!/usr/bin/env bash
# Messages per second through a small TP-monitor domain: an unmonitored
# client sends request after request to a client handler ("clh01", which
# forwards each message whole) in front of an application server
# ("appsvr", which answers it), over a local socket between the two. Runs
# without the probe and with the Tmax build preloaded into both processes,
# interleaved, so that drifts of the machine hit both alike. With the probe
# every message is followed across the handler's reads, handed on inside its
# buffer, framed on the local socket, and each request leaves six records on
# the gtuid queue, which bench_qdrain empties meanwhile (so no send meets a
# full queue). A third variant runs the probe with no record queue
# configured: following, hand-off and framing without the records. The table
# gives the median messages per second and the ratio to the run without the
# probe, for 64-byte and 1 KiB bodies.
#
#   bench/run_tmax_bench.sh [build-dir] [repetitions] [messages-per-run]
#
# Defaults: build, 5 repetitions, 20000 messages. The client, the handler
# and the server run on CPU 0 (when taskset is there), so that a message
# costs CPU time only, which is what the probe adds to, rather than wake-ups
# across CPUs, which on a small virtual machine vary a lot. The drain runs
# on CPU 1, as the relay would run beside the servers.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
reps=${2:-5}
count=${3:-20000}
peer=$build/tests/programs/tmax_peer
drain=$build/bench/bench_qdrain
lib=$build/probe/libprobe-tmax.so
for f in "$peer" "$drain" "$lib"; do [[ -e $f ]] || { echo "missing $f: build it first" >&2; exit 1; }; done

pin=() pin_drain=()
command -v taskset >/dev/null && pin=(taskset -c 0) pin_drain=(taskset -c 1)
work=$(mktemp -d /tmp/qel-tmaxbench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/log" "$work/check"
ln -s "$peer" "$work/clh01"
ln -s "$peer" "$work/appsvr"
key=$(printf '0x%x' $((0x5a000000 | ($$ & 0xffff) << 8)))
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sock=$work/appsvr.sock
LC_ALL=C sort -t= -k1,1 >"$work/common.conf" <<EOF
QEL_CHECK_HOME=$work/check
QEL_CHECK_MODE=ON
QEL_CHECK_UDP_PORT=9
QEL_IP_INFORMATION=127.0.0.1:$port:START,$sock:0:SERVICE
QEL_LOG_PATH=$work/log
QEL_MODE=FULL
QEL_START_LOG_PATH=$work/log
EOF
{ cat "$work/common.conf"; printf 'TAV_RLY_GTUID_QUEUE_COUNT=1\nTAV_RLY_GTUID_QUEUE_NAME=%s\n' "$key"; } >"$work/qel.conf"
{ cat "$work/common.conf"; printf 'TAV_RLY_GTUID_QUEUE_COUNT=0\n'; } >"$work/noq.conf"

# start NAME PRELOAD CONF ARGS...: starts a process of the domain, waits for it.
start() {
  local name=$1 preload=$2 conf=$3
  shift 3
  (cd "$work" && exec "${pin[@]}" env TAV_CONFIG_FILE="$conf" ${preload:+LD_PRELOAD=$preload} \
    "$work/$name" "$@") >"$work/$name.out" 2>&1 &
  pids+=($!)
  local i
  for ((i = 0; i < 500; i++)); do
    grep -q '^ready' "$work/$name.out" && return 0
    sleep 0.01
  done
  echo "$name did not start: $(cat "$work/$name.out")" >&2
  exit 1
}

# run VARIANT BODY: messages per second of one run.
run() {
  local preload= conf=$work/qel.conf
  [[ $1 == tmax* ]] && preload=$lib
  [[ $1 == tmax-norec ]] && conf=$work/noq.conf
  "${pin_drain[@]}" "$drain" "$key" >"$work/drain.out" &
  local dpid=$!
  start appsvr "$preload" "$conf" server "unix:$sock"
  start clh01 "$preload" "$conf" forward "tcp:$port" "unix:$sock"
  local t0 t1
  t0=$(date +%s%N)
  "${pin[@]}" "$peer" client "tcp:$port" "$count" 4be --body "$2" >/dev/null
  t1=$(date +%s%N)
  kill "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  pids=()
  kill -TERM "$dpid"
  wait "$dpid" || true
  if [[ $1 == tmax ]]; then
    local taken
    taken=$(sed -n 's/^taken //p' "$work/drain.out")
    [[ $taken == $((6 * count)) ]] || echo "records taken: $taken, expected $((6 * count))" >&2
  fi
  echo $((count * 1000000000 / (t1 - t0)))
}

results=$work/results
for ((r = 1; r <= reps; r++)); do
  for body in 64 1024; do
    for v in none tmax tmax-norec; do echo "$v $body $(run "$v" "$body")" >>"$results"; done
  done
done

echo "messages per second, client -> clh01 -> appsvr and back, median of $reps runs of $count messages"
awk '
  { key = $1 " " $2; n[key]++; v[key, n[key]] = $3 }
  END {
    printf "%-6s %-11s %12s %7s\n", "body", "probe", "msgs/s", "ratio"
    split("64 1024", bodies, " ")
    for (b = 1; b <= 2; b++) {
      base = 0
      nv = split("none tmax tmax-norec", vs, " ")
      for (i = 1; i <= nv; i++) {
        key = vs[i] " " bodies[b]; m = n[key]
        for (a = 1; a <= m; a++) s[a] = v[key, a]
        for (a = 2; a <= m; a++) { x = s[a]; c = a - 1; while (c >= 1 && s[c] > x) { s[c + 1] = s[c]; c-- } s[c + 1] = x }
        med = (m % 2) ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
        if (vs[i] == "none") base = med
        printf "%-6s %-11s %12.0f %7.3f\n", bodies[b], vs[i], med, med / base
      }
    }
  }' "$results"
