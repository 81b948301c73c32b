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
# leaves six records on the gtuid queue, which bench_qdrain empties
# meanwhile (so no send meets a full queue). A third variant runs the probe
# with no record queue configured: the following and framing without the
# records. The table gives the median messages per second and the ratio to
# the run without the probe.
#
#   bench/run_server_bench.sh tmax|webtob [build-dir] [repetitions] [messages-per-run]
#
# Defaults: build, 5 repetitions, 20000 messages. The client and the two
# processes run on CPU 0 (when taskset is there), so that a message costs
# CPU time only, which is what the probe adds to, rather than wake-ups across
# CPUs, which on a small virtual machine vary a lot. The drain runs on CPU 1,
# as the relay would run beside the servers.
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
drain=$build/bench/bench_qdrain
lib=$build/probe/libprobe-$server.so
for f in "$peer" "$drain" "$lib"; do [[ -e $f ]] || { echo "missing $f: build it first" >&2; exit 1; }; done

pin=() pin_drain=()
command -v taskset >/dev/null && pin=(taskset -c 0) pin_drain=(taskset -c 1)
work=$(mktemp -d /tmp/qel-serverbench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/log" "$work/check"
ln -s "$peer" "$work/$front"
ln -s "$peer" "$work/$back"
key=$(printf '0x%x' $((0x5a000000 | ($$ & 0xffff) << 8)))
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

# run VARIANT SIZE: messages per second of one run.
run() {
  local preload= conf=$work/qel.conf
  [[ $1 == probe* ]] && preload=$lib
  [[ $1 == probe-norec ]] && conf=$work/noq.conf
  "${pin_drain[@]}" "$drain" "$key" >"$work/drain.out" &
  local dpid=$!
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
  kill -TERM "$dpid"
  wait "$dpid" || true
  if [[ $1 == probe ]]; then
    local taken
    taken=$(sed -n 's/^taken //p' "$work/drain.out")
    [[ $taken == $((6 * count)) ]] || echo "records taken: $taken, expected $((6 * count))" >&2
  fi
  echo $((count * 1000000000 / (t1 - t0)))
}

results=$work/results
for ((r = 1; r <= reps; r++)); do
  for body in "${sizes[@]}"; do
    for v in none probe probe-norec; do echo "$v $body $(run "$v" "$body")" >>"$results"; done
  done
done

echo "messages per second, client -> $front -> $back and back, median of $reps runs of $count messages"
awk -v sizes="${sizes[*]}" '
  { key = $1 " " $2; n[key]++; v[key, n[key]] = $3 }
  END {
    printf "%-6s %-11s %12s %7s\n", "body", "probe", "msgs/s", "ratio"
    split(sizes, bodies, " ")
    for (b = 1; b <= 2; b++) {
      base = 0
      nv = split("none probe probe-norec", vs, " ")
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
