#!/usr/bin/env bash
# fleet_sim at small N: grouping the routers whose futures are one changes no figure (against
# every router ticked on its own), the output ends with one line per seed in the issue's form,
# today's seed crowds the daily checks and the mended one keeps their peak within twice the mean.
set -euo pipefail
sim=$1
grouped=$("$sim" --routers 400 --reboots 10)
alone=$("$sim" --routers 400 --reboots 10 --one-by-one)
diff <(grep -v '^scheduler ticks' <<<"$grouped") <(grep -v '^scheduler ticks' <<<"$alone")
# The hourly table names each hour by its virtual day and local time.
grep -q '^d1 18:00 ' <<<"$grouped"
grep -q '^d2 23:00 ' <<<"$grouped"
# A count that is not one is refused with the usage (status 2), never read as the default.
for bad in -5 '' 12x 0; do
  status=0
  "$sim" --routers "$bad" >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || { echo "--routers '$bad': status $status"; exit 1; }
done

out=$("$sim" --routers 10000)
tail -n 2 <<<"$out"
form='boot-up peak [0-9]+/min, daily peak [0-9]+/min, daily mean [0-9]+/min, peak/mean [0-9]+\.[0-9]{2}'
tail -n 2 <<<"$out" | head -n 1 | grep -Eqx "today: $form"
tail -n 1 <<<"$out" | grep -Eqx "mended: $form"
ratio() { sed -n "s|^$1: .*peak/mean ||p" <<<"$out"; }
awk -v today="$(ratio today)" -v mended="$(ratio mended)" 'BEGIN { exit !(today > 2 && mended <= 2) }'
