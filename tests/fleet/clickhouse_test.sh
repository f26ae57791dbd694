#!/usr/bin/env bash
# The verdict in SQL against kivrule fleet's: a generated rollout log (with a forged report, a
# report seen twice and an overlong line) loaded twice into two local ClickHouse servers behind a
# Distributed table (fleet/clickhouse/start.sh), the two verdicts' segments, measures, routers,
# router-days and rates the same; loading the log again changes no count. Exit 77 (skipped)
# without ClickHouse.
set -euo pipefail
sim=$1 kivrule=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
command -v clickhouse-client >/dev/null && [ -x /usr/sbin/clickhouse-server ] || { echo "no ClickHouse"; [ "${CI:-}" != true ] || exit 1; exit 77; }
work=$(mktemp -d)
port=$((20000 + ($$ % 1000) * 20))
cleanup() { bash "$root/fleet/clickhouse/start.sh" --dir "$work/ch" --stop || true; rm -rf "$work"; }
trap cleanup EXIT
bash "$root/fleet/clickhouse/start.sh" --dir "$work/ch" --port "$port" >/dev/null

for args in "--rollout-fires 20" "--outage-day 1 --noisy 2"; do
  # shellcheck disable=SC2086
  "$sim" --log --routers 3000 $args >"$work/log.jsonl"
  tail -n 5 "$work/log.jsonl" >>"$work/log.jsonl"  # seen twice
  printf '{"time":1764720000,"status":200,"IDENT":"%032x","KivReport":"%s"}\n' 7 "$(head -c 70000 /dev/zero | tr '\0' x)" >>"$work/log.jsonl"
  for table in requests_local counts_local; do
    for p in "$port" $((port + 10)); do
      clickhouse-client --port "$p" --query "TRUNCATE TABLE kiv.$table"
    done
  done
  KIVRULE=$kivrule bash "$root/fleet/clickhouse/load.sh" --port "$port" "$work/log.jsonl" >/dev/null 2>&1
  bash "$root/fleet/clickhouse/verdict.sh" --port "$port" --rows >"$work/once.tsv"
  KIVRULE=$kivrule bash "$root/fleet/clickhouse/load.sh" --port "$port" "$work/log.jsonl" >/dev/null 2>&1
  bash "$root/fleet/clickhouse/verdict.sh" --port "$port" --rows >"$work/sql.tsv"
  cmp "$work/once.tsv" "$work/sql.tsv"
  local1=$(clickhouse-client --port "$port" --query "SELECT count() FROM kiv.requests_local")
  local2=$(clickhouse-client --port $((port + 10)) --query "SELECT count() FROM kiv.requests_local")
  [ "$local1" -gt 0 ] && [ "$local2" -gt 0 ]  # both servers hold rows
  # loaded twice, one row a request once merged
  final=0
  for p in "$port" $((port + 10)); do
    final=$((final + $(clickhouse-client --port "$p" --query "SELECT count() FROM kiv.requests_local FINAL")))
  done
  [ "$final" = "$(( $(sort -u "$work/log.jsonl" | wc -l) - 1 ))" ] || { echo "$final rows after loading twice"; exit 1; }
  "$kivrule" fleet "$work/log.jsonl" --json >"$work/kivrule.json" 2>/dev/null || true
  python3 "$root/tests/fleet/compare_verdicts.py" "$work/kivrule.json" "$work/sql.tsv"
  status=0 want=0
  bash "$root/fleet/clickhouse/verdict.sh" --port "$port" >/dev/null || status=$?
  grep -q '"verdict":"halt"' "$work/kivrule.json" && want=1
  [ "$status" = "$want" ] || { echo "verdict.sh exits $status, kivrule fleet $want"; exit 1; }
done
