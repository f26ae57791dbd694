#!/usr/bin/env bash
# Benchmarks of the per-line path, one command:
#   scripts/bench.sh [micro|e2e|side|all] [--quick] [--n 1,10,100,1000] [--idle SECONDS]
# installs what is missing, builds into build-bench (Release flags of the daemon's default
# build type, benchmarks on) and runs
#   micro  the micro benchmark (bench/line_path_bench.cc);
#   e2e    the end-to-end benchmark (bench/e2e_bench.py: the real daemon in a sandbox root),
#          with the idle figures;
#   side   the side-by-side run (bench/side_by_side.py), the rule library's case included: kiv end to end beside SEC (the log
#          correlator, installed here), a plain regexec loop and the records' floor (the records
#          kiv writes, formatted and written alone) at N = 1, 10, 100, 1000, medians of three,
#          one table with the ratios kiv/SEC and kiv/floor;
#   all    the three (the default).
# --quick: fewer lines, a 10-s quiet period, shorter micro runs. --n applies to all three.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake pkg-config libcurl4-openssl-dev libjson-c-dev libssl-dev
          libbenchmark-dev openssl python3 sec)
source scripts/packages.sh

what=all
quick=0
ns=1,10,100,1000
idle=60
while [ $# -gt 0 ]; do
  case "$1" in
    micro|e2e|side|all) what=$1 ;;
    --quick) quick=1 ;;
    --n) ns=$2; shift ;;
    --idle) idle=$2; shift ;;
    *) echo "usage: scripts/bench.sh [micro|e2e|side|all] [--quick] [--n LIST] [--idle SECONDS]" >&2
       exit 2 ;;
  esac
  shift
done

install_missing "${PACKAGES[@]}"
B=build-bench
cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_BENCH=ON \
      -DKIV_BUILD_TESTS=OFF >/dev/null
cmake --build "$B" -j2 --target kiv nvram kivrule kiv_line_bench \
      kiv_regexec_loop kiv_records_floor >/dev/null

echo "== machine: $(nproc) cores, load: $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%F %T') UTC"

if [ "$what" = micro ] || [ "$what" = all ]; then
  echo
  echo "== micro benchmark: one line walked over N profiles, records to a real file"
  filter=
  [ "$ns" = 1,10,100,1000 ] || filter="--benchmark_filter=BM_(KivLog|SettingsRead)|/N:(${ns//,/|})(/|\$)"
  min_time=0.5
  [ "$quick" = 1 ] && min_time=0.1
  timeout 300 "$B/bench/kiv_line_bench" --benchmark_min_time="$min_time" $filter
fi

if [ "$what" = e2e ] || [ "$what" = all ]; then
  echo
  echo "== end-to-end benchmark: kiv in a sandbox root, rule sets through the download path"
  extra=(--idle "$idle")
  [ "$quick" = 1 ] && extra=(--idle 10 --lines-scale 0.2)
  timeout 900 python3 bench/e2e_bench.py --bin "$B" --n "$ns" "${extra[@]}"
fi

if [ "$what" = side ] || [ "$what" = all ]; then
  echo
  echo "== side by side: kiv end to end, SEC --notail, a regexec loop and the records' floor"
  extra=()
  [ "$quick" = 1 ] && extra=(--lines-scale 0.2)
  timeout 3600 python3 bench/side_by_side.py --bin "$B" --n "$ns" --library "${extra[@]}"
fi
