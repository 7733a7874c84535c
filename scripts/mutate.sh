#!/usr/bin/env bash
# Mutation check of the test suite: applies one-line faults to the product
# code, one at a time, rebuilds, runs the suite and reports whether a test
# failed (killed) or every test still passed (survived).
#
#   scripts/mutate.sh            every mutant, then the kill rate
#   scripts/mutate.sh --list     the mutants, numbered
#   scripts/mutate.sh 3 7        only mutants 3 and 7
#
# Builds in build-mutate/ (RelWithDebInfo, no benchmarks). The quick tests run
# first and stop at the first failure; only a mutant that survives them meets
# the slow end-to-end runs. The source file is restored after every mutant,
# also when the script is interrupted. As root, the tests run in a private
# /dev/shm so that a parallel run elsewhere cannot disturb the shared segment.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $EUID -eq 0 && -z "${VOREL_PRIVATE_SHM:-}" && "${1:-}" != "--list" ]]; then
  exec unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm && VOREL_PRIVATE_SHM=1 exec "$0" "$@"' \
    "$0" "$@"
fi

# file | original text | mutated text | what the fault is | why it may survive
# (Texts are Python string literals without quotes: \n is a line break.)
MUTANTS=$(cat <<'EOF'
comm/sensor_protocol.cc|crc ^= 0x8408;|crc ^= 0x8005;|CRC: unreflected polynomial|
comm/sensor_protocol.cc|reflectedCrc16(data, len) ^ 0xFFFF)|reflectedCrc16(data, len))|CRC-16/X-25 without the final complement|
comm/frame_synchroniser.cc|if (cursor_ + kFrame > held_)|if (cursor_ + kFrame - 1 > held_)|synchroniser checks a window one byte short|
comm/frame_synchroniser.cc|return valid ? accept(candidate) : kOutOfSync;|return accept(candidate);|synchronisation found on the header alone|
comm/frame_synchroniser.cc|scan_ = cursor_ + 1;|scan_ = cursor_ + kFrame;|no search for a shifted frame after a wrong CRC|
comm/frame_synchroniser.cc|synced = false;\n      ++counts_.sync_losses;|synced = false;\n      cursor_ += kFrame;\n      ++counts_.sync_losses;|search for the frame start begins after the failed window|
comm/reader_diagnostics.cc|if (!flags_.open) {|if (true) {|a reader line for every flagged frame|
comm/sensor_reader.cc|if (frequency >= setting.rate)|if (frequency > setting.rate)|500 Hz selects the 250 Hz sensor filter|
comm/shared_segment.cc|if (e.get_native_error() != EINTR)|if (e.get_native_error() != EAGAIN)|a signal ends the wait on the named mutex|
comm/command_facade.cc|ss::Lock lock(*segment_mutex);\n    fn();|fn();|facade operation without the named mutex|
comm/command_facade.cc|wrench_offset[i] += bias[i];|wrench_offset[i] = bias[i];|force bias replaced instead of accumulated|
periodic/periodic_thread.cc|if (realtime)\n      sleepUntilMinCycle(cycle_start);|(void)cycle_start;|real-time thread may spin without a minimum cycle|
filters/low_pass_filter.cc|a0 = w / (w + 1.0);|a0 = w / (w + 2.0);|low-pass coefficient|
filters/notch_filter.cc|b2 = -(r * r);|b2 = (r * r);|notch feedback sign|
filters/notch_filter.cc|x2[axis] = x1[axis];\n  x1[axis] = sample;|x1[axis] = sample;\n  x2[axis] = x1[axis];|notch history shifted in the wrong order|
filters/rate_limiter.cc|const double raised = (sample < lower) ? lower : sample;|const double raised = (sample < lower) ? sample : sample;|rate limiter ignores the falling rate|
adaptive/control_law.cc|track_reference[i] * (1.0 - track_smoothing) + track_wrench[i] * track_smoothing;|track_reference[i] * track_smoothing + track_wrench[i] * (1.0 - track_smoothing);|set-point smoothing weights swapped|
adaptive/control_law.cc|rate[i] = deadband(filtered[i] - track_reference[i], band) * k * axes[i];|rate[i] = deadband(track_reference[i] - filtered[i], band) * k * axes[i];|translational control law sign|
adaptive/control_law.cc|rate[i] = deadband(filtered[3 + i] - track_reference[3 + i], band) * k * axes[3 + i];|rate[i] = deadband(filtered[3 + i] - track_reference[3 + i], band) * k * axes[i];|rotation uses the translational axis selection|
adaptive/control_law.cc|const hx4rc_api::Vector next = offset + kCycleTime * rate;|const hx4rc_api::Vector next = offset + 0.001 * rate;|integration with the wrong cycle time|
adaptive/offset_shaping.cc|step.envelope_limited = limitLength(target, envelope);|step.envelope_limited = limitLength(target, 2.0 * envelope);|envelope clamps at twice the limit|
adaptive/offset_shaping.cc|step.speed_limited = limitLength(delta, limits.speed * kCycleTime);|step.speed_limited = limitLength(delta, 2.0 * limits.speed * kCycleTime);|offset speed limit at twice its value|
adaptive/offset_shaping.cc|const bool limited = limitLength(change, speed_step);|const bool limited = limitLength(change, 1e9 * speed_step);|returns without the acceleration limit|
adaptive/wrench_processing.cc|const hx4rc_api::Vector weight_world(0.0, 0.0, -kGravity * mass);|const hx4rc_api::Vector weight_world(0.0, 0.0, kGravity * mass);|gravity points up|
adaptive/wrench_processing.cc|const hx4rc_api::Vector g = flange_rotation.Inverse() * weight_world;|const hx4rc_api::Vector g = flange_rotation * weight_world;|weight rotated into the wrong frame|
adaptive/wrench_processing.cc|const hx4rc_api::Vector weight = to_sensor * g;|const hx4rc_api::Vector weight = g;|weight not turned into the sensor's axes (mounting rotation ignored)|
adaptive/wrench_processing.cc|to_sensor * (cog - sensor.position);|to_sensor * cog;|centre of gravity counted from the sensor's origin (origin shift ignored)|
adaptive/wrench_processing.cc|m * torquePart(compensated) + cross(r, force);|m * torquePart(compensated) - cross(r, force);|TCP lever-arm torque sign|
adaptive/force_control_step.cc|unbiased[i] -= commands_.wrench_offset[i];|unbiased[i] += commands_.wrench_offset[i];|bias added instead of removed|
adaptive/force_control_step.cc|if (frame.header != RxFrame::kHeader \|\| frame.status != 0)|if (frame.header != RxFrame::kHeader)|a flagged frame counts as usable|
adaptive/force_control_step.cc|const double limit_s = std::max(10.0 / sampling_rate, kMinStaleTime);|const double limit_s = std::min(10.0 / sampling_rate, kMinStaleTime);|stale limit below its 50 ms floor|
adaptive/force_control_step.cc|if (was_active_)\n      stepReturn(out);|if (was_active_) {\n      resetToIdle();\n      command(out);\n    }|the end of force control is a jump to zero|
adaptive/force_control_drive.cc|if (abandoned.load())\n      return false;|(void)0;|the fall-back is not final: the worker sends its old offset again|
adaptive/force_control_thread.cc|heartbeat::publish(*objects.force_control_heartbeat, b);|(void)b;|no heartbeat|
comm/force_control_heartbeat.cc|now_ns - beat.monotonic_ns < kNotRunningAfterNs;|now_ns - beat.monotonic_ns < 1000 * kNotRunningAfterNs;|a dead force-control thread counts as running for 50 s|
device/guarded_approach.cc|if (!liveness_->running(facade->heartbeat())) {|if (false && !liveness_->running(facade->heartbeat())) {|moveToContact goes on when force control stops during the approach|
filters/filter_stability.cc|return checkCutoff(options.cutoff_frequency, step_rate);\n    case kNotchFilter:|return std::string();\n    case kNotchFilter:|a low-pass cut-off beyond 250 Hz reaches the filter, which ends the process|
adaptive/force_control_step.cc|if (commands_.enabled_system_filters != 0)|if (commands_.enabled_system_filters == 0)|system filter applied when disabled|
adaptive/filter_chain.cc|order_[count_++] = index;|std::memmove(order_ + 1, order_, count_++);  order_[0] = index;|filters applied in reverse order of adding|
adaptive/filter_chain.cc|if (!replacing && count_ == kCapacity)|if (count_ == kCapacity)|a full chain refuses to replace a filter it holds|
adaptive/filter_chain.cc|if (options.type < kLowPassFilter \|\| options.type > kHighPassRateLimiter)|if (options.type < kLowPassFilter)|a type code above 4 builds a high-pass rate limiter|
adaptive/filter_chain.cc|emplace<NotchFilter>(options, sampling_rate, false)|emplace<NotchFilter>(options, sampling_rate, true)|a notch at 0 Hz added by the force-control cycle prints from the cycle|
adaptive/tool_load_fit.cc|if (!determined(all)) {|if (false) {|ill-conditioned tool-load fit accepted|
adaptive/tool_load_fit.cc|f.cog[2]) + sensor.position;|f.cog[2]);|identified centre of gravity reported from the sensor's origin|
adaptive/tool_load_fit.cc|force / std::max(kOutlierRatio * others_force, kOutlierForce);|force / std::max(kOutlierRatio * others_force, 20.0);|leave-one-out rule blind to a 10 N disturbance|
device/program_functions.cc|if (type < kLowPassFilter \|\| type > kHighPassRateLimiter) {|if (type < kLowPassFilter \|\| type > kRateLimiter) {|filter type 4 refused|
device/guarded_approach.cc|const bool contact = force_norm_ > threshold;|const bool contact = force_norm_ > 2.0 * threshold;|contact found at twice the threshold|
device/guarded_approach.cc|if (travelled + last_step > max_distance / kMillimetresPerMetre)|if (travelled + last_step > max_distance)|travel limit read in metres|
device/workers.cc|  endForceControlHere(operation);\n  // The black box stops|  (void)operation;\n  // The black box stops|deactivation stops force control without the return: the last offset stays on the drive|
comm/force_control_recorder.h|slot.sequence.store(2 * index + 2, std::memory_order_release);|slot.sequence.store(2 * index + 1, std::memory_order_release);|recorder leaves every record marked as being written|
comm/force_control_recorder.h|if (slot.sequence.load(std::memory_order_relaxed) != before)|if (false)|recorder reader misses a record overwritten while read|
comm/force_control_recorder.cc|if (inode != 0 && device == device_ && inode == inode_)|if (inode != 0)|an old recorder's writer removes the newer ring's name|
device/black_box.cc|p.trigger > before_records_ ? p.trigger - before_records_ : 0;|p.trigger > before_records_ ? p.trigger - before_records_ + 1 : 0;|black-box file one cycle short before the event|
device/black_box.cc|    error_reported_ = true;\n    return;|    return;|black box repeats its ERROR line for every failed file|
device/black_box.cc|for (std::size_t i = 0; i + keep < files.size(); ++i)|for (std::size_t i = 0; i + keep + 1 < files.size(); ++i)|black box keeps one file too many|
adaptive/force_limit.cc|    reference[first + i] -= lift * u[i];|    reference[first + i] += lift * u[i];|force limit: the law's target moved into the force, not out of it|
adaptive/force_limit.cc|    if ((wanted[i] - current[i]) * direction[i] < 0.0)|    if ((wanted[i] - current[i]) * direction[i] > 0.0)|force limit: steps out of the force dropped, steps into it kept|
adaptive/offset_shaping.cc|std::max(0.0, speed - limits.brake * kCycleTime);|std::max(0.0, speed - 0.2 * limits.brake * kCycleTime);|the end of force control brakes at 1 m/s^2 instead of 5|
device/guarded_approach.cc|  if (moved_)\n    stopMotion(last_frame_);|  (void)moved_;|moveToContact returns with its last step still running|
filters/filter_stability.cc|  if (gain >= 0.0 && gain <= kMaxGainValue)|  if (gain <= kMaxGainValue)|negative force-control gains accepted|
filters/filter_stability.cc|  if (value > kMinCutoffFrequency && value <= 0.5 * step_rate)|  if (value >= 0.0 && value <= 0.5 * step_rate)|a low-pass of 0 Hz that freezes the force accepted|
filters/filter_stability.cc|  if (!(rising_rate > 0.0)) {|  if (!(rising_rate >= 0.0)) {|a rate limiter with a rising rate of 0 accepted|
adaptive/force_control_step.cc|  return rotated(w, base_rotation_);|  return rotated(w, base_rotation_.Inverse());|base-frame law: the wrench turned with the transposed rotation|
adaptive/control_law.cc|dt * (rate[i] - k * stiffness * offset[i])|dt * (rate[i] + k * stiffness * offset[i])|compliance: the virtual spring pushes away instead of back|
adaptive/control_law.cc|  return error - std::copysign(band, error);|  return error;|dead band: beyond it the whole error, not its part beyond the band|
apps/vorel-monitor/ring_view.cc|status.advancing = now - status.newest.monotonic_ns <= rec::kLivenessTimeoutNs;|status.advancing = now - status.newest.monotonic_ns >= rec::kLivenessTimeoutNs;|vorel-monitor calls a live ring stopped|
adaptive/force_control_thread.cc|recorder_writer->append(r);|(void)r;|the force-control cycle appends no record|
adaptive/force_control_step.cc|out.record.events \|= Record::kStaleTrip;|(void)0;|no black-box event at the stale trip|
adaptive/force_control_thread.cc|record.events \|= Record::kCycleFailure;|(void)0;|no black-box event when a cycle fails|
adaptive/force_control_thread.cc|(switched_on \|\| step_.state()|(true \|\| step_.state()|a termination with force control off makes a black-box file|
adaptive/force_control_step.cc|out.limits_started = static_cast<std::uint8_t>(bound & ~binding_);|out.limits_started = static_cast<std::uint8_t>(bound);|a black-box event in every cycle a limit binds, not once per episode|
device/workers.cc|adaptive->setRecorder(recorder_writer_);|(void)0;|the device's force-control thread gets no recorder|
device/lifecycle.cc|facade->requestBlackBox(|(void)(|the program's termination asks for no black-box file|
device/health_functions.cc|BlackBoxEvent::kRequest))|BlackBoxEvent::kProgramTerminated))|writeBlackBox asks as a termination does|
apps/vorel-monitor/web_feed.cc|{&r.raw, &r.compensated, &r.tcp_unbiased, &r.filtered, &r.setpoint}|{&r.raw, &r.compensated, &r.tcp_unbiased, &r.tcp_unbiased, &r.setpoint}|the web view plots the tool stage as the filtered wrench|
apps/vorel-monitor/web_feed.cc|if (status.replaced && followReplacement(ring_)) {|if (status.replaced && false) {|the web view stays on the removed ring after a re-activation|
apps/vorel-monitor/web_server.cc|if (method != http::verb::get && method != http::verb::head) {|if (method == http::verb::delete_) {|the web view answers a POST as a GET|
comm/sensor_reader.cc|  if (read_failed) {|  if (true) {|the reader sleeps out its bound instead of waiting on the port for a frame|
adaptive/force_control_thread.cc|  spin();\n  // After the synchronisation: the frame is the newest one published before\n  // this cycle began.\n  takeSnapshot();|  takeSnapshot();\n  spin();|the force-control snapshot is taken before the synchronisation|
comm/force_control_recorder.cc|MAP_SHARED \| MAP_POPULATE|MAP_SHARED|the recorder reader's mapping is not populated: reading faults its pages in|
EOF
)

list_mutants() {
  local i=0
  while IFS= read -r line; do
    [[ -z "$line" ]] && continue
    i=$((i + 1))
    IFS='|' read -r file _ _ what _ <<<"${line//\\|/$'\x1f'}"
    printf '%2d  %-52s %s\n' "$i" "$file" "${what//$'\x1f'/|}"
  done <<<"$MUTANTS"
}

if [[ "${1:-}" == "--list" ]]; then
  list_mutants
  exit 0
fi

# Replaces the one occurrence of `original` in `file` by `mutated`. Exit 3 when
# the text is not there exactly once (the mutant no longer fits the code).
apply_mutant() {
  python3 - "$@" <<'PY'
import sys
path, original, mutated = sys.argv[1], sys.argv[2], sys.argv[3]
def unescape(s):
    return s.replace('\\n', '\n').replace('\\|', '|')
original, mutated = unescape(original), unescape(mutated)
text = open(path).read()
if text.count(original) != 1:
    sys.stderr.write('%s: expected the text once, found it %d times: %r\n'
                     % (path, text.count(original), original))
    sys.exit(3)
open(path, 'w').write(text.replace(original, mutated))
PY
}

tree="$PWD/build-mutate"
slow='^(VorelSim_|FaultRun_|Install_|PlotTrace_|WebView_|DeviceLifecycleTest\.HWReadyActivation_Racing)'
backup=""
restore() {
  if [[ -n "$backup" ]]; then
    cp "$backup" "${backup%.mutate-orig}"
    rm -f "$backup"
    backup=""
  fi
}
trap restore EXIT INT TERM

export ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_BUILD_BENCH=OFF \
  "${launcher[@]}" >/dev/null
jobs=$(nproc)

# A test that fails runs once more: a fault fails it both times, while an
# end-to-end run that a loaded machine upset passes the second time.
suite_passes() {
  local once=(--repeat until-pass:2 --stop-on-failure)
  (cd "$tree" && ctest -j "$jobs" --timeout 60 "${once[@]}" -E "$slow" >"$1" 2>&1) &&
    (cd "$tree" && ctest -j "$jobs" --timeout 120 "${once[@]}" -R "$slow" >>"$1" 2>&1)
}

echo "mutate: building and running the unchanged suite"
cmake --build "$tree" -j "$jobs" >/dev/null
if ! suite_passes "$tree/mutate-baseline.log"; then
  echo "mutate: the unchanged suite fails; see $tree/mutate-baseline.log" >&2
  exit 2
fi

selected=("$@")
killed=0
survived=0
invalid=0
survivors=()
i=0
while IFS= read -r line; do
  [[ -z "$line" ]] && continue
  i=$((i + 1))
  if [[ ${#selected[@]} -gt 0 && ! " ${selected[*]} " =~ " $i " ]]; then
    continue
  fi
  IFS='|' read -r file original mutated what why <<<"${line//\\|/$'\x1f'}"
  original="${original//$'\x1f'/\\|}"
  mutated="${mutated//$'\x1f'/\\|}"
  what="${what//$'\x1f'/|}"
  backup="$file.mutate-orig"
  cp "$file" "$backup"
  start=$SECONDS
  if ! apply_mutant "$file" "$original" "$mutated"; then
    verdict="INVALID (text not found once)"
    invalid=$((invalid + 1))
  elif ! cmake --build "$tree" -j "$jobs" >"$tree/mutate-$i-build.log" 2>&1; then
    verdict="INVALID (does not build)"
    invalid=$((invalid + 1))
  elif suite_passes "$tree/mutate-$i.log"; then
    verdict="SURVIVED${why:+ ($why)}"
    survived=$((survived + 1))
    survivors+=("$i")
  else
    failed=$(grep -m1 -E '^[[:space:]]*[0-9]+ - ' "$tree/mutate-$i.log" | sed 's/^[[:space:]]*[0-9]* - //' || true)
    verdict="killed${failed:+ by $failed}"
    killed=$((killed + 1))
  fi
  restore
  printf '%2d  %-44s %-50s %4ds  %s\n' "$i" "$file" "$what" $((SECONDS - start)) "$verdict"
done <<<"$MUTANTS"

# Leave the tree built from the unchanged sources.
cmake --build "$tree" -j "$jobs" >/dev/null
total=$((killed + survived))
if [[ $total -gt 0 ]]; then
  awk -v k="$killed" -v t="$total" -v inv="$invalid" -v s="${survivors[*]:-none}" \
    'BEGIN { printf "mutate: %d of %d killed (%.1f %%), invalid %d, survivors: %s\n", k, t, 100 * k / t, inv, s }'
fi
