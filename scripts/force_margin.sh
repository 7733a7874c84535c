#!/usr/bin/env bash
# The force loop's margin: the largest translation gain, in steps of 10, for
# which vorel-sim holds 10 N on its 5000 N/m floor with the filtered force's
# spread (standard deviation of filt_fz over the last second before force
# control goes off) below 0.5 N. The hold is programs/hold.prog with the gain
# changed, started 10 mm above the floor as the hold scenario is; the gains
# are tried from 10 upwards until one fails.
#
#   scripts/force_margin.sh SIM [OUT.json]
#   scripts/force_margin.sh --compare BASE_REV SIM [OUT.json]
#
# SIM is a built vorel-sim. With --compare, the same is measured for commit
# BASE_REV (built by scripts/base_tree.sh) right before, on the same machine.
# Prints one line per build; OUT.json (when given) gets
#   {"spread_limit_n": 0.5, "gain_step": 10,
#    "this": {"largest_stable_gain": 80, "spreads_n": {"10": 0.012, ...}},
#    "base": {"commit": "76adf57", "largest_stable_gain": 40, ...},
#    "ratio": 2.0}
# (a build whose first gain already fails has largest_stable_gain 0).
# MARGIN_MAX_GAIN (default 300) ends the search. As root, every run gets a
# private /dev/shm (scripts/private_shm.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/private_shm.sh
private_shm "$0" "$@"

base_rev=""
if [ "${1:-}" = "--compare" ]; then
  base_rev="${2:?--compare needs a commit}"
  shift 2
fi
sim="${1:?usage: scripts/force_margin.sh [--compare BASE_REV] SIM [OUT.json]}"
out="${2:-}"
max_gain="${MARGIN_MAX_GAIN:-300}"
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One hold at gain $2 with the vorel-sim $1; prints the spread in N, or
# "failed" when the run did not give one.
spread_at() {
  local prog="$work/hold-$2.prog"
  {
    echo "moveTo 0.4 0 0.01 3.14159 0 0          # 10 mm above the floor"
    sed "s/^setForceControlGains [^ ]*/setForceControlGains $2/" programs/hold.prog
  } >"$prog"
  if ! "$1" --program "$prog" --trace "$work/trace.csv" --blackbox "$work/blackbox" \
      >"$work/run.txt" 2>&1; then
    echo failed
    return
  fi
  "$python" - "$work/run.txt" "$work/trace.csv" <<'PY'
import csv, math, re, sys
off = None
for line in open(sys.argv[1]):
    m = re.match(r"\[program\] t=([0-9.]+) s line \d+: deactivateForceControl", line)
    if m:
        off = float(m.group(1))
if off is None:
    print("failed")
    sys.exit()
values = [float(r["filt_fz"]) for r in csv.DictReader(open(sys.argv[2]))
          if off - 1.0 <= float(r["time_s"]) < off]
if len(values) < 2:
    print("failed")
    sys.exit()
mean = sum(values) / len(values)
print("%.4f" % math.sqrt(sum((v - mean) ** 2 for v in values) / len(values)))
PY
}

# The margin of vorel-sim $1, as JSON fields, into $2.
margin_of() {
  local largest=0 spreads="" gain=10 s
  while [ "$gain" -le "$max_gain" ]; do
    s=$(spread_at "$1" "$gain")
    spreads+="${spreads:+, }\"$gain\": $([ "$s" = failed ] && echo null || echo "$s")"
    if [ "$s" = failed ] || ! "$python" -c "import sys; sys.exit(0 if $s < 0.5 else 1)"; then
      break
    fi
    largest=$gain
    gain=$((gain + 10))
  done
  echo "\"largest_stable_gain\": $largest, \"spreads_n\": {$spreads}" >"$2"
  echo "$largest"
}

base_json=""
if [ -n "$base_rev" ]; then
  base_sim=$(scripts/base_tree.sh "$base_rev")
  base_gain=$(margin_of "$base_sim" "$work/base.json")
  echo "force-loop margin, $base_rev: largest stable translation gain $base_gain"
  base_json=", \"base\": {\"commit\": \"$base_rev\", $(cat "$work/base.json")}"
fi
this_gain=$(margin_of "$sim" "$work/this.json")
echo "force-loop margin, this tree: largest stable translation gain $this_gain"
ratio=""
if [ -n "$base_rev" ]; then
  ratio=$("$python" -c "print(', \"ratio\": %s' % (round($this_gain / $base_gain, 3) if $base_gain else 'null'))")
fi
if [ -n "$out" ]; then
  echo "{\"spread_limit_n\": 0.5, \"gain_step\": 10, \"this\": {$(cat "$work/this.json")}$base_json$ratio}" \
    | "$python" -m json.tool >"$out"
fi
