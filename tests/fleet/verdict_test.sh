#!/usr/bin/env bash
# kivrule fleet's verdict on generated rule server logs (fleet_sim --log), one row a case: the
# faults it once had (an outage after the rollout, a forged serial or seconds, one noisy router,
# one overlong line) and an outsider's attacks (forged members, duplicated and reordered lines,
# made-up IDENTs). Each row: name | fleet_sim --log arguments | lines added (a function below) |
# kivrule fleet arguments | exit status | a text its output holds.
set -euo pipefail
sim=$1 kivrule=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
P=2025120101 B=2025113001 T=1764723600  # rollout and base serials, 01:00 on day 2

# A report line as the rule server logs it; IDENT, RuleSerial, report serial, seconds, fires.
line() {
  printf '{"time":%s,"status":200,"Model":"KV-1000","TCode":"EU","FWVER":"3.0.0.4.388","IDENT":"%s","RuleSerial":"%s","KivReport":"{\\"v\\":1,\\"serial\\":%s,\\"seconds\\":%s,\\"reboots\\":0,\\"rules\\":{\\"wan_down\\":{\\"fires\\":%s}}}","stage":10,"published":%s}\n' \
    "${6:-$T}" "$1" "$2" "$3" "$4" "$5" "${7:-$P}"
}
ident() { printf '%04x%028x' "$1" "$2"; }  # bucket: the first number modulo 100

none() { :; }
# A form field cannot add a member: the server writes it as one JSON string.
injected() { line "$(ident 3 1)" $P $P 86400 0 | sed 's/"Model":"KV-1000"/"Model":"\\",\\"published\\":18446744073709551615,\\"x\\":\\""/'; }
forged_serial_line() { line "$(ident 3 1)" 18446744073709551615 18446744073709551615 86400 0; }
forged_seconds() { line "$(ident 3 2)" $P $P 1000000000000000 0; }
forged_fires_outside() {  # IDENTs of buckets outside the 10% stage claiming the serial
  for n in $(seq 1 40); do line "$(ident 50 "$n")" $P $P 86400 100000; done
}
huge_count() { line "$(ident 3 6)" $P $P 86400 1000000000000000; }
no_seconds() { for n in 7 8; do line "$(ident 3 $n)" $P $P 0 500; done; }
many_reports() { for n in $(seq 1 300); do line "$(ident 3 9)" $P $P 86400 50 $((T + n)); done; }
rule_serial_mismatch() { line "$(ident 3 3)" $B $P 86400 100000; }
overlong() { printf '{"time":%s,"status":200,"IDENT":"%s","KivReport":"%s"}\n' "$T" "$(ident 3 4)" "$(head -c 96000 /dev/zero | tr '\0' 'x')"; }
unreadable() { printf 'not json\n{"time":-1}\n\n'; }
extra_members() { line "$(ident 3 5)" $P $P 86400 1 "$T" | sed 's/"published":/"published":1,"x":/'; }

run_case() {  # name sim-args add kivrule-args status text
  local log="$work/$1.jsonl" out status=0
  # shellcheck disable=SC2086
  "$sim" --log $2 >"$log"
  "$3" >>"$log"
  # shellcheck disable=SC2086
  out=$("$kivrule" fleet "$log" $4 2>&1) || status=$?
  if [ "$status" != "$5" ] || ! grep -qF -- "$6" <<<"$out"; then
    echo "FAIL $1: status $status (want $5), want text: $6"
    echo "$out" | grep -v '^  ' | head -40
    return 1
  fi
  echo "ok $1"
}

fails=0
while IFS='|' read -r name args add opts status text; do
  [[ "$name" =~ ^[[:space:]]*(#|$) ]] && continue
  trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }
  run_case "$(trim "$name")" "$(trim "$args")" "$(trim "$add")" "$(trim "$opts")" "$(trim "$status")" "$(trim "$text")" || fails=$((fails + 1))
done <<'CASES'
# name               | fleet_sim --log                       | added                | kivrule fleet   | st | output holds
same set             | --routers 2000                         | none                 |                 | 0  | verdict: go on
misfiring set        | --routers 2000 --rollout-fires 20      | none                 |                 | 1  | verdict: halt: fires of wan_down, unconfirmed heals of wan_down
outage after it      | --routers 2000 --days 4 --publish-day 3 --outage-day 3 | none |           | 0  | verdict: go on
outage, misfiring    | --routers 2000 --outage-day 1 --rollout-fires 20 | none       |                 | 1  | verdict: halt
forged serial        | --routers 2000 --rollout-fires 20      | forged_serial_line   |                 | 1  | serial above the published one: 1
injected member      | --routers 2000 --rollout-fires 20      | injected             |                 | 1  | published serial 2025120101
forged seconds       | --routers 2000 --rollout-fires 20      | forged_seconds       | --serial 2025120101 | 1 | verdict: halt
outside its buckets  | --routers 2000                         | forged_fires_outside |                 | 0  | left out: 40 reports of serial 2025120101 from routers outside its buckets
one huge count       | --routers 2000                         | huge_count           |                 | 0  | verdict: go on
no seconds, fires    | --routers 2000                         | no_seconds           |                 | 0  | verdict: go on
one router, 300 reports | --routers 2000                      | many_reports         |                 | 0  | a router's reports past 256: 44
RuleSerial differs   | --routers 2000                         | rule_serial_mismatch |                 | 0  | serial is not the line's RuleSerial: 1
noisy router         | --routers 350 --noisy 1                | none                 |                 | 0  | 200000.0
two noisy routers    | --routers 350 --noisy 2                | none                 |                 | 0  | verdict: go on
overlong line        | --routers 2000                         | overlong             |                 | 0  | 1 lines cannot be read
overlong, misfiring  | --routers 2000 --rollout-fires 20      | overlong             |                 | 1  | longer than 65536 bytes
unreadable lines     | --routers 200                          | unreadable           |                 | 0  | 2 lines cannot be read
other members        | --routers 200                          | extra_members        | --json          | 0  | "verdict":"go on"
too few routers      | --routers 100 --rollout-fires 20       | none                 |                 | 0  | routers needed to judge
chosen base          | --routers 2000 --rollout-fires 20      | none                 | --base 1        | 1  | on serial 1
per model            | --routers 2000 --rollout-fires 20      | none                 |                 | 1  | model KV-2000:
refusals             | --routers 2000 --refusing 50           | none                 | --json          | 0  | "refusing_routers":{"signature":
CASES

# The same lines twice, or in another order, or split over two logs and standard input: the same
# verdict and numbers.
"$sim" --log --routers 1000 --rollout-fires 20 >"$work/a.jsonl"
"$kivrule" fleet "$work/a.jsonl" --json | sed 's/"lines":[0-9]*,"requests":[0-9]*,//' >"$work/one.json" || true
digest() { python3 -c 'import json,sys; d=json.load(sys.stdin); print(json.dumps([d["segments"],d["verdict"],d["taken"]]))'; }
want=$(digest <"$work/one.json")
cat "$work/a.jsonl" "$work/a.jsonl" >"$work/twice.jsonl"
shuf --random-source=<(yes) "$work/a.jsonl" >"$work/shuffled.jsonl"
head -n 1500 "$work/a.jsonl" >"$work/head.jsonl"
for cmd in "$work/twice.jsonl" "$work/shuffled.jsonl" "$work/head.jsonl -"; do
  # shellcheck disable=SC2086
  got=$(tail -n +1501 "$work/a.jsonl" | "$kivrule" fleet $cmd --json | digest) || true
  [ "$got" = "$want" ] && echo "ok same verdict: $cmd" || { echo "FAIL same verdict: $cmd"; fails=$((fails + 1)); }
done
grep -q '"seen twice (same IDENT and time)":[1-9]' <("$kivrule" fleet "$work/twice.jsonl" --json || true) ||
  { echo "FAIL duplicates are not counted"; fails=$((fails + 1)); }
# A bad command line or a log that cannot be read: 2.
for bad in "" "--factor 0.5" "$work/none.jsonl" "$work" "$work/a.jsonl --bogus" "$work/a.jsonl --html"; do
  status=0
  # shellcheck disable=SC2086
  "$kivrule" fleet $bad >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || { echo "FAIL status $status for: fleet $bad"; fails=$((fails + 1)); }
done
[ "$fails" = 0 ]
