#!/usr/bin/env bash
# One traced transaction, end to end, on this machine only: a request from
# curl reaches a front server, which calls a back server; both servers run
# with the probe preloaded. Their monitoring records go onto private System V
# queues, relayd forwards them, and the development master prints them as
# they arrive: one identifier for the whole transaction.
#
# Everything runs on loopback with private queue keys, a temporary check home
# and temporary logs, and is stopped and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build --target probe-jeus relayd tavmaster

work=$(mktemp -d)
pids=()
relayd=
# Queue keys of this run only: 0x5A, the low bits of the shell's pid, slot.
base=$(( 0x5A000000 | ($$ & 0xffff) << 8 ))
gkey=$(printf '0x%x' $((base + 0x10)))
tkey=$(printf '0x%x' $((base + 0x20)))
cleanup() {
  # relayd stops on SIGUSR1 (and only then stops re-creating its queues).
  [[ -n $relayd ]] && kill -USR1 "$relayd" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # The relay keeps its rings for the next relay; this run's go with it.
  for k in "$gkey" "$tkey"; do
    ipcrm -Q "$k" 2>/dev/null || true
    ipcrm -M "$k" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/logs" "$work/check"
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for() {  # wait_for FILE: until it is not empty (10 s at most)
  for _ in $(seq 100); do [[ -s $1 ]] && return 0; sleep 0.1; done
  echo "demo: $1 did not appear" >&2
  return 1
}

# The development master, on a port of its own choosing.
build/tools/tavmaster --port 0 --ready-file "$work/master.addr" --out "$work/records.jsonl" \
  2>"$work/master.err" &
pids+=($!)
wait_for "$work/master.addr"
master_port=$(cut -d: -f2 "$work/master.addr")

# The relay: it creates the queues and forwards to the master.
cat >"$work/relay.conf" <<EOT
TAV_LOG_FLAG_RLY = ON
TAV_LOG_PATH = $work/logs
TAV_LOG_FILE_RLY = relayd
TAV_RLY_AGENT_NAME = demo_
TAV_RLY_AGENT_ALIAS = demo relay
TAV_NODE_DOMAIN_NAME = demo
TAV_NODE_PRODUCT_CODE = 01
TAV_RLY_GTUID_QUEUE_NAME = $gkey
TAV_RLY_GTUID_QUEUE_COUNT = 1
TAV_RLY_TCODE_QUEUE_COUNT = 1
TAV_RLY_TCODE_QUEUE_NAME = $tkey
TAV_MST_1ST_MASTER_IPADDR = 127.0.0.1
TAV_MST_2ND_MASTER_IPADDR = 127.0.0.1
TAV_MST_1ST_MASTER_PORT = $master_port
EOT
build/relay/relayd "$work/relay.conf" >"$work/relayd.out" 2>&1 &
relayd=$!
for _ in $(seq 100); do grep -q "accepted" "$work/master.err" && break; sleep 0.1; done
grep -q "accepted" "$work/master.err" || { echo "demo: the relay did not reach the master" >&2; exit 1; }

# The probe's settings: FULL mode, records onto the relay's queues, the
# front's port an entry port, and check mode so that the front recognises
# the back as a monitored server (the back registers its port in the check
# home, the front leaves its marker there).
front_port=$(free_port)
back_port=$(free_port)
cat >"$work/probe.conf" <<EOT
qel.log = ON
qel.log.path = $work/logs
qel.mode = FULL
qel.node.id = 7
qel.gtuid.send.type = QUEUE
qel.gtuid.queue.name = $gkey
qel.gtuid.queue.count = 1
qel.ip.information = 127.0.0.1:$front_port:START
qel.check.mode = ON
qel.check.udp.port = 9
qel.check.home = $work/check
EOT
probe=(env TAV_CONFIG_FILE="$work/probe.conf" LD_PRELOAD="$PWD/build/probe/libprobe-jeus.so")

# The back server: answers each line it reads.
"${probe[@]}" python3 -u -c '
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
print("ready", flush=True)
while True:
    c, _ = s.accept()
    with c:
        data = c.recv(4096)
        c.sendall(b"stock of " + data.strip() + b": 42 units\n")' "$back_port" >"$work/back.out" &
pids+=($!)
# The front server: an HTTP server that asks the back for every request.
"${probe[@]}" python3 -u -c '
import http.server, socket, sys
back = int(sys.argv[2])
class Front(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args): pass
    def do_GET(self):
        with socket.create_connection(("127.0.0.1", back)) as c:
            c.sendall(self.path.encode() + b"\n")
            answer = c.recv(4096)
        self.send_response(200)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)
s = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Front)
print("ready", flush=True)
s.serve_forever()' "$front_port" "$back_port" >"$work/front.out" &
pids+=($!)
wait_for "$work/back.out"
wait_for "$work/front.out"

echo "curl http://127.0.0.1:$front_port/widget (curl itself is not monitored):"
curl -sS "http://127.0.0.1:$front_port/widget"
echo

# The records of that one transaction, as the master received them.
for _ in $(seq 100); do grep -q '"event":"E"' "$work/records.jsonl" 2>/dev/null && break; sleep 0.1; done
echo "records at the development master:"
python3 - "$work/records.jsonl" "$front_port" "$back_port" <<'EOT'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
names = {"SR": "RS start (request read)", "CS": "SC handed to a peer", "CR": "RC taken from a peer",
         "ES": "SE end (reply written)"}
for r in sorted(records, key=lambda r: r["seq"]):
    what = names.get(r["event"] + r["direction"], r["event"] + r["direction"])
    print(f'  gtuid {r["gtuid"]}  seq {r["seq"]}  pid {r["pid"]}  {what:24}  '
          f'peer {r["ipaddr"]}:{r["port"]}')
ids = {r["gtuid"] for r in records}
if not records or len(ids) != 1:
    sys.exit(f"demo: expected the records of one transaction, got {len(records)} with {len(ids)} identifiers")
print(f"{len(records)} records, one identifier: {ids.pop()}")
EOT

# Stop everything: relayd on SIGUSR1, the rest on SIGTERM.
kill -USR1 "$relayd"
wait "$relayd" && echo "relayd stopped cleanly"
relayd=
