#!/usr/bin/env bash
# The daemon's demo on this machine: kiv in a sandbox root, a line appended to the system log
# it follows, the records it writes, a dump of its rule set, an orderly stop.
set -euo pipefail
cd "$(dirname "$0")/.."
B=${KIV_BUILD_DIR:-build}

R=$(mktemp -d /tmp/kiv-demo.XXXXXX)
mkdir -p "$R/tmp" "$R/var/run" "$R/dev" "$R/jffs"
export KIV_ROOT=$R KIV_TIME_SCALE=${KIV_TIME_SCALE:-0.05}
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  [ -n "${KIV_DEMO_KEEP:-}" ] || rm -rf "$R"
}
trap cleanup EXIT

# Bounded wait until FILE holds TEXT (at most SECONDS).
wait_for() {
  local file=$1 text=$2 limit=$3 t=0
  while ! grep -qF -- "$text" "$file" 2>/dev/null; do
    sleep 0.1; t=$((t + 1))
    if [ "$t" -ge $((limit * 10)) ]; then echo "demo: timed out waiting for '$text' in $file" >&2; return 1; fi
  done
}
step() { printf '\n== %s\n' "$*"; }

step "sandbox root $R; settings of a router whose services run"
"$B/nvram" set productid=KV-1000
"$B/nvram" set success_start_service=1
"$B/nvram" show

step "start kiv (follows \$R/tmp/syslog.log, logs to \$R/tmp/kiv.log)"
: >"$R/tmp/syslog.log"
"$B/kiv" >"$R/kiv.out" 2>&1 &
pid=$!
wait_for "$R/tmp/kiv.log" ")]End" 10
# The handlers are in place once the daemon has left start-up and armed its first tick.
wait_for "$R/tmp/kiv.log" "[monitor_jffs]" 10
echo "PID file: $(tr '\n' ' ' <"$R/var/run/kiv.pid")"

step "a line appended to the system log"
echo "$(date '+%b %e %H:%M:%S') WAN: link down" | tee -a "$R/tmp/syslog.log"
sleep 1

step "SIGUSR2: dump of the rule set"
kill -USR2 "$pid"
sleep $(awk "BEGIN{print 6 * $KIV_TIME_SCALE + 0.5}")
if [ -f "$R/tmp/kiv_dump.txt" ]; then cat "$R/tmp/kiv_dump.txt"; else echo "(no rule set loaded yet: no dump file)"; fi

step "SIGTERM: orderly stop"
kill -TERM "$pid"
status=0; wait "$pid" || status=$?
pid=
echo "kiv exit status: $status"

step "records in \$R/tmp/kiv.log"
cat "$R/tmp/kiv.log"
step "system log \$R/tmp/syslog.log"
cat "$R/tmp/syslog.log"
[ "$status" -eq 0 ]
[ ! -e "$R/var/run/kiv.pid" ] && echo "PID file removed."
