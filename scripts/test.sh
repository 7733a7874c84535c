#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test with CTest.
#   scripts/test.sh                      build/       (RelWithDebInfo)
#   scripts/test.sh --sanitize=address   build-asan/  (AddressSanitizer + UndefinedBehaviorSanitizer)
#   scripts/test.sh --sanitize=thread    build-tsan/  (ThreadSanitizer)
# Further arguments go to ctest (for example -R Filter).
set -euo pipefail
cd "$(dirname "$0")/.."

# The tests create the machine-wide shared segment "VorelFrameSharedMemory"
# and the named mutex "VorelNamedMutex". As root, where the machine allows a
# private mount namespace, they run with a /dev/shm of their own, so that a
# device, a benchmark or a second test run elsewhere on the machine cannot
# disturb them (nor they it).
source scripts/private_shm.sh
private_shm "$0" "$@"

sanitize=""
ctest_args=()
for arg in "$@"; do
  case "$arg" in
    --sanitize=address|--sanitize=thread) sanitize="${arg#--sanitize=}" ;;
    --sanitize=*) echo "test.sh: unknown sanitizer '${arg#--sanitize=}' (address or thread)" >&2; exit 2 ;;
    *) ctest_args+=("$arg") ;;
  esac
done

scripts/deps.sh

case "$sanitize" in
  "") tree=build; extra=() ;;
  address) tree=build-asan; extra=(-DVOREL_SANITIZE=address -DVOREL_BUILD_BENCH=OFF) ;;
  thread) tree=build-tsan; extra=(-DVOREL_SANITIZE=thread -DVOREL_BUILD_BENCH=OFF) ;;
esac

jobs=$(nproc)
cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$tree" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
cd "$tree"
ctest --output-on-failure -j "$jobs" ${ctest_args[@]+"${ctest_args[@]}"}
