#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time, seeded from fuzz/corpus/<target>/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 30 s, every target)
# KIV_FUZZ_JOBS: how many cores the build and the runs take (default all of them).
# Every run happens in a temporary runtime root (KIV_ROOT), with a temporary working corpus, so
# nothing touches the real /tmp paths of the daemon or the committed seeds. Exits non-zero when
# any target crashes, hangs, leaks or breaks one of its invariants.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${1:-30}"
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(container rules actions command match literals prefilter signature)

if [ "$(id -u)" = 0 ]; then
  source scripts/packages.sh
  install_missing "${FUZZ_PACKAGES[@]}"
fi

JOBS=${KIV_FUZZ_JOBS:-$(nproc)}
[[ $JOBS =~ ^[1-9][0-9]{0,2}$ ]] || { echo "fuzz.sh: KIV_FUZZ_JOBS must be a whole number from 1" >&2; exit 2; }
BUILD=build-fuzz
cmake -S fuzz -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$BUILD" -j"$JOBS"

max_len() {
  case "$1" in
    container) echo 8192 ;;  # a rule file of a few rules
    rules) echo 4096 ;;
    actions) echo 1024 ;;
    command) echo 512 ;;     # the channel cuts the command string at 255 characters
    match) echo 4096 ;;      # about sixteen lines of 255 characters
    literals) echo 512 ;;    # a pattern and a few lines
    prefilter) echo 2048 ;;  # a few patterns and lines, some longer than a piece
    signature) echo 4096 ;;  # a small signed container
    *) echo 4096 ;;
  esac
}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kiv-fuzz.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# One target's run; what it prints goes to $WORK/report-TARGET, its status is the run's.
fuzz_one() {
  local t=$1 root="$WORK/root-$1" corpus="$WORK/corpus-$1" rc=0 dict=()
  mkdir -p "$root" "$corpus" "$WORK/artifacts-$t"
  cp fuzz/corpus/"$t"/* "$corpus"/
  [ -f fuzz/dict/"$t".dict ] && dict=(-dict=fuzz/dict/"$t".dict)
  echo "== fuzz_$t: ${SECONDS_PER_TARGET} s"
  KIV_ROOT="$root" TMPDIR="$root" "$BUILD/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" \
    -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 \
    -print_final_stats=1 "${dict[@]}" -artifact_prefix="$WORK/artifacts-$t/" "$corpus" \
    >"$WORK/log-$t" 2>&1 || rc=$?
  # The last status line carries coverage (cov, ft) and the corpus; the final stats exec/s.
  grep -E '^#[0-9]+' "$WORK/log-$t" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$WORK/log-$t" || true
  if [ "$rc" -ne 0 ] || ls "$WORK/artifacts-$t"/* >/dev/null 2>&1; then
    echo "!! fuzz_$t failed (status $rc):"
    grep -E -A30 'ERROR|invariant broken|SUMMARY' "$WORK/log-$t" | head -n 60 || tail -n 40 "$WORK/log-$t"
    for a in "$WORK/artifacts-$t"/*; do
      [ -f "$a" ] && { echo "-- input $(basename "$a") (base64):"; base64 -w0 "$a"; echo; }
    done
    return 1
  fi
}

# Each target is one process on one core: as many run at once as there are jobs; their reports
# are printed in the targets' order; any failure fails the run.
for t in "${TARGETS[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
  { fuzz_one "$t" || touch "$WORK/failed-$t"; } >"$WORK/report-$t" 2>&1 &
done
wait
status=0
for t in "${TARGETS[@]}"; do
  cat "$WORK/report-$t"
  [ ! -e "$WORK/failed-$t" ] || status=1
done
exit "$status"
