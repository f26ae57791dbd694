#!/usr/bin/env bash
# Loads rule server logs into ClickHouse (fleet/clickhouse/schema.sql), in one batch per table:
#   fleet/clickhouse/load.sh [--port P] LOG...
# kivrule fleet reads the logs into rows (the same reading as its verdict; lines it cannot read
# are named and left out); the rows go to the Distributed tables on the server at 127.0.0.1:P
# (default 19000), each to the server its router belongs to. Loading a log again adds no
# request and no count: rows with the same key are one (ReplacingMergeTree, merged in the
# background, and the verdict's query counts a report once by IDENT and time).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
port=19000
[ "${1:-}" = "--port" ] && { port=$2; shift 2; }
[[ "$port" =~ ^[0-9]+$ ]] || { echo "load.sh: --port needs a number" >&2; exit 2; }
[ $# -gt 0 ] || { echo "usage: load.sh [--port P] LOG..." >&2; exit 2; }
kivrule=${KIVRULE:-$here/../../build/kivrule}
rows=$(mktemp -d)
trap 'rm -rf "$rows"' EXIT
"$kivrule" fleet "$@" --rows "$rows" >/dev/null
ch() { clickhouse-client --host 127.0.0.1 --port "$port" --insert_distributed_sync=1 "$@"; }
ch --query "INSERT INTO kiv.requests FORMAT TabSeparated" <"$rows/requests.tsv"
ch --query "INSERT INTO kiv.counts FORMAT TabSeparated" <"$rows/counts.tsv"
echo "loaded $(wc -l <"$rows/requests.tsv") requests, $(wc -l <"$rows/counts.tsv") counts"
