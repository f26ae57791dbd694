#!/usr/bin/env bash
# What one instance of the nginx rule server holds on this machine, asked as routers ask: every
# request on a new TLS connection (no session resumed), the form kiv posts (eight fields, a fleet
# report among them), for the three answers: the whole set (16 KiB, as docs/rule_server_load.md
# counts), "no update", and the 503 of a shed request.
#   fleet/nginx/bench.sh [--seconds S] [--connections C]
# Needs build/kivrule (KIV_BUILD_DIR names another build); installs nginx, its njs module and wrk
# where missing. Load generator and server share this machine's cores, so the requests a second
# it shows are a floor; the server's own CPU time a request gives what a core of its own holds.
# Loopback only; every run is bounded by --seconds, and nginx is stopped on every way out.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=10 connections=64
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    *) echo "usage: fleet/nginx/bench.sh [--seconds S] [--connections C]" >&2; exit 2 ;;
  esac
done
[[ $seconds =~ ^[1-9][0-9]{0,2}$ && $connections =~ ^[1-9][0-9]{0,3}$ ]] ||
  { echo "bench.sh: --seconds 1..999, --connections 1..9999" >&2; exit 2; }
B=${KIV_BUILD_DIR:-build}
[ -x "$B/kivrule" ] || { echo "bench.sh: $B/kivrule is missing: build first" >&2; exit 1; }
source scripts/packages.sh
install_missing nginx libnginx-mod-http-js wrk openssl python3

W=$(mktemp -d /tmp/kiv-rule-bench.XXXXXX)
chmod o+x "$W" # started as root, nginx's workers run as www-data: they must reach $W/srv/publish
srv=
cleanup() {
  if [ -n "$srv" ] && kill -0 "$srv" 2>/dev/null; then
    kill -TERM "$srv"
    for _ in $(seq 50); do kill -0 "$srv" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$srv" 2>/dev/null || true
  fi
  rm -rf "$W"
}
trap cleanup EXIT

python3 tests/support/rule_server.py --certs "$B/test-certs" --certs-only
# A set of 16 KiB: rules enough to fill it, packed and signed at serial 5.
python3 - "$W/rules.json" <<'PY'
import json, sys
rules, n = [], 0
while len(json.dumps(rules)) < 16200:
    rules.append({"model": "KV-1000", "keyword": "fault_%d" % n, "re_pattern": "fault %d seen" % n,
                  "frequency": 3, "period": 60, "action": "restart_wan"})
    n += 1
open(sys.argv[1], "w").write(json.dumps(rules))
PY
"$B/kivrule" pack "$W/rules.json" "$W/rules.kiv" --ran 1 >/dev/null
"$B/kivrule" keygen "$W/key" >/dev/null
"$B/kivrule" sign --key "$W/key.key" --serial 5 "$W/rules.kiv" "$W/rules.signed" >/dev/null

# The body kiv posts: its six fields, RuleSerial, a fleet report.
form() {
  local b=kivbenchboundary0123456789 name value
  for pair in "Model=KV-1000#" "TCode=EU" "FWVER=3.0.0.4.388_24" \
    "IDENT=68cc5ae9af91d1a3453d12163b8effad" "AlgoVersion=Ver0001" "kiv_user_approval=0" \
    "RuleSerial=$1" \
    'KivReport={"v":1,"serial":4,"bucket":28,"seconds":86400,"walked":41230,"lost":0,"reboots":0,"rules":{"wan_down":{"matches":3,"fires":1,"heals":1,"unconfirmed":0,"held":0}}}'; do
    name=${pair%%=*} value=${pair#*=}
    printf -- '--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' "$b" "$name" "$value"
  done
  printf -- '--%s--\r\n' "$b"
}
form 4 >"$W/full.body"
form 5 >"$W/no_update.body"
for kind in full no_update; do
  cat >"$W/$kind.lua" <<LUA
wrk.method = "POST"
local f = io.open("$W/$kind.body", "rb"); wrk.body = f:read("*a"); f:close()
wrk.headers["Content-Type"] = "multipart/form-data; boundary=kivbenchboundary0123456789"
wrk.headers["Connection"] = "close"
LUA
done

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The load comes from one address: its client budget is the instance's.
start() { # rate burst
  fleet/nginx/start.sh --dir "$W/srv" --cert "$B/test-certs/server.pem" \
    --key "$B/test-certs/server.key" --listen "127.0.0.1:$port" --rate "$1" --burst "$2" \
    --client-rate "$1" --client-burst "$2" --retry-after 600 >"$W/srv.out" 2>&1 &
  srv=$!
  for _ in $(seq 100); do
    [ -s "$W/srv/nginx.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    kill -0 "$srv" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench.sh: nginx did not start: $(cat "$W/srv.out")" >&2
  exit 1
}
stop() {
  kill -TERM "$srv"
  for _ in $(seq 100); do kill -0 "$srv" 2>/dev/null || break; sleep 0.1; done
  srv=
}
# CPU ticks of nginx's workers so far.
worker_ticks() {
  local sum=0 p t
  for p in $(pgrep -P "$srv"); do
    t=$(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null) || t=0
    sum=$((sum + t))
  done
  echo "$sum"
}
measure() { # label body-kind expected-status
  local before after rps cpu_ms lines out
  : >"$W/srv/logs/requests.jsonl"
  kill -USR1 "$srv" # reopen the log: it counts this run's requests
  sleep 0.5
  before=$(worker_ticks)
  out=$(timeout $((seconds + 30)) wrk -t2 -c"$connections" -d"${seconds}s" -s "$W/$2.lua" \
    "https://127.0.0.1:$port/dljson.php")
  after=$(worker_ticks)
  sleep 1.5 # the log is flushed at least every second
  lines=$(grep -c "\"status\":$3" "$W/srv/logs/requests.jsonl" || true)
  rps=$(awk '/^Requests\/sec:/ {printf "%d", $2}' <<<"$out")
  cpu_ms=$(awk -v t=$((after - before)) -v n="$lines" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.2f", (n > 0 ? t * 1000 / hz / n : 0) }')
  printf '%-34s %7s req/s  %6s answered %s  server CPU %s ms a request: %s req/s a core\n' \
    "$1" "$rps" "$lines" "$3" "$cpu_ms" \
    "$(awk -v c="$cpu_ms" 'BEGIN { printf "%d", (c + 0 > 0 ? 1000 / c : 0) }')"
  grep -E 'Non-2xx|Socket errors' <<<"$out" | sed 's/^/    wrk: /' || true
}

echo "== one nginx instance ($(nproc) cores shared with the load generator: wrk -t2 -c$connections, ${seconds} s each," \
  "a new TLS connection per request), load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%F %T') UTC"
echo "   nginx $(nginx -v 2>&1 | sed 's/.*nginx\///'), njs $(dpkg-query -W -f='${Version}' libnginx-mod-http-js)," \
  "$(openssl version | cut -d' ' -f1-2), set of $(wc -c <"$W/rules.signed") bytes"
start 1000000r/s 1000000
measure "the whole set ($(wc -c <"$W/rules.signed") bytes)" full 200
measure "no update (RuleSerial is current)" no_update 200
stop
start 1r/m 1
measure "shed: 503 with Retry-After" full 503
stop
