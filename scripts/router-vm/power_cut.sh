# The boot after a power cut (sourced by stories.sh, kivvm.stage=cut). In the boot before, kiv
# was installing the signed set of serial $i (SETS/$i.kiv, downloaded from the host's rule
# server) when the harness cut the power; /tmp/before holds /jffs/kiv as the cut left it (rcS
# copied it before kiv started). This boot checks what kiv made of it, prints one line
#   kivvm: cutcheck I cache=new|previous|set_aside|none serial=whole|taken_up|set_aside|missing
#          tmp=KIND,...|none problems=none|WHY;...
# then lets kiv take the next update (the set of serial $i+1, published for this boot) and
#   kivvm: cutupdate I taken|refused(WHY)|none
# and, once its serial is kept, which of kiv's files it set aside since the boot began:
#   kivvm: cutaside I KIND,...|none
# and makes the writes the next cut falls in: the update's cache and serial, a heal and its
# record, a reboot with its record and the fleet report's counts. kivvm.hold=KIND:STEP arms
# hold_kiv, which stops kiv at that step of that file's write (the harness cuts once it says so);
# kivvm.hold=random leaves the moment to the harness. kivvm.final=1: no writes after the update,
# the stories end.
i=$(arg cut) hold=$(arg hold) final=$(arg final)
echo "kivvm: boot $(arg boot), after power cut $((i - 1)), hold $hold"
problems=
problem() { problems="$problems${problems:+;}$*"; }
serial_of() { echo $((0x$(head -c 16 "$1"))); }
whole_serial() {
  [ "$(wc -c <"$1")" = 146 ] && grep -qE '^[0-9a-f]{16} [0-9a-f]{128}$' "$1"
}
B=/tmp/before

grep -q "jffs2 mounted" /tmp/flash.state || problem "jffs2 did not mount"
n=50
until [ "$(cat /proc/$(pid_line 1)/comm 2>/dev/null)" = kiv ] || [ $((n -= 1)) -le 0 ]; do
  sleep 0.2
done
[ $n -gt 0 ] || problem "kiv did not start: $(cat /tmp/rc.log)"
verdict=$(within_any 15 $KIVLOG "Cached rule set loaded, arraylen=" "set aside as [" \
  "Rule cache not taken" "Cannot load the rule cache" "Cannot read the rule cache") || problem "no verdict on the cache"

# The cache: the set being installed at the cut (new), one installed before it (previous), or
# set aside with its record.
cache=none cs=
if [ -e $B/kivjson.cache ]; then
  k=$i
  until [ $k -lt 0 ] || cmp -s $B/kivjson.cache $SETS/$k.kiv; do k=$((k - 1)); done
  if [ $k = $i ]; then cache=new cs=$k
  elif [ $k -ge 0 ]; then cache=previous cs=$k
  elif [ -e /jffs/kiv/kivjson.cache.bad ] && has $KIVLOG "set aside as [/jffs/kiv/kivjson.cache.bad]"; then
    cache=set_aside
  else
    problem "a cache that is neither set was not set aside ($verdict)"
  fi
  if [ -n "$cs" ] && [ "$verdict" != "Cached rule set loaded, arraylen=" ]; then
    problem "the whole cache of serial $cs was not loaded ($verdict)"
  fi
else
  problem "no rule cache on the flash"
fi

# The serial record: one written whole, the cache's or, as it is written after the cache, one
# behind it, which kiv then takes up to the cache's.
serial=missing
if [ ! -e $B/rule_serial ]; then
  problem "no serial record on the flash"
elif ! whole_serial $B/rule_serial; then
  if has $KIVLOG "Cannot read [/jffs/kiv/rule_serial], it is set aside"; then serial=set_aside
  else problem "a torn serial record was not set aside"; fi
else
  s=$(serial_of $B/rule_serial)
  if [ -z "$cs" ]; then
    [ "$s" -le $i ] || problem "serial $s recorded, none above $i written"
    serial=whole
  elif [ "$s" = "$cs" ]; then
    serial=whole
  elif [ "$s" -lt "$cs" ] && within 5 $KIVLOG "Rule set serial $cs kept in [/jffs/kiv/rule_serial]"; then
    serial=taken_up
  else
    problem "serial $s recorded beside the cache of serial $cs"
  fi
fi
if [ -n "$cs" ] && { ! whole_serial /jffs/kiv/rule_serial || [ "$(serial_of /jffs/kiv/rule_serial)" != "$cs" ]; }; then
  problem "the serial in force is not the cache's $cs"
fi

# Leftovers of a write the cut fell in: each removed at kiv's start, with its record.
tmps=
for f in kivjson.cache rule_serial heals reboots report_counts; do
  [ -e $B/$f.tmp ] || continue
  if has $KIVLOG "Leftover [/jffs/kiv/$f.tmp] of an interrupted write removed"; then
    tmps="$tmps${tmps:+,}$f"
  else
    problem "$f.tmp left on the flash"
  fi
done
echo "kivvm: cutcheck $i cache=$cache serial=$serial tmp=${tmps:-none} problems=${problems:-none}"

# The writes. hold_kiv watches before kiv's first tick, which checks for the update.
case $hold in
  random | none) ;;
  *) /usr/bin/hold_kiv /jffs/kiv "${hold%%:*}" "${hold#*:}" $PIDFILE 60 &
    sleep 0.2 ;;
esac
echo "kivvm: writes begin"
update=none
got=$(within_any 40 $SYSLOG "[read_json]Update kiv JSON file." "Rule file not taken") || true
case $got in
  *Update*) update=taken ;;
  ?*) update="refused($(grep -o 'Rule file not taken: .*' $KIVLOG | tail -n 1 | tr ' ' _))" ;;
esac
echo "kivvm: cutupdate $i $update"
within 10 $KIVLOG "Rule set serial $((i + 1)) kept in [/jffs/kiv/rule_serial]" ||
  echo "kivvm: no serial $((i + 1)) kept"
aside=
for f in kivjson.cache rule_serial heals reboots report_counts; do
  [ -e /jffs/kiv/$f.bad ] && ! [ -e $B/$f.bad ] && aside="$aside${aside:+,}$f"
done
echo "kivvm: cutaside $i ${aside:-none}"
if [ "$final" = 1 ]; then
  echo "kivvm: stories done"
  poweroff -f
fi
logger -t kernel "CUT: heal me"
within 20 $EVENTS restart_cut || echo "kivvm: no heal"
logger -t kernel "CUT: reboot me"
# kiv reboots the router (or the harness has cut the power first)
sleep 60
echo "kivvm: no reboot"
