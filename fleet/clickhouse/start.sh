#!/usr/bin/env bash
# Two local ClickHouse servers, each with its own configuration and data below DIR, on loopback
# ports, and on the first of them a Distributed table over both (fleet/clickhouse/schema.sql):
#   fleet/clickhouse/start.sh --dir DIR [--port P]     servers on P, P+1 (HTTP), P+10, P+11
#   fleet/clickhouse/start.sh --dir DIR --stop         stops the two it started
# Prints "ready" when both answer. Runs as the calling user (root keeps the files root's).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir="" port=19000 stop=0
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --stop) stop=1; shift ;;
    *) echo "usage: start.sh --dir DIR [--port P] [--stop]" >&2; exit 2 ;;
  esac
done
[ -n "$dir" ] || { echo "start.sh: --dir is needed" >&2; exit 2; }
[[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1024 ] && [ "$port" -le 65000 ] ||
  { echo "start.sh: --port needs a number 1024..65000" >&2; exit 2; }
server=$(command -v clickhouse-server || echo /usr/sbin/clickhouse-server)
client=$(command -v clickhouse-client || true)
[ -x "$server" ] && [ -n "$client" ] ||
  { echo "start.sh: clickhouse-server and clickhouse-client are needed (apt-get install clickhouse-server clickhouse-client)" >&2; exit 77; }

if [ "$stop" = 1 ]; then
  for n in 1 2; do
    f="$dir/s$n/pid"
    [ -s "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
  done
  for n in 1 2; do
    f="$dir/s$n/pid"
    for _ in $(seq 100); do kill -0 "$(cat "$f" 2>/dev/null)" 2>/dev/null || break; sleep 0.1; done
  done
  exit 0
fi

write_config() {  # DIR TCP HTTP INTERSERVER
  mkdir -p "$1/data" "$1/tmp" "$1/user_files" "$1/format_schemas" "$1/log"
  cat >"$1/users.xml" <<XML
<yandex>
  <profiles><default><max_memory_usage>4000000000</max_memory_usage></default></profiles>
  <users><default><password></password><networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
    <profile>default</profile><quota>default</quota></default></users>
  <quotas><default><interval><duration>3600</duration><queries>0</queries><errors>0</errors>
    <result_rows>0</result_rows><read_rows>0</read_rows><execution_time>0</execution_time>
  </interval></default></quotas>
</yandex>
XML
  cat >"$1/config.xml" <<XML
<yandex>
  <logger><level>warning</level><log>$1/log/server.log</log><errorlog>$1/log/error.log</errorlog>
    <size>10M</size><count>2</count></logger>
  <listen_host>127.0.0.1</listen_host>
  <tcp_port>$2</tcp_port>
  <http_port>$3</http_port>
  <interserver_http_port>$4</interserver_http_port>
  <interserver_http_host>127.0.0.1</interserver_http_host>
  <max_connections>256</max_connections>
  <mark_cache_size>268435456</mark_cache_size>
  <path>$1/data/</path>
  <tmp_path>$1/tmp/</tmp_path>
  <user_files_path>$1/user_files/</user_files_path>
  <format_schema_path>$1/format_schemas/</format_schema_path>
  <users_config>$1/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <timezone>UTC</timezone>
  <remote_servers>
    <kiv_fleet>
      <shard><replica><host>127.0.0.1</host><port>$port</port></replica></shard>
      <shard><replica><host>127.0.0.1</host><port>$((port + 10))</port></replica></shard>
    </kiv_fleet>
  </remote_servers>
</yandex>
XML
}

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
for n in 1 2; do
  p=$((port + (n - 1) * 10))
  write_config "$dir/s$n" "$p" $((p + 1)) $((p + 2))
  "$server" --config-file="$dir/s$n/config.xml" --pid-file="$dir/s$n/pid" --daemon
done
for n in 1 2; do
  p=$((port + (n - 1) * 10))
  ok=0
  for _ in $(seq 300); do
    if "$client" --host 127.0.0.1 --port "$p" --query "SELECT 1" >/dev/null 2>&1; then ok=1; break; fi
    sleep 0.2
  done
  [ "$ok" = 1 ] || { echo "start.sh: the server on port $p did not answer; see $dir/s$n/log" >&2; exit 1; }
  "$client" --host 127.0.0.1 --port "$p" --multiquery <"$here/schema.sql"
done
echo ready
