#!/usr/bin/env bash
# The force-control recorder's long check: a writer appends one record every
# 2 ms (comm_recorder_peer write, the stand-in for the force-control thread),
# while two other processes read the ring: a reader polling at 1 kHz that
# checks every record's sequence number and contents in order
# (comm_recorder_peer read), and `vorel-monitor --follow` writing every record
# to CSV. Passes when neither lost a record nor saw a torn one.
#
#   scripts/recorder-soak.sh [SECONDS]     default 60
#
# Builds what it needs in build/. As root, where the machine allows it, it
# runs with a private /dev/shm.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $EUID -eq 0 && -z "${VOREL_PRIVATE_SHM:-}" ]] &&
  unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm' 2>/dev/null; then
  exec unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm && VOREL_PRIVATE_SHM=1 exec "$0" "$@"' \
    "$0" "$@"
fi

seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]* | 0) echo "usage: scripts/recorder-soak.sh [SECONDS]" >&2; exit 2 ;;
esac
records=$((seconds * 500))

cmake -S . -B build >/dev/null
cmake --build build -j2 --target comm_recorder_peer vorel-monitor >/dev/null
peer=build/bin/comm_recorder_peer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "recorder soak: ${seconds} s, ${records} records at 2 ms, reader at 1 kHz and vorel-monitor --follow"
# The writer runs 2 s longer than the readers need.
coproc WRITER { "$peer" write $((seconds + 2)); }
read -r created <&"${WRITER[0]}"
[[ "$created" == created ]] || { echo "recorder soak: the writer did not start"; exit 1; }
build/bin/vorel-monitor --follow "$work/follow.csv" 2>"$work/monitor.err" &
monitor=$!
"$peer" read "$records" >"$work/reader.out"
kill -INT "$monitor"
wait "$monitor" || true
wait "$WRITER_PID" || true

reader=$(grep '^read ' "$work/reader.out" || true)
echo "reader:  ${reader:-no result}"
monitor_line=$(grep 'records written' "$work/monitor.err" || true)
echo "monitor: ${monitor_line#vorel-monitor: }"
# The monitor's rows: consecutive cycles (column 29) from its first to its last.
gaps=$(awk -F, 'NR == 2 { c = $29; next } NR > 2 { if ($29 != c + 1) g++; c = $29 } END { print g + 0 }' \
  "$work/follow.csv")
rows=$(($(wc -l <"$work/follow.csv") - 1))
echo "monitor: ${rows} rows, ${gaps} gaps in the cycle column"

pass=yes
[[ "$reader" =~ ^read\ ${records}\ .*\ lost\ 0\ inconsistent\ 0$ ]] || pass=no
[[ "$monitor_line" == *", 0 lost" ]] || pass=no
[[ "$gaps" == 0 && "$rows" -ge "$records" ]] || pass=no
if [[ $pass == yes ]]; then
  echo "result: PASS (every record in order, none lost, none torn)"
else
  echo "result: FAIL"
  exit 1
fi
