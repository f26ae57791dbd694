#!/usr/bin/env bash
# The rollout verdict from the fleet's reports in ClickHouse (fleet/clickhouse/*.sql), the same
# rules and numbers as kivrule fleet:
#   fleet/clickhouse/verdict.sh [--port P] [--serial S] [--base S] [--factor X] [--floor R]
#                               [--min-routers N] [--rows]
# Prints per segment and measure the rollout's and the base's rates, then "verdict: go on"
# (exit 0) or "verdict: halt: ..." (exit 1); --rows prints the rows alone (tab-separated).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
port=19000 serial="" base="" factor=2 floor=100 min_routers=20 rows=0
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=$2; shift 2 ;;
    --serial) serial=$2; shift 2 ;;
    --base) base=$2; shift 2 ;;
    --factor) factor=$2; shift 2 ;;
    --floor) floor=$2; shift 2 ;;
    --min-routers) min_routers=$2; shift 2 ;;
    --rows) rows=1; shift ;;
    *) echo "usage: verdict.sh [--port P] [--serial S] [--base S] [--factor X] [--floor R] [--min-routers N] [--rows]" >&2; exit 2 ;;
  esac
done
# Every value that reaches the query is a plain number.
for v in "$port" "$min_routers" ${serial:+"$serial"} ${base:+"$base"}; do
  [[ "$v" =~ ^[0-9]{1,20}$ ]] || { echo "verdict.sh: '$v' is not a whole number" >&2; exit 2; }
done
for v in "$factor" "$floor"; do
  [[ "$v" =~ ^[0-9]{1,15}(\.[0-9]{1,6})?$ ]] || { echo "verdict.sh: '$v' is not a number" >&2; exit 2; }
done
ch() { clickhouse-client --host 127.0.0.1 --port "$port" "$@"; }
number() { [[ "$1" =~ ^[0-9]+$ ]] && echo "$1"; }

[ -n "$serial" ] || serial=$(number "$(ch --query "SELECT max(published) FROM kiv.requests WHERE has_published = 1 HAVING count() > 0")") ||
  { echo "verdict: go on: no set was published in these logs"; exit 0; }
first_ms=$(number "$(ch --query "SELECT min(time_ms) FROM kiv.requests WHERE has_published = 1 AND published = $serial HAVING count() > 0")") ||
  { echo "verdict: go on: serial $serial was not published in these logs"; exit 0; }
bucket="(reinterpretAsUInt16(reverse(unhex(substring(ident, 1, 4)))) % 100)"
fill() {  # the query file with its values and the subqueries it names
  sed -e "s/{serial}/$serial/g; s/{first_ms}/$first_ms/g; s/{base}/${base:-0}/g" \
      -e "s/{factor}/$factor/g; s/{floor}/$floor/g; s/{min_routers}/$min_routers/g" \
      -e "s/bucket(ident)/$bucket/g" -e '/^--/d' "$1"
}
reports="($(fill "$here/reports.sql"))"
# The grouping by router runs on each server over its own routers (a router's rows are all on
# one): the servers' results are only put together.
local_groups="SET distributed_group_by_no_merge = 1"
if [ -z "$base" ]; then
  # the serial most routers outside the stage report in the same time
  base=$(number "$(ch --multiquery --query "$local_groups; SELECT serial FROM (SELECT ident, serial
      FROM ${reports//$'\n'/ } WHERE serial != $serial AND $bucket >= stage GROUP BY ident, serial)
      GROUP BY serial ORDER BY count() DESC, serial DESC LIMIT 1")") || base=""
fi
entries=$(fill "$here/routers.sql")
entries=${entries//kiv_reports/$reports}
# Per router: its seconds (at most the time from publication to its last counted report) and
# values; per router and measure: its count.
out=$(ch --multiquery --query "
  $local_groups;
  CREATE TEMPORARY TABLE kiv_entries ENGINE = Memory AS $entries;
  CREATE TEMPORARY TABLE kiv_routers ENGINE = Memory AS
    SELECT grp, ident, least(sum(e_secs), intDiv(max(e_last) - $first_ms, 1000)) AS secs,
           argMax(model, last_t) AS model, argMax(fwver, last_t) AS fwver,
           argMax(tcode, last_t) AS tcode
    FROM kiv_entries GROUP BY grp, ident HAVING sum(e_reports) > 0;
  CREATE TEMPORARY TABLE kiv_router_counts ENGINE = Memory AS $(fill "$here/counts.sql");
  SET distributed_group_by_no_merge = 0;
  $(fill "$here/verdict.sql")")
if [ "$rows" = 1 ]; then
  printf '%s\n' "$out"
  exit 0
fi
echo "published serial $serial, first at $first_ms ms; base ${base:+serial }${base:-none}"
printf '%s\n' "$out" | awk -F'\t' -v serial="$serial" -v min="$min_routers" -v factor="$factor" '
  { key = $1 " " $2
    if (key != last) { printf "\n%s%s: %d routers, %.1f router-days against %d routers, %.1f router-days\n",
                              ($1 == "all" ? "the stage" : $1), ($2 == "" ? "" : " " $2), $4, $6 / 86400, $5, $7 / 86400
                       last = key; if ($1 == "all") n = $4 }
    printf "  %-34s %12.1f %12.1f%s\n", $3, $8, $9, ($10 == 1 ? "  rose" : "")
    if ($10 == 1) why = why (why == "" ? "" : ", ") $3 ($1 == "all" ? "" : " (" $1 " " $2 ")") }
  END { if (why != "") { printf "verdict: halt: %s rose above %s times the base'"'"'s\n", why, factor; exit 1 }
        if (n + 0 < min + 0) printf "verdict: go on: %d of the %d routers needed to judge report serial %s\n", n, min, serial
        else print "verdict: go on" }'
