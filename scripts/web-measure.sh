#!/usr/bin/env bash
# Does vorel-monitor --http slow the device? Two runs of
# `vorel-sim --measure --duration SECONDS`: one alone, one with
# vorel-monitor --http serving CLIENTS WebSocket clients (bench/web/clients.mjs,
# on loopback) from the moment the device's recorder exists to the run's end.
# Prints, for both: missed controller cycles, the device workers' CPU, the
# step-to-drive p99, the simulated clock's late wakes and the load average;
# for the second also the monitor's and the clients' CPU and what the clients
# received. Figures in build/bench/web/{alone,clients}.json.
#   scripts/web-measure.sh [SECONDS [CLIENTS]]     (default 30 s, 50 clients)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/private_shm.sh
private_shm "$0" "$@"

seconds=${1:-30}
clients=${2:-50}
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target vorel-sim vorel-monitor vorel_device >/dev/null
out=$PWD/build/bench/web
mkdir -p "$out"
ring=/dev/shm/VorelForceControlRecorder
tck=$(getconf CLK_TCK)
cpu_s() { awk -v t="$tck" '{printf "%.3f", ($14 + $15) / t}' "/proc/$1/stat"; }
now_s() { date +%s.%N; }

run() {
  local name=$1 with_clients=$2
  rm -f "$out/$name.json"
  (cd "$out" && exec "$OLDPWD/build/bin/vorel-sim" --measure "$name.json" --duration "$seconds" \
    >"$out/$name.log" 2>&1) &
  local sim=$!
  local monitor="" swarm="" t0 m0 c0
  if [[ $with_clients == yes ]]; then
    for _ in $(seq 200); do [[ -e $ring ]] && break; sleep 0.05; done
    for _ in $(seq 100); do
      build/bin/vorel-monitor --http 127.0.0.1:0 2>"$out/monitor.err" &
      monitor=$!
      for _ in $(seq 40); do grep -q serving "$out/monitor.err" && break; sleep 0.05; done
      grep -q serving "$out/monitor.err" && break
      wait "$monitor" || true
      monitor=""
    done
    [[ -n $monitor ]] || { echo "web-measure: the monitor did not start" >&2; exit 1; }
    port=$(sed -n 's#.*http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$out/monitor.err")
    node --experimental-websocket bench/web/clients.mjs "ws://127.0.0.1:$port/ws" "$clients" \
      >"$out/clients.out" &
    swarm=$!
    t0=$(now_s)
    m0=$(cpu_s "$monitor")
    c0=$(cpu_s "$swarm")
  fi
  wait "$sim"
  if [[ -n $swarm ]]; then
    local t1 m1 c1
    t1=$(now_s)
    m1=$(cpu_s "$monitor")
    c1=$(cpu_s "$swarm")
    kill -TERM "$swarm"
    wait "$swarm" || true
    kill -INT "$monitor"
    wait "$monitor" || true
    python3 - "$t0" "$t1" "$m0" "$m1" "$c0" "$c1" "$out/clients.out" <<'PY'
import json, sys
t0, t1, m0, m1, c0, c1 = map(float, sys.argv[1:7])
c = json.loads(open(sys.argv[7]).read())
wall = t1 - t0
print(f"  over {wall:.1f} s: vorel-monitor --http {100 * (m1 - m0) / wall:.1f} % of a core, "
      f"the {c['clients']} clients (one node process) {100 * (c1 - c0) / wall:.1f} %; "
      f"{c['connected']} connected, {c['open_at_end']} open at the end, "
      f"{c['messages']} messages, {c['rows']} rows ({c['rows'] / max(1, c['connected']) / wall:.0f} rows/s "
      f"and {c['bytes'] / max(1, c['connected']) / wall / 1000:.0f} kB/s each)")
PY
  fi
}

echo "web-measure: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg) before the runs"
for name in alone clients; do
  echo "$name:"
  run "$name" "$([[ $name == clients ]] && echo yes || echo no)"
  python3 - "$out/$name.json" <<'PY'
import json, sys
f = json.load(open(sys.argv[1]))
print(f"  missed cycles {f['missed_cycles']} of {f['controller_cycles']}, "
      f"worker CPU {f['worker_cpu_percent_of_core']} % of a core, "
      f"step-to-drive p99 {f['step_to_drive_latency_ms']['p99']} ms, "
      f"clock late wakes {f['controller_late_wakes']}, overruns {f['controller_overruns']}, "
      f"load average {f['load_average_1min']}, {f['force_control_scheduling']}")
PY
done
