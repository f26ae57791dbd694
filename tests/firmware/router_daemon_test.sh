#!/usr/bin/env bash
# The router kiv's whole loop, then the start-up script of examples/, on this machine (~30 s):
#   router_daemon_test.sh KIV     exit 0: passed; 77: skipped (the reason is printed); else failed
# Built with KIV_PLATFORM=router against the firmware double, kiv uses the router's real paths, so
# it runs unscaled as root in a mount namespace of its own: tmpfs over /tmp, /var/run and /jffs, a
# file over /dev/console, the rule server's test CA as the only certificate in the default trust
# store, BusyBox's tail over this machine's as the log follower. The machine's files are never
# written (a missing /jffs mount point is made and removed).
# A MIPS kiv runs through the binfmt handler when QEMU_LD_PREFIX names its sysroot.
set -aeuo pipefail # -a: what is set outside goes along into the namespace
if [ "${1:-}" != --inside ]; then
  skip() { echo "SKIP router_daemon: $*"; exit 77; }
  [ "$(id -u)" = 0 ] || skip "a mount namespace needs root"
  unshare -m sh -c 'mount -t tmpfs probe /tmp' 2>/dev/null || skip "no tmpfs in a mount namespace"
  CA_STORE=$(curl-config --ca 2>/dev/null || echo /etc/ssl/certs/ca-certificates.crt)
  [ -d "$(dirname "$CA_STORE")" ] || skip "no trust store directory $(dirname "$CA_STORE")"
  BUSYBOX=$(command -v busybox) || skip "no busybox (Debian package busybox): the router's tail"
  KIV=$(realpath "$1") SRC=$(cd "$(dirname "$0")/../.." && pwd) made_jffs=0
  WORK=$(mktemp -d "$PWD/router_daemon.XXXXXX")
  trap 'set +e; [ -z "${server:-}" ] || { kill $server; wait $server; }
        [ $made_jffs = 0 ] || rmdir /jffs; rm -rf "$WORK"' EXIT
  # The rule server (outside the namespace: the same loopback network) with one rule for the
  # KV-1000 router, packed as the container kiv reads (header, body scrambled with Ran 0).
  python3 -c 'import json, struct, sys
b = json.dumps([{"model": "KV-1000", "keyword": "wan_down", "re_pattern": "WAN: link down",
                 "frequency": "2", "period": "60", "action": "restart_wan"}]).encode()
sys.stdout.buffer.write(bytes(16) + b"TORVKIVENCRYPT" + bytes(2) + struct.pack("<II", len(b), 0)
                        + bytes(c ^ (i % 255) for i, c in enumerate(b)))' >"$WORK/rules.bin"
  echo "{\"status\": 200, \"body_file\": \"$WORK/rules.bin\"}" >"$WORK/control.json"
  python3 "$SRC/tests/support/rule_server.py" --dir "$WORK/rs" --control "$WORK/control.json" \
    >"$WORK/rs.log" 2>&1 &
  server=$!
  [ -d /jffs ] || { mkdir /jffs && made_jffs=1; }
  timeout -k 5 90 unshare --mount --propagation private -- bash "$0" --inside
  exit 0
fi

fail() { # inside the namespace: the logs, and this namespace's daemon and follower killed
  set +e; echo "FAIL: $*"
  tail -n40 /tmp/{kiv,syslog,service_events}.log "$WORK/rs.log"
  kill -KILL ${pid:-} $(cat /var/run/kiv.pid 2>/dev/null)
  exit 1
}
within() { # SECONDS WHAT COMMAND...: fails unless COMMAND succeeds within SECONDS
  local n=$(($1 * 10)) what="$2 within $1 s"
  shift 2
  until "$@" 2>/dev/null; do [ $((n -= 1)) -gt 0 ] || fail "no $what"; sleep 0.1; done
}
waitfor() { within "$3" "\"$2\" in $1" grep -qF -- "$2" "$1"; } # FILE TEXT SECONDS
ready() { within 10 "a follower in the PID file" awk 'END { exit NR < 2 }' /var/run/kiv.pid; }
exec 3</tmp # the machine's /tmp: a build tree (or sysroot) below it is bound back in
for m in /tmp /var/run /jffs; do mount -t tmpfs "kiv${m//\//-}" "$m"; done
for p in "$KIV" "$WORK" "$SRC" "${QEMU_LD_PREFIX:-}"; do
  [[ $p =~ ^/tmp/([^/]+) ]] && top=${BASH_REMATCH[1]} && [ ! -e "/tmp/$top" ] || continue
  mkdir "/tmp/$top" && mount --no-canonicalize --bind "/proc/self/fd/3/$top" "/tmp/$top"
done
exec 3<&-
within 30 "port from the rule server" test -s "$WORK/rs/port"
touch /tmp/console && mount --bind /tmp/console /dev/console || fail "no /dev/console to cover"
# The router's tail is BusyBox's: it stands in for this machine's tail (the host tests keep it).
mount --bind "$BUSYBOX" "$(command -v tail)" || fail "no tail to cover with BusyBox"
mkdir /tmp/ca && cp "$WORK/rs/ca.pem" "/tmp/ca/$(basename "$CA_STORE")"
mount --bind /tmp/ca "$(dirname "$CA_STORE")"
printf '%s\n' productid=KV-1000 link_internet=2 ntp_ready=1 kiv_json_check_period=3 \
  kiv_debug_flag=1 "kiv_debug_server=https://127.0.0.1:$(cat "$WORK/rs/port")" >/tmp/.nvram

"$KIV" >/tmp/kiv.out 2>&1 &
pid=$!
waitfor /tmp/kiv.log "kiv self-healing daemon" 10
ready
[ "$(head -n1 /var/run/kiv.pid)" = "$pid" ] || fail "the PID file's first line is not $pid"
[ "/proc/$(sed -n 2p /var/run/kiv.pid)/exe" -ef "$BUSYBOX" ] || fail "the follower is not BusyBox tail"
# The first tick (10 s) is the boot-up check with a check period of 3.
waitfor /tmp/kiv.log "Update kiv JSON file." 30
waitfor /tmp/kiv.log "New arraylen=1" 10
waitfor /tmp/kiv.log "[monitor_jffs] used=" 10
for n in 1 2; do echo "Dec  7 10:00:0$n kernel: WAN: link down" >>/tmp/syslog.log; done
waitfor /tmp/service_events.log restart_wan 20
waitfor /tmp/syslog.log "kiv: [self_healing]take action-[restart_wan]." 10
waitfor /tmp/console "=== match condition ===" 5
kill -USR2 "$pid"
waitfor /tmp/kiv_dump.txt "kiv_keyword=[wan_down]" 10
kill -TERM "$pid"
wait "$pid" || fail "exit status $? after SIGTERM"
pid=
[ ! -e /var/run/kiv.pid ] || fail "the PID file is still there"
grep -q "kiv: ===Terminate kiv daemon===" /tmp/syslog.log || fail "no stop line in the system log"

# The start-up script: start, status, restart (a new daemon), stop, status.
init=$SRC/examples/kiv.init
DAEMON=$KIV sh "$init" start | grep -qx "kiv started" || fail "start failed"
ready
first=$(head -n1 /var/run/kiv.pid)
sh "$init" status | grep -qx "kiv is running (pid $first)" || fail "status: $(sh "$init" status)"
DAEMON=$KIV sh "$init" restart >/dev/null || fail "restart failed"
ready
[ "$(head -n1 /var/run/kiv.pid)" != "$first" ] || fail "restart kept pid $first"
sh "$init" stop | grep -qx "kiv stopped" || fail "stop failed"
[ ! -e /var/run/kiv.pid ] || fail "the PID file is still there after stop"
sh "$init" status >/dev/null && status=0 || status=$?
[ "$status" = 3 ] || fail "status after stop: $status, not 3"
echo "router kiv: banner, PID file, BusyBox tail, rule file fetched, heal (restart_wan), dump, SIGTERM -> 0;" \
  "start-up script: start, status, restart, stop, status"
