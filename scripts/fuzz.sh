#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, coverage on every library) and runs them.
#
#   scripts/fuzz.sh TARGET SECONDS     one target for SECONDS seconds
#   scripts/fuzz.sh all SECONDS        every target, SECONDS seconds each
#
# Targets (fuzz/fuzz_<target>.cc):
#   sensor_sync     the frame synchroniser fed arbitrary byte streams
#   filter_chain    filter-chain requests from arbitrary FilterOptions bytes
#   device_config   the XML device configuration and its argument reader
#
# Each run works on a fresh copy of the seed corpus fuzz/corpus/<target>/ in
# the build tree, so the repository is never modified; inputs that crash or
# break an invariant are written to <tree>/fuzz-artifacts/. To keep new
# inputs the fuzzer found, merge them by hand:
#   build-fuzz/bin/fuzz_<target> -merge=1 fuzz/corpus/<target> build-fuzz/fuzz-run/<target>
#
# Build tree: build-fuzz/ (FUZZ_BUILD_DIR overrides it). Exit status 0 when
# every target ran its time without a finding, 1 otherwise, 2 for bad usage.
#
# The targets create the named shared segment of the device; where the
# machine allows it (unshare), they run with a private /dev/shm so that they
# cannot disturb a device or test running at the same time.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(sensor_sync filter_chain device_config)

usage() {
  echo "usage: scripts/fuzz.sh TARGET SECONDS   (TARGET: ${targets[*]} or all)" >&2
  exit 2
}

[ $# -eq 2 ] || usage
target="$1"
seconds="$2"
case "$seconds" in
  '' | *[!0-9]*) usage ;;
esac
if [ "$target" = all ]; then
  selected=("${targets[@]}")
else
  selected=()
  for t in "${targets[@]}"; do
    [ "$t" = "$target" ] && selected=("$t")
  done
  [ ${#selected[@]} -eq 1 ] || usage
fi

scripts/deps.sh
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found (scripts/deps.sh installs it)" >&2
  exit 1
fi

tree="${FUZZ_BUILD_DIR:-build-fuzz}"
cmake -S . -B "$tree" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVOREL_SANITIZE=address \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DVOREL_BUILD_FUZZ=ON -DVOREL_BUILD_TESTS=OFF -DVOREL_BUILD_BENCH=OFF >/dev/null
build_targets=()
for t in "${selected[@]}"; do
  build_targets+=("fuzz_$t")
done
cmake --build "$tree" --target "${build_targets[@]}" -j "$(nproc)"

# Runs a command with a private /dev/shm when user and mount namespaces are
# available, else as it is.
if unshare --mount --map-root-user sh -c 'mount -t tmpfs tmpfs /dev/shm' 2>/dev/null; then
  isolated() { unshare --mount --map-root-user sh -c 'mount -t tmpfs tmpfs /dev/shm && exec "$@"' sh "$@"; }
else
  echo "fuzz: no private /dev/shm here; the targets use the machine's" >&2
  isolated() { "$@"; }
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
for t in "${selected[@]}"; do
  run_dir="$tree/fuzz-run/$t"
  artifacts="$tree/fuzz-artifacts"
  rm -rf "$run_dir"
  mkdir -p "$run_dir" "$artifacts"
  cp fuzz/corpus/"$t"/* "$run_dir"/
  echo "== fuzz $t for ${seconds} s (corpus: $(find "$run_dir" -type f | wc -l) seed inputs)"
  # Standard output of the targets (the filters' diagnostics) is closed;
  # libFuzzer and the sanitizers report on standard error.
  if isolated "$tree/bin/fuzz_$t" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$run_dir" \
      >"$tree/fuzz-run/$t.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$tree/fuzz-run/$t.log")
    echo "   ok: ${runs:-?} inputs, corpus now $(find "$run_dir" -type f | wc -l) inputs"
  else
    echo "   FAILED: see $tree/fuzz-run/$t.log; the input is in $artifacts/"
    grep -E 'invariant violated|ERROR: |SUMMARY: ' "$tree/fuzz-run/$t.log" | head -5 | sed 's/^/   /'
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings"
