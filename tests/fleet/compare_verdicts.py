#!/usr/bin/env python3
"""Compares kivrule fleet --json with fleet/clickhouse/verdict.sh --rows: the same segments and
measures, the same routers and router-seconds, the same rates (as printed, to 0.1) and the same
measures that rose. Prints the first difference and exits 1, or exits 0."""
import json
import sys


def kivrule_rows(doc):
    rows = []
    for seg in doc["segments"]:
        if seg["dimension"] != "all" and not seg["judged"]:
            continue
        for m in seg["measures"]:
            rows.append([seg["dimension"], seg["value"], m["measure"], str(seg["rollout_routers"]),
                         str(seg["base_routers"]), str(seg["rollout_seconds"]),
                         str(seg["base_seconds"]), m["rollout"], m["base"], "1" if m["rose"] else "0"])
    return rows


def rate(v):
    return float("inf") if v in ("inf", "Infinity") else float(v)


def main():
    doc = json.load(open(sys.argv[1]))
    sql = [line.rstrip("\n").split("\t") for line in open(sys.argv[2]) if line.strip()]
    mine = kivrule_rows(doc)
    if not mine:
        print("kivrule fleet judged no segment")
        return 1
    if len(mine) != len(sql):
        print(f"{len(mine)} rows from kivrule fleet, {len(sql)} from the SQL")
    for a, b in zip(mine, sql):
        same = a[:7] == b[:7] and a[9] == b[9] and all(
            abs(rate(x) - rate(y)) <= 0.051 or rate(x) == rate(y) for x, y in ((a[7], b[7]), (a[8], b[8])))
        if not same:
            print("kivrule fleet:", a, "\nSQL:          ", b)
            return 1
    if len(mine) != len(sql):
        return 1
    print(f"{len(mine)} rows agree; verdict {doc['verdict']}")
    return 0


sys.exit(main())
