#!/usr/bin/env bash
# Messages per second through the processes of a server build, an
# unmonitored client in front, without the probe and with the build
# preloaded into both processes, interleaved, so that drifts of the machine
# hit every variant alike:
#
#   tmax    client -> client handler "clh01" (forwards each message whole)
#           -> application server "appsvr" (answers it), 64-byte and 1 KiB
#           message bodies
#   webtob  HTTP client -> HTTP handler "hth01" -> service process
#           "htmls01", keep-alive requests with 9-byte and 1 KiB answer bodies
#
# The two processes talk over a local socket. With the probe each message is
# followed across the handler's reads and carries its transaction on, and
# leaves six records, which relayd forwards to a counting master
# (bench_relay sink): in "probe" through the record ring, in "probe-queue"
# with the rings off, through the gtuid queue as before. A fourth variant
# runs the probe with no record queue configured: the following and framing
# without the records. The table gives the median messages per second, the
# ratio to the run without the probe, and the records the master counted
# per message (6 when none was lost).
#
#   bench/run_server_bench.sh tmax|webtob [build-dir] [repetitions] [messages-per-run]
#
# Defaults: build, 5 repetitions, 20000 messages. The client and the two
# processes run on CPU 0 (when taskset is there), so that a message costs
# CPU time only, which is what the probe adds to, rather than wake-ups across
# CPUs, which on a small virtual machine vary a lot. relayd and the master
# run on CPU 1, as the relay would run beside the servers.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server=${1:-}
build=$(cd "${2:-$here/../build}" && pwd)
reps=${3:-5}
count=${4:-20000}
case $server in
  tmax) peer=$build/tests/programs/tmax_peer front=clh01 back=appsvr sizes=(64 1024) ;;
  webtob) peer=$build/tests/programs/webtob_peer front=hth01 back=htmls01 sizes=(9 1024) ;;
  *) echo "usage: $0 tmax|webtob [build-dir] [repetitions] [messages-per-run]" >&2; exit 1 ;;
esac
sink=$build/bench/bench_relay
relayd=$build/relay/relayd
lib=$build/probe/libprobe-$server.so
for f in "$peer" "$sink" "$relayd" "$lib"; do [[ -e $f ]] || { echo "missing $f: build it first" >&2; exit 1; }; done

pin=() pin_relay=()
command -v taskset >/dev/null && pin=(taskset -c 0) pin_relay=(taskset -c 1)
work=$(mktemp -d /tmp/qel-serverbench-XXXXXX)
pids=()
relay_pid='' sink_pid=''
source "$here/relay_sink.sh"
cleanup() {
  for p in "${pids[@]}" $relay_pid $sink_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  remove_ipc
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/log" "$work/check"
ln -s "$peer" "$work/$front"
ln -s "$peer" "$work/$back"
key=$(printf '0x%08x' $((0x5a000000 | ($$ & 0xffff) << 8)))
tkey=$(printf '0x%08x' $((key + 1)))
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sock=$work/$back.sock
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

# run VARIANT SIZE: messages per second of one run, and the records the
# master got per message.
run() {
  local preload= conf=$work/qel.conf rings=ON
  [[ $1 == probe* ]] && preload=$lib
  [[ $1 == probe-norec ]] && conf=$work/noq.conf
  [[ $1 == probe-queue ]] && rings=OFF
  remove_ipc
  start_relay "$rings"
  if [[ $server == tmax ]]; then
    start "$back" "$preload" "$conf" server "unix:$sock"
    start "$front" "$preload" "$conf" forward "tcp:$port" "unix:$sock"
  else
    start "$back" "$preload" "$conf" service "unix:$sock"
    start "$front" "$preload" "$conf" handler "$port" "unix:$sock"
  fi
  local t0 t1
  t0=$(date +%s%N)
  if [[ $server == tmax ]]; then
    "${pin[@]}" "$peer" client "tcp:$port" "$count" 4be --body "$2" >/dev/null
  elif [[ $2 == 9 ]]; then
    "${pin[@]}" "$peer" client "$port" "$count" /a >/dev/null  # "hello /a\n"
  else
    "${pin[@]}" "$peer" client "$port" "$count" "/big?n=$2" >/dev/null
  fi
  t1=$(date +%s%N)
  kill "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  pids=()
  local taken
  taken=$(stop_relay)
  echo "$((count * 1000000000 / (t1 - t0))) $(awk -v t="${taken:-0}" -v n="$count" 'BEGIN { printf "%.3f", t / n }')"
}

results=$work/results
for ((r = 1; r <= reps; r++)); do
  for body in "${sizes[@]}"; do
    for v in none probe probe-queue probe-norec; do echo "$v $body $(run "$v" "$body")" >>"$results"; done
  done
done

echo "messages per second, client -> $front -> $back and back, median of $reps runs of $count messages"
awk -v sizes="${sizes[*]}" '
  function median(vals, m,   a, c, x, s) {
    for (a = 1; a <= m; a++) s[a] = vals[a]
    for (a = 2; a <= m; a++) { x = s[a]; c = a - 1; while (c >= 1 && s[c] > x) { s[c + 1] = s[c]; c-- } s[c + 1] = x }
    return (m % 2) ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
  }
  { key = $1 " " $2; n[key]++; v[key, n[key]] = $3; r[key, n[key]] = $4 }
  END {
    printf "%-6s %-12s %12s %7s %12s\n", "body", "probe", "msgs/s", "ratio", "records/msg"
    split(sizes, bodies, " ")
    for (b = 1; b <= 2; b++) {
      base = 0
      nv = split("none probe probe-queue probe-norec", vs, " ")
      for (i = 1; i <= nv; i++) {
        key = vs[i] " " bodies[b]; m = n[key]
        for (a = 1; a <= m; a++) { mv[a] = v[key, a]; mr[a] = r[key, a] }
        med = median(mv, m)
        if (vs[i] == "none") base = med
        printf "%-6s %-12s %12.0f %7.3f %12.3f\n", bodies[b], vs[i], med, med / base, median(mr, m)
      }
    }
  }' "$results"
