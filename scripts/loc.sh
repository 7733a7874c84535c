#!/usr/bin/env bash
# Counts non-blank, non-comment lines (lines that are not only a // comment)
# of the C++ sources, and prints the tests' share of them.
#   code:  host periodic filters comm adaptive device sim apps
#   tests: tests
# Benchmarks (bench/) and fuzzers (fuzz/) are not counted.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  local files
  files=$(find "$@" -type f \( -name '*.cc' -o -name '*.h' \) 2>/dev/null | sort)
  if [[ -z "$files" ]]; then echo 0; return; fi
  # shellcheck disable=SC2086
  cat $files | grep -v '^[[:space:]]*$' | grep -cv '^[[:space:]]*//'
}

total_code=0
for dir in host periodic filters comm adaptive device sim apps; do
  n=$(count "$dir")
  printf '%-10s %6d\n' "$dir" "$n"
  total_code=$((total_code + n))
done
tests=$(count tests)
printf '%-10s %6d\n' "code" "$total_code"
printf '%-10s %6d\n' "tests" "$tests"
awk -v t="$tests" -v c="$total_code" \
  'BEGIN { printf "tests are %.1f %% of the counted lines (%d of %d)\n", 100 * t / (t + c), t, t + c }'
