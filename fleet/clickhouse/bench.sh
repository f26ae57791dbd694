#!/usr/bin/env bash
# The benchmark of docs/fleet.md: kivrule fleet on a log (time, peak memory) against ClickHouse
# (two local servers, start.sh) on the same file: the load's time and the verdict query's.
#   fleet/clickhouse/bench.sh LOG [--port P]
# A log of three million requests: build/fleet_sim --log --routers 1000000 --checks 3 --days 1
# --publish-day 0 > day.jsonl (1.6 GB). Not part of CI.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
log=$1 port=${3:-19300}
kivrule=${KIVRULE:-$here/../../build/kivrule}
work=$(mktemp -d)
trap 'bash "$here/start.sh" --dir "$work/ch" --stop; rm -rf "$work"' EXIT
seconds() { date +%s.%N; }
echo "log: $(wc -l <"$log") lines, $(du -h "$log" | cut -f1)"
/usr/bin/time -f "%e s %M" -o "$work/time" "$kivrule" fleet "$log" >"$work/verdict.txt" || true
read -r s _ kb <"$work/time"
echo "kivrule fleet: $s s, peak memory $((kb / 1024)) MB; $(tail -n 1 "$work/verdict.txt" | cut -c1-60)"
bash "$here/start.sh" --dir "$work/ch" --port "$port" >/dev/null
t0=$(seconds)
KIVRULE=$kivrule bash "$here/load.sh" --port "$port" "$log" >/dev/null
t1=$(seconds)
echo "ClickHouse load (kivrule fleet --rows, then two inserts): $(awk "BEGIN{print $t1 - $t0}") s"
bash "$here/verdict.sh" --port "$port" >"$work/sql.txt" || true
t2=$(seconds)
bash "$here/verdict.sh" --port "$port" >/dev/null || true
t3=$(seconds)
echo "ClickHouse verdict.sh: $(awk "BEGIN{print $t2 - $t1}") s, again $(awk "BEGIN{print $t3 - $t2}") s; $(tail -n 1 "$work/sql.txt" | cut -c1-60)"
