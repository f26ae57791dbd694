#!/usr/bin/env bash
# The rule library: every sample does what it says through the daemon's reader and matcher, no
# line to match matches a second rule, a model's file picked from all of it passes check, and on
# examples/library.log each rule matches and fires exactly where library/make_log.py put its
# fault (examples/library.fires) and nowhere else. Then kivrule test and pick refuse what they
# must.
set -euo pipefail
kivrule=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$kivrule" test --no-overlap "$src"/library/*.json
"$kivrule" pick --model KV-1000 --fwver 3.0.0.4_388 "$tmp/rules.json" "$src"/library/*.json
"$kivrule" check "$tmp/rules.json" --productid KV-1000 --fwver 3.0.0.4_388 >/dev/null
"$kivrule" replay "$tmp/rules.json" "$src/examples/library.log" --productid KV-1000 \
  --fwver 3.0.0.4_388 --json >"$tmp/replay.json"
python3 - "$tmp/replay.json" "$src/examples/library.fires" <<'PY'
import json, sys
got = {p["keyword"]: (p["first_match_line"], p["matches"], [f["line"] for f in p["fire_list"]])
       for p in json.load(open(sys.argv[1]))["profiles"]}
want = {}
for line in open(sys.argv[2]):
    if not line.startswith("#"):
        kw, first, n, fire = line.split()
        want[kw] = (int(first), int(n), [int(fire)])
assert got == want, [(k, got.get(k), want.get(k)) for k in set(got) | set(want)
                     if got.get(k) != want.get(k)]
PY

# One rule file and its samples: a wrong sample, a keyword twice, too few samples, a section of no
# rule, an overlap under --no-overlap each fail (status 1); the good file passes.
rule='{"model":"M","keyword":"%s","re_pattern":"%s","frequency":"1","period":"1","action":"nop"}'
good="[$(printf "$rule" a 'link down'),$(printf "$rule" b 'down')]"
printf '%s' "$good" >"$tmp/r.json"
expect() {  # expect STATUS ARGS...: kivrule test's exit status
  local want=$1 status=0
  shift
  "$kivrule" test "$@" >"$tmp/out" || status=$?
  [ "$status" = "$want" ] || { cat "$tmp/out"; echo "want $want, got $status: $*"; exit 1; }
}
samples() { printf '%b' "$1" >"$tmp/r.samples"; }
samples '[a]\n+ x: link down\n+ y: link down\n- x: link up\n[b]\n+ x: down\n+ y: down\n- x: up\n'
expect 0 "$tmp/r.json"
expect 1 --no-overlap "$tmp/r.json"  # a's lines to match are b's too
samples '[a]\n+ x: link down\n+ y: link up\n- x: link up\n[b]\n+ x: down\n+ y: down\n- x: up\n'
expect 1 "$tmp/r.json"
samples '[a]\n+ x: link down\n+ y: link down\n- x: link down\n[b]\n+ x: down\n+ y: down\n- x: up\n'
expect 1 "$tmp/r.json"
samples '[a]\n+ x: link down\n- x: link up\n[b]\n+ x: down\n+ y: down\n- x: up\n'
expect 1 "$tmp/r.json"
samples '[a]\n+ x: link down\n+ y: link down\n- x: link up\n[b]\n+ x: down\n+ y: down\n- x: up\n[c]\n+ x\n'
expect 1 "$tmp/r.json"
samples '[a]\n+ x: link down\n+ y: link down\n- x: link up\n[b]\n+ x: down\n+ y: down\n- x: up\nstray\n'
expect 1 "$tmp/r.json"
printf '[%s,%s]' "$(printf "$rule" a down)" "$(printf "$rule" a up)" >"$tmp/twice.json"
cp "$tmp/r.samples" "$tmp/twice.samples"
expect 1 "$tmp/twice.json"
expect 2 "$tmp/none.json"
# pick: a keyword named that no rule has, or picked twice, is refused and nothing is written.
for bad in "$src/library/wan.json:no_such_rule" "$src/library/wan.json $src/library/wan.json"; do
  # shellcheck disable=SC2086
  if "$kivrule" pick --model M "$tmp/p.json" $bad 2>/dev/null; then exit 1; fi
  [ ! -e "$tmp/p.json" ]
done
"$kivrule" pick --model M --odmpid O "$tmp/p.json" "$src/library/wan.json:ppp_auth_failed" 2>/dev/null
python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); assert len(r)==1 and r[0]["model"]=="M" and r[0]["odmpid"]=="O" and "target_fwver" not in r[0]' "$tmp/p.json"
