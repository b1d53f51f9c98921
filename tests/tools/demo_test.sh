#!/usr/bin/env bash
# scripts/run without a terminal, as Ctrl-C reaches it (SIGINT to its whole process group): once with the server
# stopped, after an outage and the keys s, z and f; once under "| tee" with the server up. Each run ends with
# status 130, prints its closing summary and leaves no process behind.
# Usage: demo_test.sh <build-dir>
set -euo pipefail
build=$(cd "$1" && pwd)
run="$(cd "$(dirname "$0")/../.." && pwd)/scripts/run"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/drvorvel-demo.XXXXXX")
group=""
finish() {
  [ -n "$group" ] && kill -9 -- "-$group" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  rm -rf "$scratch"
}
trap finish EXIT
# Starts a command in a session of its own with SIGINT as a terminal leaves it (a shell started with "&" would
# inherit it ignored, and an ignored signal cannot be trapped).
session() { exec python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.setsid(); os.execvp(sys.argv[1], sys.argv[1:])' "$@"; }
fail() { echo "FAIL: $*" >&2; cat "$scratch"/out* >&2 2>/dev/null || true; exit 1; }
wait_for() { local i; for i in $(seq 900); do grep -qi -- "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done; fail "no '$1' in $2"; }
# SIGINT to the group, as a terminal's Ctrl-C; then the group must be empty and the status and summary right.
interrupt() {
  local out=$1 rcfile=$2 i
  kill -INT -- "-$group"
  for i in $(seq 300); do [ -s "$rcfile" ] && break; sleep 0.1; done
  [ "$(cat "$rcfile" 2>/dev/null)" = 130 ] || fail "status $(cat "$rcfile" 2>/dev/null) instead of 130"
  for i in $(seq 50); do pgrep -g "$group" >/dev/null || break; sleep 0.1; done
  ! pgrep -g "$group" -a || fail "processes left behind"
  grep -q "run: stopped after .* the server received [0-9]* station events" "$out" || fail "no closing summary in $out"
  ! grep -qi "segmentation" "$out" || fail "a crash"
  group=""
}

# 1: the keys f, s, f, z, and Ctrl-C while the server is down.
mkfifo "$scratch/keys"
session bash -c '"$0" --bin "$1" --dir "$2" --rate 5 <"$3" >"$4" 2>&1; echo $? >"$5"' \
  "$run" "$build" "$scratch/work1" "$scratch/keys" "$scratch/out1" "$scratch/rc1" &
group=$!
exec 3>"$scratch/keys"
wait_for "station event: object" "$scratch/out1"
grep -q "| hello 28" "$scratch/out1" && grep -q "| port status: COM1 open" "$scratch/out1" &&
  grep -q "| version " "$scratch/out1" && grep -q "| first number 4" "$scratch/out1" || fail "the opening packets"
wait_for "record 'I' station link present" "$scratch/out1"
echo f >&3
wait_for "no spool files" "$scratch/out1"
echo s >&3
wait_for "server stopped" "$scratch/out1"
wait_for "link  *| .*" "$scratch/out1"
for i in $(seq 100); do ls "$scratch/work1" | grep -q '\.ob8$' && break; sleep 0.1; done
echo f >&3
wait_for "spool: .*kind event" "$scratch/out1"
echo z >&3
wait_for "Z7 server stopped" "$scratch/out1"
wait_for "link  *| Z7 link\(: lost\| down\)" "$scratch/out1"
interrupt "$scratch/out1" "$scratch/rc1"
exec 3>&-

# 2: under tee, an outage of 6 s (the driver reconnects every 5 s) that drains, and Ctrl-C with the server up:
# tee ends at once, the demo still ends everything.
session bash -c '"$0" --bin "$1" --dir "$2" --outage 6 --rate 5 </dev/null 2>&1 | tee "$3" >/dev/null
                echo ${PIPESTATUS[0]} >"$4"' "$run" "$build" "$scratch/work2" "$scratch/out2" "$scratch/rc2" &
group=$!
wait_for "server stopped" "$scratch/out2"
wait_for "server starting: .* spooled events will drain" "$scratch/out2"
wait_for "spool drained" "$scratch/out2"
kill -INT -- "-$group"
for i in $(seq 300); do [ -s "$scratch/rc2" ] && break; sleep 0.1; done
[ "$(cat "$scratch/rc2")" = 130 ] || fail "status $(cat "$scratch/rc2" 2>/dev/null) under tee"
for i in $(seq 50); do pgrep -g "$group" >/dev/null || break; sleep 0.1; done
! pgrep -g "$group" -a || fail "processes left behind under tee"
group=""
echo "demo ok"
