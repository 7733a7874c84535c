#!/usr/bin/env bash
# Builds in Release and measures the figures of the benchmark table:
#
#   1. every Google Benchmark program in bench/ (bench_*), once in full; the
#      raw JSON of each goes to build/bench/raw/;
#   2. the benchmarks the table's figures come from, again with repetitions
#      (the figures are medians over the repetitions; the force-control
#      cycle's percentiles come from its per-cycle samples);
#   3. the end-to-end figures (step-to-drive and frame-to-publication
#      latency, worker CPU, resident memory over a soak) from
#      `vorel-sim --measure`, when the built vorel-sim offers it; otherwise
#      they are marked "not measured";
#   4. the same measurement of a reference commit (BENCH_BASE, default
#      76adf57), built in a worktree of its own by scripts/base_tree.sh, for
#      60 s (BENCH_BASE_SECONDS), right after: its figures stand beside this
#      tree's;
#   5. the force loop's margin (scripts/force_margin.sh): the largest
#      translation gain, in steps of 10, that holds 10 N on the 5000 N/m
#      floor with a spread below 0.5 N, for the reference commit and for
#      this tree, one after the other;
#   6. the same measurement twice more for 60 s (BENCH_LOAD_SECONDS) under
#      `--load 3` (three CPU-bound processes beside the device): once with
#      the force-control thread at SCHED_FIFO 40 and once with normal
#      scheduling (`--priority 0`), side by side: missed controller cycles,
#      step-to-drive p99, frame-to-publication p99;
#
# then writes build/bench/results.json (the machine, then one named figure
# per line) and prints a short table with goal and pass/miss.
#
#   scripts/bench.sh                 full run (10 repetitions, 600 s soak)
#   scripts/bench.sh --quick         3 repetitions, 60 s soak
#   scripts/bench.sh --soak SECONDS  soak duration for the end-to-end run
#
# Build tree build-release/ (BENCH_BUILD_DIR overrides it), results in
# build/bench/ (BENCH_OUT_DIR overrides it). Exit status 0 when every
# program ran (a missed goal is a result, not a failure), 1 otherwise.
#
# The vorel-sim measurement contract: `vorel-sim --help` mentions
# "--measure", and `vorel-sim --measure FILE --duration SECONDS` runs the
# device at 500 Hz with force control on for SECONDS and writes FILE as a
# JSON object with (every key optional, null when not measured):
#   "step_to_drive_latency_ms":        {"median": x, "p99": y, "max": z}
#   "frame_to_publication_latency_ms": {"median": x, "p99": y, "max": z}
#   "worker_cpu_percent_of_core":      the plug-in's worker threads, % of one core
#   "rss_growth_kib":                  resident growth over the run
#   "usable_samples_per_second":       {"min": x, "mean": y}, force control's count
#   "minor_faults_after_first_s":      the device's threads, after the first second
# Without "rss_growth_kib", the resident memory this script samples from
# /proc every 5 s gives the figure (end minus end of warm-up).
#
# Benchmarks and vorel-sim create the device's named shared segment; where
# the machine allows it (unshare), they run with a private /dev/shm so that
# they cannot disturb a device or test running at the same time.
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=10
soak=600
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) repetitions=3; soak=60 ;;
    --soak)
      [ $# -ge 2 ] || { echo "bench.sh: --soak needs a number of seconds" >&2; exit 2; }
      soak="$2"; shift ;;
    *) echo "usage: scripts/bench.sh [--quick] [--soak SECONDS]" >&2; exit 2 ;;
  esac
  shift
done
case "$soak" in
  '' | *[!0-9]*) echo "bench.sh: --soak needs a whole number of seconds" >&2; exit 2 ;;
esac

tree="${BENCH_BUILD_DIR:-build-release}"
out="${BENCH_OUT_DIR:-build/bench}"
python=/usr/bin/python3

scripts/deps.sh

echo "== build ($tree, Release)"
cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release -DVOREL_BUILD_TESTS=ON -DVOREL_BUILD_BENCH=ON \
  >/dev/null
# The benchmark programs, and vorel-sim with the plug-in when the tree has them.
target_list=$(cmake --build "$tree" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p; s/^\([^ :]*\): .*/\1/p')
benchmarks=()
has_sim=no
for t in $target_list; do
  case "$t" in
    bench_*) benchmarks+=("$t") ;;
    vorel-sim) has_sim=yes ;;
  esac
done
if [ ${#benchmarks[@]} -eq 0 ]; then
  echo "bench.sh: no bench_* programs in $tree" >&2
  exit 1
fi
cmake --build "$tree" --target "${benchmarks[@]}" -j "$(nproc)"
# The simulator is optional: without it only the end-to-end figures are missing.
sim_state="vorel-sim is not built"
if [ "$has_sim" = yes ]; then
  if cmake --build "$tree" --target vorel-sim vorel_device -j "$(nproc)"; then
    sim_state=built
  else
    sim_state="vorel-sim did not build"
  fi
fi

rm -rf "$out"
mkdir -p "$out/raw" "$out/figures"
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[^=]*=//p' "$tree/CMakeCache.txt")
echo "$("${compiler:-c++}" --version | head -n 1), Release" >"$out/build.txt"

# A private /dev/shm where mount namespaces are available. As root without a
# user namespace: a new user namespace would take away CAP_SYS_NICE, and with
# it the real-time priority that the measurement under load needs.
if [ "$(id -u)" = 0 ] && unshare --mount sh -c 'mount -t tmpfs tmpfs /dev/shm' 2>/dev/null; then
  isolated() { unshare --mount sh -c 'mount -t tmpfs tmpfs /dev/shm && exec "$@"' sh "$@"; }
elif unshare --mount --map-root-user sh -c 'mount -t tmpfs tmpfs /dev/shm' 2>/dev/null; then
  isolated() { unshare --mount --map-root-user sh -c 'mount -t tmpfs tmpfs /dev/shm && exec "$@"' sh "$@"; }
else
  echo "bench.sh: no private /dev/shm here; the benchmarks use the machine's" >&2
  isolated() { "$@"; }
fi

failed=()
for name in "${benchmarks[@]}"; do
  echo "== $name"
  if ! isolated "$tree/bin/$name" --benchmark_out="$out/raw/$name.json" \
      --benchmark_out_format=json >"$out/raw/$name.txt" 2>&1; then
    echo "   FAILED (see $out/raw/$name.txt)"
    failed+=("$name")
  fi
done

# figure  program  benchmark filter
figure_runs=(
  "cycle bench_cycle_samples ^BM_ForceControlCycle_FourFiltersAndSystemFilter"
  "facade bench_facade ^BM_FacadeTCPReadout_Uncontended$"
  "sync bench_sensor_sync ^BM_SyncFromMemory_(ValidStream|OnePercentByteFaults)$"
)
for run in "${figure_runs[@]}"; do
  read -r figure name filter <<<"$run"
  if [ ! -x "$tree/bin/$name" ]; then
    echo "== $figure: $name is not built; figure not measured"
    continue
  fi
  echo "== $figure: $name $filter, $repetitions repetitions"
  if ! isolated "$tree/bin/$name" --benchmark_filter="$filter" \
      --benchmark_repetitions="$repetitions" --benchmark_out="$out/figures/$figure.json" \
      --benchmark_out_format=json >"$out/figures/$figure.txt" 2>&1; then
    echo "   FAILED (see $out/figures/$figure.txt)"
    failed+=("$name")
  fi
done

# End to end, from vorel-sim --measure.
sim="$tree/bin/vorel-sim"
sim_help=""
if [ "$sim_state" = built ]; then
  sim_help=$("$sim" --help 2>&1 || true)
fi
if [ "$sim_state" != built ]; then
  echo "$sim_state" >"$out/e2e-status.txt"
elif [[ "$sim_help" != *--measure* ]]; then
  echo "vorel-sim has no --measure" >"$out/e2e-status.txt"
else
  echo "== end to end: vorel-sim --measure for $soak s"
  isolated "$sim" --measure "$out/e2e.json" --duration "$soak" >"$out/raw/vorel-sim.txt" 2>&1 &
  pid=$!
  start=$(date +%s)
  : >"$out/rss.tsv"
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$rss" ] && echo "$(($(date +%s) - start)) $rss" >>"$out/rss.tsv"
    sleep 5
  done
  if wait "$pid"; then
    echo measured >"$out/e2e-status.txt"
  else
    status=$?
    echo "vorel-sim --measure ended with status $status (see $out/raw/vorel-sim.txt)" \
      >"$out/e2e-status.txt"
    failed+=(vorel-sim)
  fi
fi

# The reference commit's measurement and both margins, on the same machine.
base_rev="${BENCH_BASE:-76adf57}"
base_seconds="${BENCH_BASE_SECONDS:-60}"
if [ "$sim_state" != built ]; then
  echo "$sim_state" >"$out/e2e-base-status.txt"
elif ! base_sim=$(scripts/base_tree.sh "$base_rev" 2>"$out/raw/base-build.txt"); then
  echo "the reference commit $base_rev did not build (see $out/raw/base-build.txt)" \
    >"$out/e2e-base-status.txt"
  failed+=(base-build)
else
  echo "== end to end, $base_rev: vorel-sim --measure for $base_seconds s"
  echo "$base_rev" >"$out/e2e-base-commit.txt"
  if isolated "$base_sim" --measure "$out/e2e-base.json" --duration "$base_seconds" \
      >"$out/raw/vorel-sim-base.txt" 2>&1; then
    echo measured >"$out/e2e-base-status.txt"
  else
    status=$?
    echo "vorel-sim --measure of $base_rev ended with status $status (see" \
      "$out/raw/vorel-sim-base.txt)" >"$out/e2e-base-status.txt"
    failed+=(vorel-sim-base)
  fi
  echo "== force-loop margin, $base_rev and this tree"
  if ! scripts/force_margin.sh --compare "$base_rev" "$sim" "$out/margin.json" \
      >"$out/raw/margin.txt" 2>&1; then
    echo "   FAILED (see $out/raw/margin.txt)"
    failed+=(force-margin)
  fi
  grep '^force-loop margin' "$out/raw/margin.txt" || true
fi

# Under load, with and without the real-time priority, one after the other.
load_seconds="${BENCH_LOAD_SECONDS:-60}"
for variant in fifo40 normal; do
  if [ "$sim_state" != built ] || [[ "$sim_help" != *--load* ]]; then
    echo "vorel-sim has no --load" >"$out/e2e-load-$variant-status.txt"
    continue
  fi
  priority=40
  [ "$variant" = normal ] && priority=0
  echo "== end to end under --load 3, --priority $priority, for $load_seconds s"
  if isolated "$sim" --measure "$out/e2e-load-$variant.json" --duration "$load_seconds" \
      --load 3 --priority "$priority" >"$out/raw/vorel-sim-load-$variant.txt" 2>&1; then
    echo measured >"$out/e2e-load-$variant-status.txt"
  else
    status=$?
    echo "vorel-sim --measure --load 3 ended with status $status (see" \
      "$out/raw/vorel-sim-load-$variant.txt)" >"$out/e2e-load-$variant-status.txt"
    failed+=(vorel-sim-load-$variant)
  fi
done

echo
"$python" bench/summarize.py "$out"
echo
echo "results: $out/results.json"
if [ ${#failed[@]} -ne 0 ]; then
  echo "bench.sh: failed: ${failed[*]}" >&2
  exit 1
fi
