#!/usr/bin/env bash
# Runs the driver as the packaged unit runs it, as far as a machine without systemd as its service manager allows:
# the unit's environment, umask, arguments and working directory; a user and group of its own with the unit's
# supplementary groups (numeric stand-ins for drvorvel, as no package is installed); no new privileges; only the
# capabilities the unit grants, in the bounding and the ambient set; its system call filter, address families and
# memory that is never writable and executable at once (tests/package/confine.py); and, where a mount namespace
# can be made, a read-only system with only the working and the runtime directory writable. The station's line is
# a pseudo-terminal owned by dialout, as a serial port is.
# Checked: an operator's driver (another user of the group, umask 022) and the service's driver exclude each other
# in one directory, in both orders, the refused one ending with status 3 and naming the holder's process; the
# service's driver delivers the station's events to a Z8 server and holds the right to set the clock; a stop
# signal ends it with status 0; with the drop-in that takes the right away, a clock record is refused and said
# so once.
# Needs root to switch users (CI runs as root); otherwise it is skipped with status 77.
# Usage: service_test.sh <build-dir> <source-dir>
set -euo pipefail
build=$(cd "$1" && pwd)
unit="$2/packaging/drvorvel.service"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: switching users needs root"; exit 77; }
for tool in setpriv /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/drvorvel-service.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$scratch"/*.err "$scratch"/*.out; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  exit 1
}
# Waits up to 30 s for a shell condition.
wait_for() {
  local i
  for ((i = 0; i < 300; i++)); do eval "$1" && return 0; sleep 0.1; done
  return 1
}

chmod 0755 "$scratch"
service_uid=64801 operator_uid=64802 group=64800
# The unit's supplementary groups (dialout, which owns the serial ports), as numbers.
groups=$group
for name in $(sed -n 's/^SupplementaryGroups=//p' "$unit"); do
  gid=$(getent group "$name" | cut -d: -f3)
  [ -n "$gid" ] || { echo "SKIP: no group $name here"; exit 77; }
  groups+=",$gid"
done
dialout=$(getent group dialout | cut -d: -f3)
# The programs are copied out of the build tree, which the stand-in users might not be able to read.
install -m 0755 "$build/app/drvorvel" "$scratch/drvorvel"
install -m 0644 "$(dirname "$0")/confine.py" "$unit" "$scratch/"
station="$scratch/station" rundir="$scratch/run"
install -d -o "$service_uid" -g "$group" -m 2775 "$station"
install -d -o "$service_uid" -g "$group" -m 0700 "$rundir"
install -d -o "$operator_uid" -g "$operator_uid" -m 0700 "$scratch/operator-run"

# What the unit gives the driver: its environment (with %t/drvorvel, the runtime directory, made here), umask,
# arguments and capabilities.
mapfile -t environment < <(sed -n 's/^Environment=//p' "$unit" | tr ' ' '\n' | sed "s|%t/drvorvel|$rundir|")
umask=$(sed -n 's/^UMask=//p' "$unit")
read -r -a arguments <<<"$(sed -n 's|^ExecStart=/usr/bin/drvorvel||p' "$unit")"
caps=$(sed -n 's/^AmbientCapabilities=//p' "$unit" | tr 'A-Z ' 'a-z,' | sed 's/cap_//g')
[ "$caps" = "$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z ' 'a-z,' | sed 's/cap_//g')" ] \
  || fail "the unit's ambient and bounding capabilities differ"
[ -n "$umask" ] && [ ${#environment[@]} -gt 0 ] || fail "cannot read the unit"
# The system calls its filter allows: the groups and names of the allowing lines, less those of the "~" lines.
expand() {
  systemd-analyze syscall-filter "$1" | tail -n +2 | sed 's/^ *//; /^#/d; /^$/d' | while read -r name; do
    case $name in @*) expand "$name" ;; *) echo "$name" ;; esac
  done
}
names() { tr ' ' '\n' | grep . | while read -r group; do expand "$group"; done | sort -u; }
comm -23 <(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$unit" | names) \
  <(sed -n 's/^SystemCallFilter=~//p' "$unit" | names) >"$scratch/syscalls"
grep -qx clock_settime "$scratch/syscalls" && ! grep -qx setrlimit "$scratch/syscalls" || fail "cannot read the filter"

"$build/tools/drv-z8serversim" --port 0 --ack >"$scratch/z8.out" 2>&1 &
pids+=($!)
"$build/tools/drv-stationsim" --pty --random 100000 --rate 2 --seed 7 >"$scratch/station.out" 2>&1 &
pids+=($!)
wait_for 'grep -qs "listening on" "$scratch/z8.out"' || fail "no Z8 server"
wait_for 'grep -qs "^pty " "$scratch/station.out"' || fail "no station"
port=$(sed -n 's/.*listening on .*:\([0-9]*\)$/\1/p' "$scratch/z8.out")
pty=$(sed -n 's/^pty //p' "$scratch/station.out")
chgrp "$dialout" "$pty" && chmod 0660 "$pty"
printf '[main]\nComPort=COM1\n[ports]\nCOM1=%s\n[ServerHost]\nAddress=127.0.0.1\nPort=%s\n' "$pty" "$port" \
  >"$station/drvorvel.ini"
chown "$service_uid:$group" "$station/drvorvel.ini" && chmod 0664 "$station/drvorvel.ini"

as_service=(setpriv --reuid="$service_uid" --regid="$group" --groups="$groups" --no-new-privs
  --bounding-set="-all,+$caps" --inh-caps="-all,+$caps" --ambient-caps="-all,+$caps"
  env -i HOME="$station" "${environment[@]}"
  /usr/bin/python3 "$scratch/confine.py" "$scratch/$(basename "$unit")" "$scratch/syscalls" --
  "$scratch/drvorvel" "${arguments[@]}")
writable=$(sed -n 's/^ReadWritePaths=-\?//p' "$unit" | tr '\n' ' ')  # besides the working directory
confined=1
unshare --mount true 2>/dev/null || { confined=0; echo "note: no mount namespace here; the system stays writable"; }

# The driver as the service: the unit's user, groups, capabilities, environment and umask, in the station's
# directory. Runs in the background; its stderr goes to $scratch/<name>.err.
start_service() {
  local name=$1
  (
    umask "$umask"
    if [ "$confined" = 1 ]; then
      exec unshare --mount --propagation private sh -c 'mount --bind "$1" "$1" && mount --bind "$2" "$2" &&
        for dir in $3; do [ ! -d "$dir" ] || mount --bind "$dir" "$dir"; done &&
        mount -o remount,bind,ro / && cd "$1" && shift 3 && exec "$@"' sh "$station" "$rundir" "$writable" \
        "${as_service[@]}"
    fi
    cd "$station"
    exec "${as_service[@]}"
  ) >"$scratch/$name.out" 2>"$scratch/$name.err" &
  pids+=($!)
  last=$!
}
# The driver as an operator of group drvorvel starts it from a terminal: umask 022, headless.
start_operator() {
  local name=$1
  (
    umask 022
    cd "$station"
    exec setpriv --reuid="$operator_uid" --regid="$operator_uid" --groups="$group,$dialout" --inh-caps=-all \
      env -i HOME="$station" XDG_RUNTIME_DIR="$scratch/operator-run" QT_QPA_PLATFORM=offscreen "$scratch/drvorvel" \
      --headless
  ) >"$scratch/$name.out" 2>"$scratch/$name.err" &
  pids+=($!)
  last=$!
}
holds_lock() { grep -q "FLOCK .* WRITE $1 " /proc/locks; }
# A second driver ends at once with status 3, naming the holder.
expect_refused() {
  local name=$1 holder=$2 status=0
  wait "$last" || status=$?
  [ "$status" = 3 ] || fail "$name ended with status $status, not 3"
  grep -q "already runs in $station (process $holder)" "$scratch/$name.err" || fail "$name does not name process $holder"
  kill -0 "$holder" || fail "the holder $holder is gone"
}
stop() {
  local status=0
  kill -TERM "$1"
  wait "$1" || status=$?
  [ "$status" = 0 ] || fail "a stop signal ended $1 with status $status"
}

# An operator's driver first: the service's start is refused.
start_operator operator
operator=$last
wait_for "holds_lock $operator" || fail "the operator's driver takes no lock"
start_service refused-service
expect_refused refused-service "$operator"
stop "$operator"

# A lock file the operator's umask left unwritable for the group (as older drivers did) is no obstacle either.
chmod 0644 "$station/drvorvel.lock"
seen=$(wc -l <"$scratch/z8.out")  # what the Z8 server received from the operator's driver
start_service service
service=$last
wait_for "holds_lock $service" || fail "the service's driver takes no lock"
[ "$(cat "$station/drvorvel.lock")" = "$service" ] || fail "the lock file does not name the service's driver"
serial_lock="/run/lock/LCK..$(realpath "$pty" | sed 's|^/dev/||; s|/|_|g')"
[ ! -d /run/lock ] || wait_for '[ "$(cat "$serial_lock" 2>/dev/null | tr -d " ")" = "$service" ]' \
  || fail "no serial lock file $serial_lock"
start_operator refused-operator
expect_refused refused-operator "$service"

# The service's driver delivers the station's events to the Z8 server, with the right to set the clock in effect.
wait_for 'tail -n +$((seen + 1)) "$scratch/z8.out" | grep -qs "station event"' || fail "no station event reached the Z8 server"
status=$(cat "/proc/$service/status")
[ "$(awk '/^Uid:/ {print $2}' <<<"$status")" = "$service_uid" ] || fail "not the service's user"
[ "$(awk '/^NoNewPrivs:/ {print $2}' <<<"$status")" = 1 ] || fail "new privileges are possible"
effective=$(awk '/^CapEff:/ {print $2}' <<<"$status")
[ $((16#$effective)) = $((1 << 25)) ] || fail "effective capabilities $effective, not CAP_SYS_TIME alone"
# Another user's descriptors are not readable to the service's user: the driver says its held-device check is blind
# to them, once, and that is no fault.
blind="the check of who holds a device cannot see processes of other users"
[ "$(grep -c "$blind" "$scratch/service.err")" = 1 ] || fail "the service's driver does not say once what its held-device check cannot see"
if grep -v "$blind" "$scratch/service.err" | grep -q "cannot\|refused"; then fail "the service's driver reports a fault"; fi
stop "$service"

# With the drop-in that refuses the clock record ("AmbientCapabilities=" emptied): two clock records from the Z7
# server, and the driver says once that the clock cannot be set and goes on.
for attempt in 1 2 3 4 5; do
  z7=127.0.0.$((RANDOM % 200 + 20))
  "$build/tools/drv-z7serversim" --port 7788 --bind "$z7" --after 2 "repeat 2 clock now" >"$scratch/z7.out" 2>&1 &
  pids+=($!)
  wait_for 'grep -qs "listening on\|rror" "$scratch/z7.out"' && grep -qs "listening on" "$scratch/z7.out" && break
done
grep -q "listening on" "$scratch/z7.out" || fail "no Z7 server"
printf '[main]\nSendZ7=1\nhost=%s\nSendZ8=0\n' "$z7" >"$station/drvorvel.ini"
as_service=("${as_service[@]/--ambient-caps=*/--ambient-caps=-all}")
start_service refusing
refusing=$last
wait_for 'grep -qs "sending repeat 2 clock now" "$scratch/z7.out"' || fail "the driver never announced itself to Z7"
wait_for 'grep -qs "clock cannot be set" "$scratch/refusing.err"' || fail "the refused clock record is not reported"
stop "$refusing"
[ "$(grep -c "clock cannot be set" "$scratch/refusing.err")" = 1 ] || fail "the refusal is reported more than once"
echo "service ok (confined mount namespace: $confined)"
