#!/usr/bin/env bash
# vorel-monitor's live view in a real terminal beside a running host: vorel-sim
# presses 10 N onto the floor and holds it (the hold of programs/hold.prog,
# 30 s long) while vorel-monitor runs in a detached tmux session (100 x 32);
# the screen is captured twice half a second apart and checked: the fields
# are shown and the screen updates. Prints the second capture.
#
#   scripts/monitor-tmux.sh        needs tmux
#
# As root, where the machine allows it, it runs with a private /dev/shm (and
# a tmux server of its own).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/private_shm.sh
private_shm "$0" "$@"
command -v tmux >/dev/null || { echo "monitor-tmux: tmux is not installed (apt-get install tmux)"; exit 1; }

cmake -S . -B build >/dev/null
cmake --build build -j2 --target vorel-monitor vorel-sim vorel_device >/dev/null
work=$(mktemp -d)
socket="$work/tmux.socket"
sim_pid=""
cleanup() {
  tmux -S "$socket" kill-server 2>/dev/null || true
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cat >"$work/hold.prog" <<'EOF'
tareSensor
addFilter smooth lowpass 0 0 20 0 0
setEnabledAxes false false true false false false
setForceTrackValue 0 0 -10
activateForceControl true false
wait 30
deactivateForceControl
EOF
(cd "$work" && exec "$OLDPWD/build/bin/vorel-sim" --program hold.prog >sim.out 2>&1) &
sim_pid=$!
# Force control on: the monitor finds an active, advancing ring; then the
# force settles on the floor.
active=no
for _ in $(seq 100); do
  if build/bin/vorel-monitor --once --json 2>/dev/null | grep -q '"state": "active"'; then
    active=yes
    break
  fi
  sleep 0.1
done
[[ $active == yes ]] || { echo "monitor-tmux: vorel-sim's force control did not start"; exit 1; }
sleep 2

tmux -S "$socket" new-session -d -x 100 -y 32 \
  "LANG=C.UTF-8 $PWD/build/bin/vorel-monitor --axes fz,tz --rate 20"
capture() { tmux -S "$socket" capture-pane -p; }
first=""
for _ in $(seq 50); do
  first=$(capture)
  [[ "$first" == *"filtered tz"* ]] && break
  sleep 0.1
done
sleep 0.5
second=$(capture)
echo "$second"

pass=yes
for field in "force control:" "supervisor:" "limits binding:" "health:" "raw (sensor axes)" \
  "compensated (sensor)" "tool (TCP)" "filtered (TCP)" "offset (TCP)" "TCP position (world)" \
  "filtered fz, last 5 s" "filtered tz, last 5 s" "recorder: advancing"; do
  if [[ "$second" != *"$field"* ]]; then
    echo "monitor-tmux: the screen lacks \"$field\""
    pass=no
  fi
done
cycle_of() { sed -n 's/.* cycle \([0-9]*\) .*/\1/p' <<<"$1" | head -1; }
if [[ -z "$(cycle_of "$first")" || "$(cycle_of "$first")" == "$(cycle_of "$second")" ]]; then
  echo "monitor-tmux: the screen did not update (cycle $(cycle_of "$first") then $(cycle_of "$second"))"
  pass=no
fi
tmux -S "$socket" send-keys q
if [[ $pass == yes ]]; then
  echo "result: PASS (cycle $(cycle_of "$first") then $(cycle_of "$second"); every field shown)"
else
  echo "result: FAIL"
  exit 1
fi
