#!/usr/bin/env bash
# Installs what is missing, builds the plug-in and the host simulator, and
# runs vorel-sim on its default scenario: tare, then move to contact onto the
# simulated floor and back off, against the built-in sensor emulator. It ends
# with the scenario's summary table; the exit status is vorel-sim's (0 when
# the scenario's criteria hold).
#
#   scripts/demo.sh                       the contact scenario
#   scripts/demo.sh --scenario hold       any vorel-sim option (see --help)
#
# The trace of every controller cycle goes to build/vorel-sim-<scenario>.csv;
# /usr/bin/python3 scripts/plot-trace.py turns it into a PNG.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target vorel-sim

scenario=contact
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
  case "${args[$i]}" in
    --scenario) scenario="${args[$((i + 1))]:-contact}" ;;
    --scenario=*) scenario="${args[$i]#--scenario=}" ;;
  esac
done
trace=()
case " $* " in
  *" --trace "* | *" --trace="* | *" --program "* | *" --program="*) ;;
  *) trace=(--trace "build/vorel-sim-${scenario}.csv") ;;
esac

exec build/bin/vorel-sim ${trace[@]+"${trace[@]}"} "$@"
