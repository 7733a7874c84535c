#!/usr/bin/env bash
# The force-control recorder's long check against a running host: vorel-sim
# holds 10 N on the floor for the whole check (its device's force-control
# thread appends one record every 2 ms), while two other processes read the
# ring: a reader polling at 1 kHz that checks every record's sequence number,
# cycle, controller time and clock in order (comm_recorder_peer read ... any),
# and `vorel-monitor --follow` writing every record to CSV. Passes when
# neither lost a record nor saw a torn one, and vorel-sim passed.
#
#   scripts/recorder-soak.sh [SECONDS]     default 60
#
# Builds what it needs in build/. As root, where the machine allows it, it
# runs with a private /dev/shm.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/private_shm.sh
private_shm "$0" "$@"

seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]* | 0) echo "usage: scripts/recorder-soak.sh [SECONDS]" >&2; exit 2 ;;
esac
records=$((seconds * 500))

cmake -S . -B build >/dev/null
cmake --build build -j2 --target comm_recorder_peer vorel-monitor vorel-sim vorel_device >/dev/null
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The hold of programs/hold.prog, long enough for the readers (and the 2 s
# they need to start).
cat >"$work/soak.prog" <<EOF
tareSensor
addFilter smooth lowpass 0 0 20 0 0
setEnabledAxes false false true false false false
setForceTrackValue 0 0 -10
activateForceControl true false
wait $((seconds + 4))
deactivateForceControl
wait 0.5
EOF

echo "recorder soak: ${seconds} s, ${records} records of a running vorel-sim, reader at 1 kHz and vorel-monitor --follow"
(cd "$work" && exec "$OLDPWD/build/bin/vorel-sim" --program soak.prog >sim.out 2>&1) &
sim_pid=$!
# The reader waits for the ring (up to 10 s); the monitor starts once it is there.
build/bin/comm_recorder_peer read "$records" any >"$work/reader.out" &
reader_pid=$!
for _ in $(seq 300); do
  grep -q '^attached' "$work/reader.out" && break
  sleep 0.05
done
grep -q '^attached' "$work/reader.out" || { echo "recorder soak: no recorder appeared"; exit 1; }
build/bin/vorel-monitor --follow "$work/follow.csv" 2>"$work/monitor.err" &
monitor=$!
wait "$reader_pid" || true
reader=$(grep '^read ' "$work/reader.out" || true)
# The monitor follows to the end of the run.
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""
kill -INT "$monitor"
wait "$monitor" || true

echo "reader:   ${reader:-no result}"
monitor_line=$(grep 'records written' "$work/monitor.err" || true)
echo "monitor:  ${monitor_line#vorel-monitor: }"
# The monitor's rows: consecutive cycles (column 29) from its first to its last.
gaps=$(awk -F, 'NR == 2 { c = $29; next } NR > 2 { if ($29 != c + 1) g++; c = $29 } END { print g + 0 }' \
  "$work/follow.csv")
rows=$(($(wc -l <"$work/follow.csv") - 1))
echo "monitor:  ${rows} rows, ${gaps} gaps in the cycle column"
echo "vorel-sim: $(grep '^result:' "$work/sim.out" || echo 'no result') (exit status $sim_status)"

pass=yes
[[ "$reader" =~ ^read\ ${records}\ .*\ lost\ 0\ inconsistent\ 0$ ]] || pass=no
[[ "$monitor_line" == *", 0 lost" ]] || pass=no
[[ "$gaps" == 0 && "$rows" -ge "$records" ]] || pass=no
[[ "$sim_status" == 0 ]] || pass=no
if [[ $pass == yes ]]; then
  echo "result: PASS (every record in order, none lost, none torn)"
else
  echo "result: FAIL"
  exit 1
fi
