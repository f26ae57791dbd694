#!/bin/sh
# The stories on the emulated router, run by BusyBox init once the boot is done. Each prints one
# line "story NAME ok|FAIL SECONDS WHAT" on the console, which scripts/router-vm.sh reads. What
# runs depends on the boot's kivvm.stage (see rcS):
#   stories      as long as the reboot budget is not spent, kiv reboots the router during the
#                first story; then the rest, the download over HTTPS among them, and a reboot
#   cached_heal  the reboot after the download, the network held back: the cached set heals
#   cut          the boot after a power cut: what kiv made of the flash, then the writes the
#                next cut may fall in (see power_cut.sh)
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

arg() { sed -n "s/.*kivvm\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
# nv_set KEY VALUE: the settings store's own way, the whole store renamed into place.
nv_set() {
  { grep -v "^$1=" /tmp/.nvram; echo "$1=$2"; } >/tmp/.nvram.kivvm && mv /tmp/.nvram.kivvm /tmp/.nvram
}
# within_any SECONDS FILE TEXT...: waits until one of the texts is there; prints which
within_any() {
  n=$(($1 * 5)) f=$2
  shift 2
  while :; do
    for t in "$@"; do
      has "$f" "$t" && echo "$t" && return 0
    done
    [ $((n -= 1)) -gt 0 ] || return 1
    sleep 0.2
  done
}
SETS=/etc/kivvm/sets
stage=$(arg stage)
# The real reboot after the download, the network held back (no WAN interface, link_internet
# unset): the signed set cached on the flash is in force from kiv's start and heals at once.
if [ "$stage" = cached_heal ]; then
  echo "kivvm: boot $(arg boot), cached_heal"
  name=cached_heal; begin
  if [ "$(ls /sys/class/net)" != lo ]; then
    fail "network interfaces: $(ls /sys/class/net | tr '\n' ' ')"
  elif ! within 15 $KIVLOG "Cached rule set loaded, arraylen=4"; then
    fail "the signed set was not loaded: $(grep -i 'cache\|serial' $KIVLOG | head -n3)"
  elif ! within 30 $KIVLOG "]pBuf=["; then
    # The follower starts at the log's last line: a line written before it runs is not kiv's to
    # see. The first line kiv records having read says it runs.
    fail "kiv's follower read no line: $(tail -n 3 $KIVLOG)"
  else
    logger -t kernel "WAN: link down"
    if ! within 30 $EVENTS restart_wan; then
      fail "no restart_wan from the cached set"
    elif has $KIVLOG "target_url="; then
      fail "kiv tried a download"
    else
      story $name ok "no network (lo only); the cached signed set (serial $(($(head -c 16 /jffs/kiv/rule_serial | sed 's/^/0x/')))) loaded at start and healed: restart_wan at uptime $(uptime_s) s"
    fi
  fi
  echo "kivvm: cached_heal done"
  reboot
  exit 0
fi
[ "$stage" = cut ] && { . /etc/kivvm/power_cut.sh; exit 0; }

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

# The download inside the guest, through the router's own TLS stack and trust store, with the
# clock where the router's starts: 1970, until the time sync. qemu's user network lets out one
# address, which it forwards to the host's rule server (publishing the signed set of serial 1);
# the router knows the server by its name. A kiv started here keeps its standard error (the
# transfer's own account) in /tmp/kiv.stderr.
name=https; begin
$INIT stop >/dev/null
nv_set kiv_rule_pubkey /etc/kivvm/rules.pub
nv_set link_internet 2
# kiv's log so far is put aside: what follows is this kiv's (with its rotated older file).
cat $KIVLOG.1 $KIVLOG >/tmp/kiv.log.before-https 2>/dev/null
rm -f $KIVLOG $KIVLOG.1
news() { cat $KIVLOG.1 $KIVLOG 2>/dev/null | grep -qF -- "$1"; }
# Started as the boot script starts it, a child of init (which reaps it), not of this shell.
(/usr/bin/kiv </dev/null >/dev/null 2>/tmp/kiv.stderr &)
# news_within SECONDS TEXT: the text in kiv's log since this story began
news_within() {
  n=$(($1 * 5))
  until news "$2"; do
    [ $((n -= 1)) -gt 0 ] || return 1
    sleep 0.2
  done
}
if ! . /etc/kivvm/wan.sh; then
  fail "no WAN: $(ls /sys/class/net | tr '\n' ' ')"
elif timeout 3 nc 10.0.2.2 22 </dev/null 2>/dev/null || timeout 3 nc 192.0.2.1 443 </dev/null 2>/dev/null; then
  fail "the network lets out another address than the rule server's"
elif [ "$(date +%Y)" != 1970 ]; then
  fail "the clock starts at $(date), not in 1970"
elif ! news_within 35 "ntp_ready false"; then
  fail "no 'ntp_ready false' within a tick: $(tail -n 3 $KIVLOG)"
elif news "target_url="; then
  fail "kiv checked before ntp_ready"
else
  # The time sync "done" while the clock is still wrong: the download is tried, TLS refuses.
  nv_set ntp_ready 1
  nv_set kiv_quick_period 1
  if ! news_within 40 "target_url=[https://rules.kiv.invalid/dljson.php]" ||
    ! news_within 30 "JSON is not updated yet"; then
    fail "no check within a tick of ntp_ready 1: $(tail -n 3 $KIVLOG)"
  elif news "Update kiv JSON file."; then
    fail "a rule set was taken while the clock says $(date)"
  elif ! grep -q "certificate is not yet valid" /tmp/kiv.stderr; then
    fail "no TLS refusal: $(grep -i 'ssl\|certif' /tmp/kiv.stderr | tail -n 2)"
  else
    refused=$(grep -o "SSL certificate problem: certificate is not yet valid" /tmp/kiv.stderr | head -n1)
    date -s "@$(($(arg now) + $(cut -d. -f1 /proc/uptime)))" >/dev/null
    nv_set kiv_quick_period 1
    settled=$(cat $KIVLOG.1 $KIVLOG 2>/dev/null | grep -c "Reboot record settled")
    if ! news_within 40 "Rule file kept in [/jffs/kiv/kivjson.cache]" ||
      ! news_within 5 "Rule set serial 1 kept in [/jffs/kiv/rule_serial]"; then
      fail "no signed set installed once the clock is set: $(tail -n 3 $KIVLOG)"
    elif ! news "New arraylen=4" || ! cmp -s /jffs/kiv/kivjson.cache $SETS/1.kiv; then
      fail "the cache is not the signed set of serial 1"
    else
      # The tick ends with the reboot record settled; the stop story comes after it.
      n=50
      while [ "$(cat $KIVLOG.1 $KIVLOG 2>/dev/null | grep -c "Reboot record settled")" -le "$settled" ] &&
        [ $((n -= 1)) -gt 0 ]; do sleep 0.2; done
      story $name ok "1970: no check before ntp_ready; ntp_ready 1: '$refused' (kiv's TLS); clock set: signed set serial 1 downloaded from https://rules.kiv.invalid, verified, installed (arraylen=4) and cached"
    fi
  fi
fi

name=stop; begin
pid=$(pid_line 1) follower=$(pid_line 2)
terminated() { cat $SYSLOG-1 $SYSLOG 2>/dev/null | grep -cF "kiv: ===Terminate kiv daemon==="; }
before=$(terminated)
out=$($INIT stop)
if [ "$out" != "kiv stopped" ]; then
  fail "stop: $out"
elif [ -e $PIDFILE ] || [ -d /proc/$follower ]; then
  fail "PID file or follower $follower left"
elif [ "$(terminated)" -le "$before" ]; then
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
# A real reboot: the next boot finds the downloaded set in the cache (cached_heal).
reboot
