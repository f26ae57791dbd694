#!/bin/sh
# The stories on the emulated router, run by BusyBox init once the boot is done. Each prints one
# line "story NAME ok|FAIL SECONDS WHAT" on the console, which scripts/router-vm.sh reads. As
# long as the reboot budget is not spent, kiv reboots the router during the first story.
SYSLOG=/tmp/syslog.log KIVLOG=/tmp/kiv.log EVENTS=/tmp/service_events.log PIDFILE=/var/run/kiv.pid
INIT=/etc/init.d/S99kiv

uptime_s() { cut -d' ' -f1 /proc/uptime; }
# story NAME ok|FAIL WHAT: one result line, timed from the story's start
story() {
  echo "story $1 $2 $(awk -v a="$started" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }') $3"
}
begin() { started=$(uptime_s); }
# has FILE TEXT: the text in the file (or in its rotated older file)
has() { grep -qF -- "$2" "$1" "$1-1" 2>/dev/null; }
# within SECONDS FILE TEXT: waits until the text is there
within() {
  n=$(($1 * 5))
  until has "$2" "$3"; do
    [ $((n -= 1)) -gt 0 ] || return 1
    sleep 0.2
  done
}
pid_line() { sed -n "$1p" $PIDFILE 2>/dev/null; }
fail() { story "$name" FAIL "$*"; }

echo "kivvm: boot $(sed -n 's/.*kivvm.boot=\([0-9]*\).*/\1/p' /proc/cmdline), stories start"

# The reboot loop comes first: the cached rule "boot_loop" fires on kiv's start line, and kiv
# reboots the router here until the budget of kiv_reboot_limit=2 is spent.
name=reboot_loop; begin
if ! within 90 $SYSLOG "Reboot budget spent, no reboot for [boot_loop]."; then
  fail "no reboot and no spent budget within 90 s"
elif ! within 10 $EVENTS restart_x; then
  fail "the budget is spent, but restart_x was not carried out"
elif [ "$(grep -c ' boot_loop$' /jffs/kiv/reboots)" != 2 ]; then
  fail "/jffs/kiv/reboots: $(cat /jffs/kiv/reboots)"
else
  story $name ok "budget spent: 2 reboots in /jffs/kiv/reboots, restart_x carried out"
fi

name=boot; begin
follower=$(pid_line 2)
if ! has $KIVLOG "kiv self-healing daemon"; then
  fail "no banner in $KIVLOG"
elif [ "$(cat /proc/$(pid_line 1)/comm 2>/dev/null)" != kiv ]; then
  fail "the PID file's first line names no kiv"
elif [ "$(readlink /proc/$follower/exe)" != /bin/busybox ] ||
  [ "$(cat /proc/$follower/comm)" != tail ]; then
  fail "the follower ($follower) is not BusyBox tail: $(readlink /proc/$follower/exe)"
elif [ -e /usr/bin/coreutils ] || [ "$(readlink -f "$(which tail)")" != /bin/busybox ]; then
  fail "tail on the PATH is $(readlink -f "$(which tail)"), not BusyBox"
elif ! grep -q "S99kiv start: kiv started (status 0," /tmp/rc.log; then
  fail "boot script: $(cat /tmp/rc.log)"
elif ! within 30 $KIVLOG "[monitor_jffs] used="; then
  fail "no flash use from BusyBox df: $(grep monitor_jffs $KIVLOG)"
else
  story $name ok "banner, PID file $(pid_line 1)/$follower, follower BusyBox tail, $($INIT status), $(grep -o 'used=.*' $KIVLOG | head -n1) from df on /jffs"
fi

name=cached_rules; begin
if [ "$(ls /sys/class/net)" != lo ]; then
  fail "network interfaces: $(ls /sys/class/net | tr '\n' ' ')"
elif ! within 5 $KIVLOG "Cached rule set loaded, arraylen=3"; then
  fail "no cached rule set loaded: $(grep -i cache $KIVLOG | head -n3)"
elif has $KIVLOG "download_json"; then
  fail "kiv tried a download"
else
  story $name ok "no network (lo only), $(grep -o 'Cached rule set loaded, arraylen=3' $KIVLOG)"
fi

name=heal; begin
logger -t kernel "WAN: link down"
logger -t kernel "WAN: link down"
if ! within 30 $EVENTS restart_wan; then
  fail "no restart_wan event"
elif ! within 10 $SYSLOG "kiv: [self_healing]take action-[restart_wan]."; then
  fail "no action line in the system log"
elif ! kill -USR2 "$(pid_line 1)" || ! within 10 /tmp/kiv_dump.txt "kiv_keyword=[wan_down]"; then
  fail "no dump after SIGUSR2"
else
  story $name ok "two lines through logger -> restart_wan (notify_rc_and_wait_2min), SIGUSR2 dump"
fi

# Lines arrive through logger while the router renames the file at 4 KiB; syslogd goes on
# writing into the renamed file until it reopens its own (at most a second later). The lines
# written once the new file is there must all reach kiv, and a fault line after them heals.
name=rotation; begin
i=0 first=$(stat -c %i $SYSLOG)
renamed() { [ "$(stat -c %i $SYSLOG-1 2>/dev/null)" = "$first" ]; }
until renamed && [ -e $SYSLOG ] || [ $i -ge 500 ]; do
  i=$((i + 1))
  logger -t filler "line $i before the new file, some text to fill the file up"
done
for j in 1 2 3 4 5 6 7 8 9 10; do logger -t filler "line $j after the rotation"; done
logger -t kernel "DSL: sync lost"
if ! renamed; then
  fail "no rotation after $i lines"
elif ! within 30 $EVENTS restart_dsl; then
  fail "no restart_dsl after the rotation"
elif after=$(grep -c 'pBuf=\[.*line [0-9]* after the rotation' $KIVLOG); [ "$after" != 10 ]; then
  fail "kiv walked $after of the 10 lines after it"
else
  walked=$(grep -c "pBuf=\[.*before the new file" $KIVLOG)
  story $name ok "renamed during $i lines ($walked walked); the 10 lines after it walked, restart_dsl"
fi

name=stop; begin
pid=$(pid_line 1) follower=$(pid_line 2)
out=$($INIT stop)
if [ "$out" != "kiv stopped" ]; then
  fail "stop: $out"
elif [ -e $PIDFILE ] || [ -d /proc/$follower ]; then
  fail "PID file or follower $follower left"
elif ! has $SYSLOG "kiv: ===Terminate kiv daemon==="; then
  fail "no stop line in the system log"
else
  # The exit status needs kiv's parent: one started here, stopped by the boot script again.
  /usr/bin/kiv </dev/null >/dev/null 2>&1 &
  child=$!
  n=50
  until [ -n "$(pid_line 2)" ] || [ $((n -= 1)) -le 0 ]; do sleep 0.2; done
  $INIT stop >/dev/null
  wait $child
  status=$?
  if [ $status != 0 ] || [ -e $PIDFILE ]; then
    fail "exit status $status after the boot script's stop"
  else
    story $name ok "S99kiv stop: kiv stopped, PID file removed, no follower left, exit status 0"
  fi
fi

echo "kivvm: kiv.log without the walked lines:"
grep -v "pBuf=" $KIVLOG
echo "kivvm: /jffs/kiv/reboots:"
cat /jffs/kiv/reboots
echo "kivvm: stories done"
poweroff -f
