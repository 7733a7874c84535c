#!/usr/bin/env bash
# Checks the house rules of the product code: (a) each product header opens
# with at most 15 lines of comment (the leading block before the first
# non-comment, non-blank line); (b) each shared constant has one definition:
# pi (M_PI from <cmath>, no literal), the speed-limit and system-filter
# defaults, the sensor-rate table, the hold flags; (c) in device/, only the
# device's own files (its definition vorel_ft_sensor.cc, its Impl
# device_impl.h, its registration registration.cc) include the installed
# device header; (d) the API reference (Doxygen over the device's installed
# headers, warnings as errors) builds: `docs` target in build/, configured
# here if it is not yet. Prints every finding; exit 1 on any.
set -uo pipefail
cd "$(dirname "$0")/.."

folders=(periodic filters comm adaptive device host)
findings=0
finding() {
  echo "check_house: $*"
  findings=$((findings + 1))
}

# (a) header openings
for header in $(find "${folders[@]}" -name '*.h' | sort); do
  lines=$(awk '/^[[:space:]]*$/ || /^[[:space:]]*\/\// {n++; next} {print n + 0; exit}' "$header")
  if [ "${lines:-0}" -gt 15 ]; then
    finding "$header opens with $lines comment lines (at most 15)"
  fi
done

# (b) one definition each. `pattern` must match exactly `want` code lines
# (comments left out) in the product folders.
count_code() {
  grep -rnE --include='*.h' --include='*.cc' "$1" "${folders[@]}" | grep -vE '^[^:]+:[0-9]+:[[:space:]]*//'
}
expect_once() {
  local what=$1 pattern=$2 want=${3:-1} hits
  hits=$(count_code "$pattern")
  local n
  n=$(printf '%s' "$hits" | grep -c . || true)
  if [ "$n" -ne "$want" ]; then
    finding "$what: $n definitions (want $want)"
    printf '%s\n' "$hits" | sed 's/^/  /'
  fi
}
expect_once "pi as a literal or its own constant" '3\.14159|6\.28318|\bk(Two)?Pi\b|acos\(-1' 0
expect_once "speed-limit default, translation (0.25 m/s)" 'kDefaultTranslation = ' 1
expect_once "speed-limit default, rotation (45 deg/s)" '45\.0 \* M_PI' 1
expect_once "system-filter defaults (50, 50, -50)" 'kDefault(Cutoff|RisingRate|FallingRate) = ' 3
expect_once "system filter built from literals" '(50\.0, *50\.0, *-50\.0)' 0
expect_once "sensor-rate table (500/250/100 Hz)" '>= (500|250)\.0' 0
expect_once "sensor-rate table rows" '^[[:space:]]*\{(500|250|100)\.0, "Set filter' 3
expect_once "hold flags as bare numbers" 'flag\([34]\)' 0
expect_once "liveness figure (50 ms) written out" '50.?000.?000' 1

# (c) the installed device header
for file in $(grep -lE '#include[[:space:]]+"device/vorel_ft_sensor\.h"' device/* 2>/dev/null); do
  case "$(basename "$file")" in
  vorel_ft_sensor.cc | device_impl.h | registration.cc) ;;
  *) finding "$file includes the installed device header device/vorel_ft_sensor.h" ;;
  esac
done

# (d) the API reference
if ! command -v doxygen >/dev/null 2>&1; then
  finding "doxygen is missing (scripts/deps.sh installs it)"
elif ! cmake -S . -B build >/dev/null || ! docs_log=$(cmake --build build --target docs 2>&1); then
  finding "the API reference does not build without warnings:"
  printf '%s\n' "${docs_log:-}" | grep -E 'warning|error' | sed 's/^/  /'
fi

if [ "$findings" -ne 0 ]; then
  echo "check_house: $findings finding(s)"
  exit 1
fi
echo "check_house: clean"
