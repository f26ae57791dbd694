#!/usr/bin/env bash
# kivrule fleet --html in a real browser: Debian's chromium, headless, offline, with a fresh
# profile, opens the page of a misfiring rollout; its DOM holds the verdict and one chart per
# measure and the taking chart, and its screenshot shows the charts' lines drawn (pixels of the
# stage's, the base's and the taking series' colours). Exit 77 (skipped) without chromium.
set -euo pipefail
sim=$1 kivrule=$2
browser=$(command -v chromium || true)
[ -n "$browser" ] || { echo "no chromium"; [ "${CI:-}" != true ] || exit 1; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$sim" --log --routers 2000 --rollout-fires 20 >"$work/log.jsonl"
# A hostile keyword and model must stay text.
printf '{"time":1764720000,"status":200,"Model":"<script>x</script>","IDENT":"%032x","RuleSerial":"2025120101","KivReport":"{\\"v\\":1,\\"serial\\":2025120101,\\"seconds\\":86400,\\"rules\\":{\\"<b>&\\":{\\"fires\\":1}}}","stage":10,"published":2025120101}\n' 1 >>"$work/log.jsonl"
status=0
"$kivrule" fleet "$work/log.jsonl" --html "$work/page.html" >/dev/null || status=$?
[ "$status" = 1 ] || { echo "kivrule fleet --html: status $status, not 1 (halt)"; exit 1; }
! grep -q '<script\|src=\|href=' "$work/page.html" || { echo "the page holds a script or a link"; exit 1; }
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --user-data-dir="$work/profile" --window-size=800,2000)
timeout 120 "$browser" "${flags[@]}" --dump-dom "file://$work/page.html" >"$work/dom.html" 2>/dev/null
grep -q 'verdict: halt' "$work/dom.html"
charts=$(grep -o '<svg class="chart"' "$work/dom.html" | wc -l)
[ "$charts" -ge 5 ] || { echo "$charts charts in the DOM"; exit 1; }
timeout 120 "$browser" "${flags[@]}" --screenshot="$work/shot.png" "file://$work/page.html" >/dev/null 2>&1
python3 - "$work/shot.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG"
at, idat, head = 8, b"", None
while at < len(data):
    n, kind = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + n]
    if kind == b"IHDR": head = struct.unpack(">IIBBBBB", body)
    if kind == b"IDAT": idat += body
    at += 12 + n
w, h, depth, colour = head[:4]
assert depth == 8 and colour in (2, 6), head
bpp = 3 if colour == 2 else 4
raw, rows, prev = zlib.decompress(idat), [], bytearray(w * bpp)
for y in range(h):
    f, line = raw[y * (w * bpp + 1)], bytearray(raw[y * (w * bpp + 1) + 1:(y + 1) * (w * bpp + 1)])
    for i in range(len(line)):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        if f == 1: line[i] = (line[i] + a) & 255
        elif f == 2: line[i] = (line[i] + b) & 255
        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(line); prev = line
want = {"stage": (209, 36, 47), "base": (26, 127, 55), "taking": (31, 111, 235)}
seen = dict.fromkeys(want, 0)
for line in rows:
    for x in range(0, w * bpp, bpp):
        px = tuple(line[x:x + 3])
        for name, rgb in want.items():
            if all(abs(p - q) <= 24 for p, q in zip(px, rgb)): seen[name] += 1
print("series pixels:", seen)
assert seen["stage"] >= 200 and seen["base"] >= 200 and seen["taking"] >= 20, seen
PY
