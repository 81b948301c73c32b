#!/usr/bin/env bash
# Records per second that relayd moves from a gtuid queue to a master,
# against a plain loop that only drains the same queue with msgrcv, on the
# same number of records (bench_relay does the producing, draining and
# counting; see bench/relay_bench.cpp). Each repetition runs, in turn:
#
#   plain    producer thread -> queue -> msgrcv loop
#   relay    producer thread -> queue -> relayd -> counting master (in
#            bench_relay: answers the opening and polls, counts and checks
#            the records of each batch, writes nothing)
#   ring     producer thread -> relayd's record ring -> relayd -> the same
#            counting master (the producer waits while the ring is full)
#   tavmstr  the same through relayd to tavmaster, which writes every record
#            as a JSON line to a file that bench_relay reads back and counts
#
# A queue here holds about 56 records, so the producer always runs alongside
# the consumer; its sends block while the queue is full, so nothing is lost.
# Each relay run starts a fresh relayd; its peak resident size (VmHWM) and
# its CPU time (all threads, from schedstat) are read after the last record
# arrived and before it is stopped with SIGUSR1. The relay's settings leave
# the queue's byte limit as the system made it (TAV_RLY_GTUID_QUEUE_MAXMSG =
# 1), so that both cases run on the same queue size.
#
#   bench/run_relay_bench.sh [build-dir] [records] [repetitions]
#
# Defaults: build, 1000000 records, 5 repetitions (a run of 200000 records
# lasts about 0.15 s here, too short for steady figures). Builds nothing: the
# targets bench_relay, relayd and tavmaster must exist in build-dir.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
records=${2:-1000000}
reps=${3:-5}

build=$(cd "$build" && pwd)
bench=$build/bench/bench_relay
relayd=$build/relay/relayd
tavmaster=$build/tools/tavmaster
for b in "$bench" "$relayd" "$tavmaster"; do
  [[ -x $b ]] || { echo "no $b: build bench_relay, relayd and tavmaster first" >&2; exit 1; }
done
[[ $records =~ ^[1-9][0-9]{0,8}$ && $reps =~ ^[1-9][0-9]*$ ]] ||
  { echo "records (1 to 100000000) and repetitions must be positive numbers" >&2; exit 1; }
# Seconds one driver may take before it is ended: generous for the slowest
# case (tavmaster writing JSON) at well under 100000 records per second.
limit=$((60 + records / 20000))

# A private queue key from this shell's pid; the tcode key (required by the
# relay's settings, no tcode queue is opened) is the next one.
gkey=$(printf '0x%08x' $((0x57000000 | ($$ & 0xffff) << 8 | 0x40)))
tkey=$(printf '0x%08x' $((gkey + 1)))
work=$(mktemp -d /tmp/qel-relaybench-XXXXXX)
relay_pid='' driver_pid='' master_pid=''

remove_queues() {  # and the ring beside the gtuid queue
  ipcrm -Q "$gkey" 2>/dev/null || true
  ipcrm -Q "$tkey" 2>/dev/null || true
  ipcrm -M "$gkey" 2>/dev/null || true
}
# Stops whatever of this run is still up, relayd first (it would re-create a
# removed queue), then removes the queues.
stop_all() {
  if [[ -n $relay_pid ]]; then
    kill -USR1 "$relay_pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=
  fi
  for p in $driver_pid $master_pid; do
    kill -TERM "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  driver_pid='' master_pid=''
  remove_queues
}
cleanup() {
  stop_all
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# wait_file PATH: waits up to 10 s for PATH to have content.
wait_file() {
  for ((i = 0; i < 200; i++)); do
    [[ -s $1 ]] && return 0
    sleep 0.05
  done
  echo "timed out waiting for $1" >&2
  return 1
}

write_settings() {  # write_settings PORT RINGS(ON|OFF)
  cat >"$work/relay.conf" <<EOF
TAV_LOG_FLAG_RLY = OFF
TAV_LOG_PATH = $work
TAV_LOG_FILE_RLY = relayd
TAV_RLY_AGENT_NAME = bench_
TAV_RLY_AGENT_ALIAS = bench
TAV_NODE_DOMAIN_NAME = bench
TAV_NODE_PRODUCT_CODE = 01
TAV_RLY_GTUID_QUEUE_NAME = $gkey
TAV_RLY_GTUID_QUEUE_COUNT = 1
TAV_RLY_GTUID_THREAD_COUNT = 1
TAV_RLY_GTUID_QUEUE_MAXMSG = 1
TAV_RLY_TCODE_QUEUE_COUNT = 0
TAV_RLY_TCODE_QUEUE_NAME = $tkey
TAV_RLY_MASTER_SESSION_COUNT = 1
TAV_MST_1ST_MASTER_IPADDR = 127.0.0.1
TAV_MST_2ND_MASTER_IPADDR = 127.0.0.1
TAV_MST_1ST_MASTER_PORT = $1
TAV_RLY_RINGS = $2
EOF
}

# field NAME LINE: the value of NAME=value in a result line.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }

# Sum of the CPU nanoseconds of all threads of a process.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%.0f", s }'; }

# Each run appends a line "CASE RECORDS_PER_S PRODUCER_CPU_S CONSUMER_CPU_S
# VMHWM_KB RELAYD_CPU_S TAVMASTER_CPU_S" to results ("-" where it does not
# apply), or fails with the driver's output.
results=$work/results
: >"$results"

run_plain() {
  remove_queues
  local out
  if ! out=$(timeout "$limit" "$bench" drain "$gkey" "$records" 2>&1); then
    echo "plain run failed: $out" >&2
    return 1
  fi
  local line
  line=$(grep '^result ' <<<"$out")
  echo "plain $(field records_per_s "$line") $(field producer_cpu_s "$line")" \
    "$(field consumer_cpu_s "$line") - - -" >>"$results"
  remove_queues
}

run_relay() {  # run_relay relay|ring|tavmstr
  local kind=$1 port rings=OFF
  remove_queues
  rm -f "$work/port" "$work/ready" "$work/records.jsonl" "$work/driver.out"
  if [[ $kind == relay || $kind == ring ]]; then
    local role=relay
    [[ $kind == ring ]] && role=relay-ring rings=ON
    timeout "$limit" "$bench" "$role" "$gkey" "$records" "$work/port" >"$work/driver.out" 2>&1 &
    driver_pid=$!
    wait_file "$work/port"
    port=$(<"$work/port")
  else
    "$tavmaster" --port 0 --ready-file "$work/ready" --out "$work/records.jsonl" \
      2>"$work/tavmaster.err" &
    master_pid=$!
    wait_file "$work/ready"
    port=$(<"$work/ready")
    port=${port##*:}
    timeout "$limit" "$bench" relay-file "$gkey" "$records" "$work/records.jsonl" \
      >"$work/driver.out" 2>&1 &
    driver_pid=$!
  fi
  write_settings "$port" "$rings"
  "$relayd" "$work/relay.conf" >"$work/relayd.out" 2>&1 &
  relay_pid=$!

  local rc=0
  wait "$driver_pid" || rc=$?
  driver_pid=
  local hwm=- cpu=-
  if kill -0 "$relay_pid" 2>/dev/null; then
    hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/"$relay_pid"/status)
    cpu=$(cpu_ns "$relay_pid" | awk '{ printf "%.6f", $1 / 1e9 }')
  fi
  local mcpu=-
  [[ -n $master_pid ]] && mcpu=$(cpu_ns "$master_pid" | awk '{ printf "%.6f", $1 / 1e9 }')
  local relay_rc=0 stuck=''
  kill -USR1 "$relay_pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$relay_pid" 2>/dev/null; then
    stuck=1
    kill -KILL "$relay_pid" 2>/dev/null || true
  fi
  wait "$relay_pid" || relay_rc=$?
  relay_pid=
  if [[ -n $master_pid ]]; then
    kill -TERM "$master_pid" 2>/dev/null || true
    wait "$master_pid" || true
    master_pid=
  fi
  remove_queues
  if ((rc != 0)); then
    echo "$kind run failed (status $rc):" >&2
    cat "$work/driver.out" "$work/relayd.out" >&2
    [[ $kind == tavmstr ]] && cat "$work/tavmaster.err" >&2
    return 1
  fi
  if [[ -n $stuck ]]; then
    echo "relayd still ran 5 s after SIGUSR1 (ended with SIGKILL)" >&2
    return 1
  fi
  if ((relay_rc != 0)); then
    echo "relayd ended with status $relay_rc after SIGUSR1: $(cat "$work/relayd.out")" >&2
    return 1
  fi
  local line
  line=$(grep '^result ' "$work/driver.out")
  echo "$kind $(field records_per_s "$line") $(field producer_cpu_s "$line")" \
    "$(field consumer_cpu_s "$line") $hwm $cpu $mcpu" >>"$results"
  if [[ $kind == relay || $kind == ring ]]; then
    echo "  $kind: batches $(field batches "$line"), largest $(field largest_batch "$line") records" \
      >>"$work/batches"
  fi
  rm -f "$work/records.jsonl"
}

echo "relay throughput: $records records per run, $reps runs, queue $gkey ($(nproc) CPUs)"
for ((r = 1; r <= reps; r++)); do
  run_plain
  run_relay relay
  run_relay ring
  run_relay tavmstr
done

awk -v n="$records" '
  function median(a, m,   i, j, x, s) {
    for (i = 1; i <= m; i++) s[i] = a[i]
    for (i = 2; i <= m; i++) { x = s[i]; j = i - 1; while (j >= 1 && s[j] > x) { s[j + 1] = s[j]; j-- } s[j + 1] = x }
    return (m % 2) ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
  }
  function us(a, m) { return median(a, m) * 1e6 / n }
  $1 == "plain"   { p[++np] = $2; pp[np] = $3; pc[np] = $4 }
  $1 == "relay"   { r[++nr] = $2; rp[nr] = $3; rm[nr] = $4; rh[nr] = $5; rc[nr] = $6 }
  $1 == "ring"    { g[++ng] = $2; gp[ng] = $3; gm[ng] = $4; gh[ng] = $5; gc[ng] = $6 }
  $1 == "tavmstr" { t[++nt] = $2; tp[nt] = $3; th[nt] = $5; tc[nt] = $6; tm[nt] = $7 }
  END {
    printf "%-6s %12s %12s %7s %12s %7s %10s %12s %7s\n", "run", "plain rec/s", "relay rec/s", "ratio",
           "ring rec/s", "ratio", "VmHWM kB", "tavmstr r/s", "ratio"
    for (i = 1; i <= np; i++) {
      pr[i] = r[i] / p[i]; gr[i] = g[i] / p[i]; tr[i] = t[i] / p[i]
      printf "%-6d %12.0f %12.0f %7.3f %12.0f %7.3f %10d %12.0f %7.3f\n", i, p[i], r[i], pr[i], g[i], gr[i],
             gh[i], t[i], tr[i]
    }
    printf "%-6s %12.0f %12.0f %7.3f %12.0f %7.3f %10d %12.0f %7.3f\n", "median", median(p, np),
           median(r, nr), median(pr, np), median(g, ng), median(gr, np), median(gh, ng), median(t, nt),
           median(tr, nt)
    printf "\nCPU per record in microseconds (medians):\n"
    printf "  plain:   producer %.3f, msgrcv loop %.3f\n", us(pp, np), us(pc, np)
    printf "  relay:   producer %.3f, relayd (all threads) %.3f, counting master %.3f\n", us(rp, nr),
           us(rc, nr), us(rm, nr)
    printf "  ring:    producer %.3f, relayd (all threads) %.3f, counting master %.3f\n", us(gp, ng),
           us(gc, ng), us(gm, ng)
    printf "  tavmstr: producer %.3f, relayd (all threads) %.3f, tavmaster %.3f\n", us(tp, nt), us(tc, nt),
           us(tm, nt)
  }' "$results"
echo "relay batches to the counting master per run:"
cat "$work/batches"
