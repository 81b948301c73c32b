#!/usr/bin/env bash
# Builds the probe and runs real programs under it: a python3 HTTP server and
# curl, both preloaded with each server build of the probe, and a shell
# pipeline. The probe must change nothing that the programs do.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build --target probe-jeus probe-weblogic probe-tmax probe-webtob

work=$(mktemp -d)
server=""
cleanup() {
  [[ -n "$server" ]] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Settings for every build (the Java builds read the dotted names, the others
# the upper-case ones): logging on at the detail level, logs in the temp dir.
# Check mode on: the server registers its port in a private check home, curl
# (monitored too) leaves a marker, and the server recognises it as a
# monitored caller.
mkdir -p "$work/logs" "$work/site" "$work/check"
cat >"$work/settings" <<EOT
qel.log = ON
qel.log.level = 1
qel.log.path = $work/logs
qel.check.mode = ON
qel.check.udp.port = 7070
qel.check.home = $work/check
QEL_LOG = ON
QEL_LOG_LEVEL = 1
QEL_LOG_PATH = $work/logs
QEL_CHECK_MODE = ON
QEL_CHECK_UDP_PORT = 7070
QEL_CHECK_HOME = $work/check
EOT
export TAV_CONFIG_FILE="$work/settings"

head -c 1048576 /dev/urandom >"$work/site/payload.bin"
printf 'hello from a traced server\n' >"$work/site/index.txt"
want=$(sha256sum <"$work/site/payload.bin" | cut -d' ' -f1)

for build in jeus weblogic tmax webtob; do
  lib="$PWD/build/probe/libprobe-$build.so"
  # A free port, chosen here: a server bound to an explicit port registers it
  # in the check home (one bound to port 0 would not).
  free=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  LD_PRELOAD="$lib" python3 -u -c '
import http.server, functools, sys
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args): pass
h = functools.partial(Quiet, directory=sys.argv[1])
s = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])), h)
print(s.server_address[1], flush=True)
s.serve_forever()' "$work/site" "$free" >"$work/port" &
  server=$!
  for _ in $(seq 200); do [[ -s "$work/port" ]] && break; sleep 0.1; done
  port=$(cat "$work/port")
  [[ -n "$port" ]] || { echo "$build: the server did not start" >&2; exit 1; }
  text=$(LD_PRELOAD="$lib" curl -sS "http://127.0.0.1:$port/index.txt")
  got=$(LD_PRELOAD="$lib" curl -sS "http://127.0.0.1:$port/payload.bin" | sha256sum | cut -d' ' -f1)
  pipe_probe=$(LD_PRELOAD="$lib" bash -c 'seq 1 100000 | sort -r | md5sum')
  pipe_plain=$(bash -c 'seq 1 100000 | sort -r | md5sum')
  kill "$server"; wait "$server" 2>/dev/null || true; server=""
  status=ok
  [[ "$got" == "$want" && "$text" == "hello from a traced server" && "$pipe_probe" == "$pipe_plain" ]] || status=DIFFERENT
  printf '%-9s server answered "%s"; 1 MiB download sha256 %s (sent %s); pipeline %s: %s\n' \
    "$build" "$text" "${got:0:12}" "${want:0:12}" "${pipe_probe:0:12}" "$status"
  [[ $status == ok ]] || exit 1
done
echo "all four probe builds ran the programs unchanged"
echo
echo "what the probes recorded (per-process logs, detail level):"
grep -h -E "listen\(|qel service set" "$work"/logs/TavQEL.LOG.* | head -8
echo "start log:"
head -4 "$work"/logs/tavstart.*
