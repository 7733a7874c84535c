#!/usr/bin/env bash
# Checks the source of the two real-time cycles (the force-control thread's
# and the sensor reader's) for calls that can block or allocate: printf and
# its kin, fflush, fwrite, puts, the iostreams, Console::write, std::string
# and std::to_string, new, make_shared / make_unique; and lookups of shared
# objects by name (find<...>, findObjects), which take the segment manager's
# lock: the objects are found once, when the segment is created or opened.
#
# Scope: the function bodies (and namespace-level helpers) of the files
# below, minus the functions that run on the owner's thread (constructors,
# destructors, the start line before the first cycle, the lifecycle ends, the
# sensor's configuration, the queue's drainer, the filter chain's inspection).
# The filter chain's changes (add, remove, their lines) are inside it: a cycle
# takes them. Headers are outside it; the cycle-path test
# (tests/adaptive/cycle_path_test.cc) covers what is called at run time.
# Exit status 0 when nothing is found, 1 otherwise (each finding printed as
# file:line: function: text).
set -euo pipefail
cd "$(dirname "$0")/.."

w='[^A-Za-z_0-9]'  # a character that is not part of a name
forbidden="(^|$w)(printf|fprintf|puts|fputs|fputc|fwrite|fflush)[[:space:]]*[(]|std::(cout|cerr|clog)|Console::write|std::string($w|\$)|std::to_string|(^|$w)new($w|\$)|make_(shared|unique)|find<|findObjects|find_or_construct"

# file  functions-excluded (an extended regex on the qualified name; '^$' none)
checks=(
  "adaptive/force_control_thread.cc ::(AdaptiveThread|~AdaptiveThread|initMethod|afterStop|setRecorder|finishForceControl|endForceControl)$"
  "adaptive/force_control_step.cc ^$"
  "adaptive/force_control_drive.cc ^$"
  "adaptive/control_law.cc ^$"
  "adaptive/filter_chain.cc ::(order|find)$"
  "adaptive/offset_shaping.cc ^$"
  "adaptive/force_limit.cc ^$"
  "adaptive/wrench_processing.cc ^$"
  "comm/sensor_reader.cc ::(VorelForceTorqueSensorComm|~VorelForceTorqueSensorComm|getFTData|configureFilter|waitForAcknowledgement|sendCommand|finishDiagnostics|afterStop|setPort)$"
  "comm/reader_diagnostics.cc ^$"
  "comm/frame_synchroniser.cc ^$"
  "comm/force_control_heartbeat.cc ^$"
  "comm/line_queue.cc ::(LineQueue|~LineQueue|drain|writeReady|reportDrops|flush)$"
)

found=0
for check in "${checks[@]}"; do
  read -r file excluded <<<"$check"
  out=$(awk -v file="$file" -v excluded="$excluded" -v forbidden="$forbidden" '
    # A definition starts at column 0 with a qualified name and "(".
    /^[A-Za-z].*[A-Za-z_0-9]+::~?[A-Za-z_0-9]+\(/ && fn == "" {
      name = $0
      sub(/\(.*/, "", name)
      sub(/.*[ *&]/, "", name)
      fn = name
    }
    {
      text = $0
      skip = (fn != "" && fn ~ excluded)
      if (!skip && text !~ /^[[:space:]]*\/\// && text ~ forbidden)
        printf "%s:%d: %s: %s\n", file, NR, (fn == "" ? "(namespace level)" : fn), text
    }
    /^}/ { fn = "" }
  ' "$file")
  if [ -n "$out" ]; then
    echo "$out"
    found=1
  fi
done
if [ "$found" = 0 ]; then
  echo "check_rt_path: no blocking or allocating call in the real-time cycles"
fi
exit "$found"
