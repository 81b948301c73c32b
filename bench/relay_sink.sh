# Sourced by the server benchmarks: relayd forwarding a gtuid queue (and its
# ring) to bench_relay's counting master. Expects $sink (bench_relay),
# $relayd, $work, $key, $tkey and the array pin_relay; sets relay_pid and
# sink_pid.

# start_relay ON|OFF: starts the master and relayd with the rings on or
# off, and gives them the time to make the queue and the ring and to open
# the session.
start_relay() {
  rm -f "$work/sink.port"
  "${pin_relay[@]}" "$sink" sink "$work/sink.port" >"$work/sink.out" 2>&1 &
  sink_pid=$!
  local i
  for ((i = 0; i < 500; i++)); do [[ -s $work/sink.port ]] && break; sleep 0.01; done
  cat >"$work/relay.conf" <<RELAY
TAV_LOG_FLAG_RLY = OFF
TAV_RLY_AGENT_NAME = bench_
TAV_RLY_AGENT_ALIAS = bench
TAV_NODE_DOMAIN_NAME = bench
TAV_NODE_PRODUCT_CODE = 01
TAV_RLY_GTUID_QUEUE_NAME = $key
TAV_RLY_GTUID_QUEUE_COUNT = 1
TAV_RLY_TCODE_QUEUE_COUNT = 0
TAV_RLY_TCODE_QUEUE_NAME = $tkey
TAV_MST_1ST_MASTER_IPADDR = 127.0.0.1
TAV_MST_2ND_MASTER_IPADDR = 127.0.0.1
TAV_MST_1ST_MASTER_PORT = $(<"$work/sink.port")
TAV_RLY_RINGS = $1
RELAY
  "${pin_relay[@]}" "$relayd" "$work/relay.conf" >"$work/relayd.out" 2>&1 &
  relay_pid=$!
  sleep 0.5
}

# stop_relay: stops both once the last records are through; prints the
# records the master counted.
stop_relay() {
  sleep 0.3
  kill -USR1 "$relay_pid"
  wait "$relay_pid" || true
  kill -TERM "$sink_pid"
  wait "$sink_pid" || true
  relay_pid='' sink_pid=''
  sed -n 's/^records //p' "$work/sink.out"
}

# The queue, its ring and the unused tcode queue.
remove_ipc() {
  ipcrm -Q "$key" 2>/dev/null || true
  ipcrm -M "$key" 2>/dev/null || true
  ipcrm -Q "$tkey" 2>/dev/null || true
}
