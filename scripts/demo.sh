#!/usr/bin/env bash
# The whole loop of kiv on this machine, in a sandbox root and in well under a minute:
#   the example rule set packed by kivrule and served by the loopback HTTPS rule server,
#   kiv downloading and reading it, fault lines written into the system log it follows,
#   the heal seen in the service events, the dump with the results, an orderly stop; then the
#   same router with a rule-signing key and a heal budget: an unsigned and an older signed set
#   refused, a signed one taken, and the fires of a persisting fault held back; then the
#   fleet's rule server on nginx (fleet/nginx): a newer signed set staged for 50% of routers
#   refused, taken at 90%, "no update" for the serial held, and kivrule fleet's verdict on the
#   server's request log.
# Ends non-zero as soon as a step does not happen; the server and the daemon are stopped on
# every way out. KIV_BUILD_DIR names the build directory (default build), KIV_DEMO_KEEP=1
# keeps the sandbox root for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
B=${KIV_BUILD_DIR:-build}
for prog in kiv nvram kivrule; do
  if [ ! -x "$B/$prog" ]; then
    echo "demo: $B/$prog is missing: build first (scripts/setup.sh build)" >&2
    exit 1
  fi
done
B=$(cd "$B" && pwd)

R=$(mktemp -d /tmp/kiv-demo.XXXXXX)
S=$R/rule_server # the server's own directory: certificates, port, control, requests
mkdir -p "$R/tmp" "$R/var/run" "$R/dev" "$R/jffs" "$R/proc" "$S"
export KIV_ROOT=$R KIV_TIME_SCALE=${KIV_TIME_SCALE:-0.05} KIV_CA_BUNDLE=$S/ca.pem
LOG=$R/tmp/kiv.log
EVENTS=$R/tmp/service_events.log
SYSLOG=$R/tmp/syslog.log

pid=
srv=
ngx=
# Stops whatever still runs (first politely, then for good) and removes the root.
stop_process() {
  local p=$1 i
  kill -0 "$p" 2>/dev/null || return 0
  kill -TERM "$p" 2>/dev/null || true
  for i in $(seq 50); do
    kill -0 "$p" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ -z "$pid" ] || stop_process "$pid"
  [ -z "$srv" ] || stop_process "$srv"
  [ -z "$ngx" ] || stop_process "$ngx"
  if [ -n "${KIV_DEMO_KEEP:-}" ]; then echo "demo: sandbox root kept at $R"; else rm -rf "$R"; fi
  if [ "$status" -ne 0 ]; then echo "demo: FAILED (status $status)" >&2; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "demo: $*" >&2
  if [ -f "$LOG" ]; then
    echo "demo: last records of $LOG:" >&2
    tail -n 15 "$LOG" >&2
  fi
  exit 1
}
# Bounded wait until FILE holds TEXT (fixed text) COUNT times, at most LIMIT seconds.
wait_for() {
  local file=$1 text=$2 limit=$3 count=${4:-1} t=0 seen
  while :; do
    seen=$(grep -cF -- "$text" "$file" 2>/dev/null) || seen=0
    [ "$seen" -lt "$count" ] || break
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then fail "kiv ended while waiting for '$text'"; fi
    sleep 0.1
    t=$((t + 1))
    [ "$t" -lt $((limit * 10)) ] || fail "timed out after ${limit}s waiting for '$text' in $file"
  done
}
step() { printf '\n== %s\n' "$*"; }
# The test clock: seconds since boot as the daemon reads them.
clock() { printf '%s.00 1.00\n' "$1" >"$R/proc/uptime"; }
# Points the rule server at its next answer (written whole, read afresh for every request).
serve() {
  printf '{"status": 200, "body_file": "%s"}\n' "$1" >"$S/control.tmp"
  mv "$S/control.tmp" "$S/control.json"
}

step "sandbox root $R"

step "the rule set: examples/rules.json packed by kivrule"
"$B/kivrule" pack examples/rules.json "$S/rules.kiv" --ran 20261207
echo "$(wc -c <"$S/rules.kiv") bytes in the container"
serve "$S/rules.kiv"

step "loopback HTTPS rule server (throw-away CA in $S/ca.pem)"
python3 tests/support/rule_server.py --dir "$S" --control "$S/control.json" >"$S/server.out" 2>&1 &
srv=$!
for i in $(seq 300); do
  [ -s "$S/port" ] && break
  kill -0 "$srv" 2>/dev/null || fail "the rule server did not start: $(cat "$S/server.out")"
  sleep 0.1
done
[ -s "$S/port" ] || fail "the rule server did not report its port"
PORT=$(cat "$S/port")
echo "serving on https://127.0.0.1:$PORT"

step "settings of a KV-1000 whose services run, online, clock synchronised, check at once"
"$B/nvram" set productid=KV-1000
"$B/nvram" set success_start_service=1
"$B/nvram" set "kiv_debug_server=https://127.0.0.1:$PORT"
"$B/nvram" set link_internet=2
"$B/nvram" set ntp_ready=1
"$B/nvram" set kiv_quick_period=1
"$B/nvram" show
clock 5
: >"$SYSLOG"

step "start kiv (follows \$R/tmp/syslog.log, logs to \$R/tmp/kiv.log, KIV_TIME_SCALE=$KIV_TIME_SCALE)"
"$B/kiv" >"$R/kiv.out" 2>&1 &
pid=$!
wait_for "$LOG" "New arraylen=" 30
echo "rule set downloaded and read: $(grep -oF 'New arraylen=5' "$LOG" | head -n1)"
grep -qF "New arraylen=5" "$LOG" || fail "expected the 5 rules of examples/rules.json"
# The server has nothing newer from now on: the scheduler's further checks of this cycle find
# no update and leave the rule set (and its rings) as they are.
: >"$S/empty"
serve "$S/empty"
wait_for "$LOG" "No update for kiv JSON file." 30
echo "the server's next answer is empty: 'No update for kiv JSON file.', the set stays"
sets=$(grep -cF 'New arraylen=' "$LOG")

step "fault lines in the system log at uptimes 10, 20, 75 (65 s apart: not within 60 s)"
n=0
for at in 10 20 75; do
  clock "$at"
  line="$(date '+%b %e %H:%M:%S') WAN: link down"
  echo "$line" >>"$SYSLOG"
  echo "uptime $at: $line"
  n=$((n + 1))
  # Recorded when the ring shows this uptime.
  wait_for "$LOG" "timestamp[$(((n - 1) % 3))]=[$at.000000]" 10
done
sleep 1 # the trigger thread examines every profile several times meanwhile
[ ! -s "$EVENTS" ] || fail "healed although the matches span 65 s"
echo "ring full, window 65 s > 60 s: no heal"

step "a fourth line at uptime 80: the window 20..80 holds 60 s"
clock 80
line="$(date '+%b %e %H:%M:%S') WAN: link down"
echo "$line" >>"$SYSLOG"
echo "uptime 80: $line"
wait_for "$EVENTS" "restart_wan" 10
wait_for "$LOG" "self_healing end" 10
echo "\$R/tmp/service_events.log:"
cat "$EVENTS"
[ "$(grep -cF 'New arraylen=' "$LOG")" -eq "$sets" ] || fail "the rule set was reloaded meanwhile"

step "SIGUSR2: dump of the rule set (profile 0)"
rm -f "$R/tmp/kiv_dump.txt"
kill -USR2 "$pid"
wait_for "$R/tmp/kiv_dump.txt" "=====checkActionList=====" 10
sed -n '/=====monitor_profile\[0\]=====/,/=====monitor_profile\[1\]=====/p' "$R/tmp/kiv_dump.txt" |
  grep -E '=====monitor_profile\[0\]|isActive|kiv_keyword|re_pattern|frequency|period|action'
grep -qF "==>actionResult[0]=[0]" "$R/tmp/kiv_dump.txt" || fail "no actionResult[0]=[0] in the dump"
grep -qF "==>actionRetry[0]=[1]" "$R/tmp/kiv_dump.txt" || fail "no actionRetry[0]=[1] in the dump"

step "SIGTERM: orderly stop"
kill -TERM "$pid"
status=0
for i in $(seq 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
wait "$pid" || status=$?
pid=
echo "kiv exit status: $status"
[ "$status" -eq 0 ] || fail "kiv ended with status $status"
[ ! -e "$R/var/run/kiv.pid" ] || fail "the PID file is still there"
echo "PID file removed."

step "trust and restraint: the router holds a rule-signing key (kiv_rule_pubkey), kiv_heal_limit=2"
"$B/kivrule" keygen "$S/release" >/dev/null
cp "$S/release.pub" "$R/release.pub"
"$B/kivrule" sign --key "$S/release.key" --serial 2 "$S/rules.kiv" "$S/rules.2" >/dev/null
"$B/kivrule" sign --key "$S/release.key" --serial 1 "$S/rules.kiv" "$S/rules.1" >/dev/null
"$B/nvram" set kiv_rule_pubkey=/release.pub
"$B/nvram" set kiv_heal_limit=2
"$B/kiv" >>"$R/kiv.out" 2>&1 &
pid=$!
# One check of the server's answer FILE, until the log holds TEXT once more.
check_with() {
  local n
  n=$(grep -cF -- "$2" "$LOG") || n=0
  serve "$1"
  "$B/nvram" set kiv_quick_period=1
  wait_for "$LOG" "$2" 30 $((n + 1))
  echo "$(basename "$1"): $(grep -F -- "$2" "$LOG" | tail -n 1 | sed 's/^\[KIV\]\[[^]]*\]//')"
}
check_with "$S/rules.kiv" "Rule file not taken: missing signature"
check_with "$S/rules.2" "New arraylen=5"
check_with "$S/rules.1" "Rule file not taken: serial 1 is below"
check_with "$S/rules.2" "Rule file not taken: the installed set"
echo "the request now ends in: $(tail -n 1 "$S/requests.jsonl" | python3 -c 'import json,sys
f = json.loads(sys.stdin.readline())["fields"][-1]; print("%s=%s" % (f["name"], f["value"]))')"
: >"$EVENTS"
for first in 200 210 220; do # three fires of wan_down, three matches each
  heals=$(grep -cF 'self_healing end' "$LOG") || heals=0
  for at in $first $((first + 1)) $((first + 2)); do
    clock "$at"
    echo "$(date '+%b %e %H:%M:%S') WAN: link down" >>"$SYSLOG"
    wait_for "$LOG" "]=[$at.000000]" 10
  done
  wait_for "$LOG" "self_healing end" 10 $((heals + 1))
done
echo "three fires, service events: $(tr '\n' ' ' <"$EVENTS")"
grep -F "Heal budget spent" "$SYSLOG" | tail -n 1
[ "$(grep -c restart_wan "$EVENTS")" -eq 2 ] || fail "expected two heals within the budget"

step "the fleet's rule server: nginx with its njs module (fleet/nginx), TLS on loopback"
N=$R/nginx
chmod o+x "$R" # started as root, nginx's workers run as www-data: they must reach $N/publish
NPORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fleet/nginx/start.sh --dir "$N" --cert "$S/certs/server.pem" --key "$S/certs/server.key" \
  --listen "127.0.0.1:$NPORT" --rate 60r/s --burst 60 >"$R/nginx.out" 2>&1 &
ngx=$!
for i in $(seq 100); do
  [ -s "$N/nginx.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$NPORT") 2>/dev/null && break
  kill -0 "$ngx" 2>/dev/null || fail "nginx did not start: $(cat "$R/nginx.out")"
  sleep 0.1
done
echo "nginx $(nginx -v 2>&1 | sed 's/.*\///') serving on https://127.0.0.1:$NPORT"
"$B/nvram" set "kiv_debug_server=https://127.0.0.1:$NPORT"
# One check against nginx, until the log holds TEXT once more.
check_nginx() {
  local n
  n=$(grep -cF -- "$1" "$LOG") || n=0
  "$B/nvram" set kiv_quick_period=1
  wait_for "$LOG" "$1" 30 $((n + 1))
  echo "$(grep -F -- "$1" "$LOG" | tail -n 1 | sed 's/^\[KIV\]\[[^]]*\]//')"
}
"$B/nvram" set label_mac=02:4B:56:00:00:01
"$B/nvram" set kiv_fleet_report=1
echo "this router: $("$B/kivrule" bucket 02:4B:56:00:00:01)"
"$B/kivrule" sign --key "$S/release.key" --serial 3 --stage 50 "$S/rules.kiv" "$S/rules.3.50" >/dev/null
fleet/nginx/publish.sh "$N" "$S/rules.3.50"
echo "published serial 3 at stage 50%"
check_nginx ")]Rule file not taken: staged for 50%"
"$B/kivrule" sign --key "$S/release.key" --serial 3 --stage 90 "$S/rules.kiv" "$S/rules.3.90" >/dev/null
fleet/nginx/publish.sh "$N" "$S/rules.3.90"
echo "the same set published again at stage 90%"
check_nginx "New arraylen=5"
check_nginx "No update for kiv JSON file."
stop_process "$pid"
pid=
stop_process "$ngx"
ngx=
echo "the server's request log, $N/logs/requests.jsonl (some members of each line):"
python3 -c 'import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(" ".join("%s=%s" % (k, r[k]) for k in ("status", "RuleSerial", "stage", "published",
                                                 "KivReport") if k in r))' \
  "$N/logs/requests.jsonl"
echo "kivrule fleet on it:"
status=0
"$B/kivrule" fleet "$N/logs/requests.jsonl" || status=$?
[ "$status" -eq 0 ] || fail "kivrule fleet ended with status $status"

step "the story in \$R/tmp/kiv.log (excerpt)"
grep -F -e ')]target_url=[' -e ')]Update kiv JSON file.' -e ')]No update for kiv JSON file.' \
  -e ')]New arraylen=' -e ')]MATCH::monitor_profile[0].kiv_keyword' -e 'front[0] = ' -e 'rear[0] = ' \
  -e 'self_healing start' -e 'To do action[' \
  -e 'monitor_profile[0] result[' -e 'monitor_profile[0] retry[' -e 'self_healing end' \
  -e 'Get terminate signal' -e 'End of' "$LOG"
step "system log \$R/tmp/syslog.log"
cat "$SYSLOG"
step "requests the rule server saw"
echo "$(wc -l <"$S/requests.jsonl") POST(s) to /dljson.php; fields of the first:"
python3 -c 'import json,sys
r = json.loads(open(sys.argv[1]).readline())
print(" ".join("%s=%s" % (f["name"], f["value"]) for f in r["fields"]))' "$S/requests.jsonl"
echo
echo "demo: OK"
