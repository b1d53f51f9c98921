#!/usr/bin/env bash
# drvorvel-spool on a spool directory the real driver made while its server was down, plus set-aside files:
# list, summary, JSON and CSV, requeue (a fixed file reaches the server through the running driver, a torn one is
# refused), and the decoding of a raw capture.
# Usage: spool_tool_test.sh <build-dir>
set -euo pipefail
build=$(cd "$1" && pwd)
export QT_QPA_PLATFORM=offscreen
tool="$build/tools/drvorvel-spool"
dir=$(mktemp -d "${TMPDIR:-/tmp}/drvorvel-spooltool.XXXXXX")
pids=()
finish() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap finish EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$dir"/*.out "$dir"/*.err; do [ -f "$f" ] && { echo "---- $f"; cat "$f"; } >&2; done
  exit 1
}
# Waits up to 60 s for a condition (a shell command).
wait_for() { local i; for i in $(seq 600); do eval "$1" && return 0; sleep 0.1; done; fail "timed out: $1"; }
count() { local n=0 f; for f in "$dir"/$1; do [ -e "$f" ] && n=$((n + 1)); done; echo $n; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$dir/drvorvel.ini" <<INI
[main]
ComPort=COM1
FirstNumber=4
SendZ7=0
[ServerHost]
Address=127.0.0.1
Port=$port
[ports]
COM1=$dir/tty
INI
# Three known events while no server listens: three .ob8 files.
"$build/tools/drv-stationsim" --pty --link "$dir/tty" --wait-open 60 --rate 5 --hold 2 \
  --frame 13220A05 --frame E501C30709 --frame 13220B06 >"$dir/station.out" 2>"$dir/station.err" &
pids+=($!)
wait_for '[ -e "$dir/tty" ]'
(cd "$dir" && exec "$build/app/drvorvel" --headless) >"$dir/driver.out" 2>"$dir/driver.err" &
pids+=($!)
wait_for '[ "$(count "*.ob8")" -eq 3 ]'

# Set aside: a fixed event (object 41234) and a torn one.
python3 - "$dir" <<'PY'
import struct, sys
d = sys.argv[1]
event = struct.pack("<i", 41234) + b"\x02" + b"1F" + b"\0\0" + b"\x07\x08" + b"\0" * 8 + b")"
open(d + "/5265C00.ob8.bad", "wb").write(struct.pack("<I", 0x03000020) + event)
open(d + "/5265C01.ob8.bad", "wb").write(b"\x20\0\0\x03" + event[:6])
PY
touch -d '1 minute ago' "$dir/5265C00.ob8.bad"

list=$("$tool" list "$dir") || fail "list"
[ "$(grep -c 'kind event' <<<"$list")" -eq 3 ] || fail "list: three pending events expected: $list"
grep -q "object 40802  code 0A  b3 05  b4 00" <<<"$list" || fail "list: the first event decoded: $list"
grep -q "5265C01.ob8.bad .*reason holds a station event of 6 bytes instead of 20" <<<"$list" || fail "list: the torn file's reason: $list"
summary=$("$tool" summary "$dir") || fail "summary"
grep -qx "pending station events (.ob8): 3" <<<"$summary" && grep -qx "set aside: 2" <<<"$summary" &&
  grep -qx "object 40802: 2" <<<"$summary" || fail "summary: $summary"

# JSON and CSV carry the same rows, in the same (forwarding) order.
"$tool" --json list "$dir" >"$dir/list.json" && "$tool" --csv list "$dir" >"$dir/list.csv" &&
  "$tool" --json summary "$dir" >"$dir/summary.json" || fail "json/csv"
python3 - "$dir" <<'PY' || fail "json/csv parse"
import csv, json, sys
d = sys.argv[1]
rows = json.load(open(d + "/list.json"))
table = list(csv.DictReader(open(d + "/list.csv")))
assert [r["name"] for r in rows] == [r["name"] for r in table], (rows, table)
assert [r["object"] for r in rows if r["kind"] == "event"] == [40802, 69953, 40802], rows
assert [r["code"] for r in table if r["kind"] == "event"] == ["0A", "C3", "0B"], table
summary = json.load(open(d + "/summary.json"))
assert summary["event"] == 3 and summary["set-aside"] == 2, summary
assert summary["top_objects"][0] == {"object": 40802, "events": 2}, summary
PY

# Requeue: the torn file is refused and stays; the fixed one gets a spool name.
if out=$("$tool" requeue "$dir/5265C01.ob8.bad"); then fail "a torn file was requeued: $out"; fi
grep -q "refused  reason holds a station event of 6 bytes" <<<"$out" && [ -e "$dir/5265C01.ob8.bad" ] || fail "torn file: $out"
out=$("$tool" requeue "$dir/5265C00.ob8.bad") || fail "requeue: $out"
grep -q "requeued" <<<"$out" && [ ! -e "$dir/5265C00.ob8.bad" ] && [ "$(count "*.ob8")" -eq 4 ] || fail "requeue: $out"

# With the server up, the running driver forwards all four, the requeued one included.
"$build/tools/drv-z8serversim" --port "$port" --ack >"$dir/server.out" 2>"$dir/server.err" &
pids+=($!)
wait_for '[ "$(count "*.ob8")" -eq 0 ]'
grep -q "station event: object 41234 event 1F bytes 07 08" "$dir/server.out" || fail "the requeued event did not reach the server"

# A raw capture: two frames and a stray byte at the end, one continuous stream.
printf '\x13\x22\x0a\x05\xe5\x01\xc3\x07\x09\xff' >"$dir/drvorvel.log"
# Without --first-number, the FirstNumber of the drvorvel.ini beside it (4 here), else the driver's default 4.
mkdir "$dir/noini" && cp "$dir/drvorvel.log" "$dir/noini/"
capture=$("$tool" --json capture "$dir/noini/drvorvel.log") || fail "capture"
sed -i 's/^FirstNumber=4$/FirstNumber=5/' "$dir/drvorvel.ini"
grep -q '"object": 50802' <<<"$("$tool" --json capture "$dir/drvorvel.log")" || fail "capture ignores FirstNumber of drvorvel.ini"
python3 -c '
import json, sys
rows = json.loads(sys.argv[1])
assert [(r["offset"], r.get("object")) for r in rows] == [(0, 40802), (4, 69953), (9, None)], rows
assert rows[1]["code"] == "C3" and rows[1]["b3"] == "07" and rows[1]["b4"] == "09", rows
assert rows[2]["frame"] == "FF" and "no whole frame" in rows[2]["stray"], rows
' "$capture" || fail "capture: $capture"
# A file that is not there is said to be missing, not to be no spool file.
if "$tool" show "$dir/nosuch.ob8" 2>"$dir/show.err"; then fail "show of a missing file succeeded"; fi
grep -qx "drvorvel-spool: $dir/nosuch.ob8 does not exist" "$dir/show.err" || fail "show: $(cat "$dir/show.err")"
echo "spool tool ok"
