#!/usr/bin/env bash
# The router kiv's whole loop on this machine. Built with KIV_PLATFORM=router against the
# firmware double, kiv uses the router's real paths, so it runs as root in a mount namespace of
# its own: tmpfs over /tmp, /var/run and /jffs, a file over /dev/console, and the rule server's
# test CA as the only certificate in the system's default trust store. The machine's own files
# are never written (an empty /jffs mount point is made when missing, and removed again).
#
#   router_daemon_test.sh KIV     exit 0: passed; 77: skipped (the reason is printed); else failed
#
# Runs the daemon unscaled, and then the start-up script of examples/: about 30 s. A MIPS kiv runs through the binfmt handler when
# QEMU_LD_PREFIX names its sysroot.
set -euo pipefail
KIV=$(realpath "$1")
SRC=$(cd "$(dirname "$0")/../.." && pwd)
skip() {
  echo "SKIP router_daemon: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "a mount namespace needs root"
unshare --mount -- sh -c 'mount -t tmpfs kiv-probe /tmp' 2>/dev/null ||
  skip "no mount namespace with tmpfs can be made here"
CA_STORE=$(curl-config --ca 2>/dev/null || echo /etc/ssl/certs/ca-certificates.crt)
[ -d "$(dirname "$CA_STORE")" ] || skip "no trust store directory $(dirname "$CA_STORE")"

WORK=$(mktemp -d "$PWD/router_daemon.XXXXXX")
made_jffs=0
cleanup() {
  set +e
  [ -n "${server:-}" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ "$made_jffs" = 1 ] && rmdir /jffs
  rm -rf "$WORK"
}
trap cleanup EXIT

# The rule server (outside the namespace: the same loopback network) with one rule for the
# KV-1000 router, packed as the container kiv reads (header, body scrambled with Ran 0).
mkdir "$WORK/rs"
python3 - "$WORK/rs/rules.bin" <<'EOF'
import json, struct, sys
body = json.dumps([{"model": "KV-1000", "keyword": "wan_down", "re_pattern": "WAN: link down",
                    "frequency": "2", "period": "60", "action": "restart_wan"}]).encode()
head = bytes(16) + b"TORVKIVENCRYPT" + bytes(2) + struct.pack("<II", len(body), 0)
open(sys.argv[1], "wb").write(head + bytes(b ^ (i % 255) for i, b in enumerate(body)))
EOF
echo "{\"status\": 200, \"body_file\": \"$WORK/rs/rules.bin\"}" >"$WORK/rs/control.json"
python3 "$SRC/tests/support/rule_server.py" --dir "$WORK/rs" --control "$WORK/rs/control.json" \
  >"$WORK/rs.log" 2>&1 &
server=$!
for _ in $(seq 300); do [ -s "$WORK/rs/port" ] && break; sleep 0.1; done
[ -s "$WORK/rs/port" ] || { cat "$WORK/rs.log"; echo "FAIL: the rule server did not start"; exit 1; }
[ -d /jffs ] || { mkdir /jffs && made_jffs=1; }

inside() { # KIV WORK CA_STORE PORT INIT_SCRIPT
  set -euo pipefail
  local kiv=$1 work=$2 store=$3 port=$4 init=$5 p top
  fail() {
    echo "FAIL: $*"
    for f in /tmp/kiv.log /tmp/syslog.log /tmp/service_events.log; do
      echo "== $f"; tail -n 40 "$f" 2>/dev/null || true
    done
    # The PID file below this namespace's /var/run names only this test's daemon and follower.
    kill -KILL ${pid:-} $(cat /var/run/kiv.pid 2>/dev/null) 2>/dev/null
    exit 1
  }
  waitfor() { # FILE TEXT SECONDS
    for _ in $(seq $(($3 * 10))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    fail "no \"$2\" in $1 within $3 s"
  }
  exec 3</tmp # the machine's /tmp, for what this test needs from it
  mount -t tmpfs kiv-tmp /tmp
  mount -t tmpfs kiv-run /var/run
  mount -t tmpfs kiv-jffs /jffs
  # A build tree (or sysroot) below /tmp is bound back in from the covered /tmp.
  for p in "$kiv" "$work" "$init" "${QEMU_LD_PREFIX:-}"; do
    case $p in /tmp/?*)
      top=${p#/tmp/} top=${top%%/*}
      [ -e "/tmp/$top" ] || { mkdir "/tmp/$top" && mount --bind "/proc/self/fd/3/$top" "/tmp/$top"; } ;;
    esac
  done
  exec 3<&-
  : >/tmp/console
  [ -e /dev/console ] && mount --bind /tmp/console /dev/console
  mkdir /tmp/ca && cp "$work/rs/ca.pem" "/tmp/ca/$(basename "$store")"
  mount --bind /tmp/ca "$(dirname "$store")"
  printf '%s\n' productid=KV-1000 link_internet=2 ntp_ready=1 kiv_json_check_period=3 \
    kiv_debug_flag=1 "kiv_debug_server=https://127.0.0.1:$port" >/tmp/.nvram

  "$kiv" >/tmp/kiv.out 2>&1 &
  pid=$!
  waitfor /tmp/kiv.log "kiv self-healing daemon" 10
  waitfor /var/run/kiv.pid "$pid" 10
  # The first tick (10 s) is the boot-up check with a check period of 3.
  waitfor /tmp/kiv.log "Update kiv JSON file." 30
  waitfor /tmp/kiv.log "New arraylen=1" 10
  waitfor /tmp/kiv.log "[monitor_jffs] used=" 10
  grep -q "^$pid\$" <(head -n1 /var/run/kiv.pid) || fail "the PID file's first line is not $pid"
  [ "$(wc -l </var/run/kiv.pid)" -ge 2 ] || fail "no follower pid in the PID file"
  for n in 1 2; do echo "Dec  7 10:00:0$n kernel: WAN: link down" >>/tmp/syslog.log; done
  waitfor /tmp/service_events.log restart_wan 20
  waitfor /tmp/syslog.log "kiv: [self_healing]take action-[restart_wan]." 10
  waitfor /tmp/console "=== match condition ===" 5
  kill -USR2 "$pid"
  waitfor /tmp/kiv_dump.txt "kiv_keyword=[wan_down]" 10
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 0 ] || fail "exit status $status after SIGTERM"
  [ ! -e /var/run/kiv.pid ] || fail "the PID file is still there"
  grep -q "kiv: ===Terminate kiv daemon===" /tmp/syslog.log || fail "no stop line in the system log"
  echo "router kiv: banner, PID file, rule file fetched, heal (restart_wan), dump, SIGTERM -> 0"

  # The start-up script: start, status, restart (a new daemon), stop, status.
  local first
  running() { # waits for a daemon with its follower (its handlers are in place by then)
    for _ in $(seq 100); do
      [ "$(wc -l </var/run/kiv.pid 2>/dev/null)" -ge 2 ] 2>/dev/null && return 0
      sleep 0.1
    done
    fail "no daemon with a follower in the PID file"
  }
  DAEMON=$kiv sh "$init" start && running
  first=$(head -n1 /var/run/kiv.pid)
  sh "$init" status | grep -qx "kiv is running (pid $first)" || fail "status: $(sh "$init" status)"
  DAEMON=$kiv sh "$init" restart >/dev/null && running
  [ "$(head -n1 /var/run/kiv.pid)" != "$first" ] || fail "restart kept pid $first"
  sh "$init" stop | grep -qx "kiv stopped" || fail "stop failed"
  [ ! -e /var/run/kiv.pid ] || fail "the PID file is still there after stop"
  status=0
  sh "$init" status >/dev/null || status=$?
  [ "$status" = 3 ] || fail "status after stop: $status, not 3"
  echo "start-up script: start, status, restart, stop, status"
}

timeout -k 5 90 unshare --mount --propagation private -- bash -c \
  "$(declare -f inside); inside \"\$@\"" inside "$KIV" "$WORK" "$CA_STORE" "$(cat "$WORK/rs/port")" \
  "$SRC/examples/kiv.init"
