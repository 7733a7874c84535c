#include "adaptive/adaptive_thread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <utility>

#include "adaptive/control_law.h"
#include "adaptive/wrench_processing.h"
#include "host/console.h"
#include "host/control_resources.h"

namespace vorel_device {

namespace ss = shared_segment;
using hx4rc_api::Model;

namespace {

constexpr LineQueue::Channel kConsole = LineQueue::Channel::kConsole;

// Bit of the controller state (item 0, index 0) that marks when the load
// model may be read.
constexpr std::uint32_t kLoadModelReady = 2;

// Copies the shared object at `shared` into `field` when the segment holds it.
template <class T>
void copyIn(const T* shared, T& field) {
  if (shared)
    field = *shared;
}

}  // namespace

AdaptiveThread::AdaptiveThread(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                               int period_ms, double sampling_rate)
    : PeriodicThread(period_ms),
      command_count(0),
      filtered_wrench(),
      track_wrench(),
      track_reference(),
      wrench_offset(),
      gains(),
      activate_translation(false),
      activate_rotation(false),
      active(false),
      was_active(false),
      tool_load_read(false),
      enabled_axes{0, 0, 0, 0, 0, 0},
      frame(),
      sensor_to_tfc_transform(),
      enabled_system_filters(0),
      system_filter_params(),
      pending_filter_options(),
      new_filter_flag(0),
      sampling_rate(sampling_rate),
      resource_flag_4(false),
      resource_flag_3(false),
      tool_load(),
      nonfinite_reported(false),
      stale_limit_cycles(staleLimitCycles(sampling_rate)),
      program(std::move(program)),
      segment(ss::openSegment()),
      segment_mutex(ss::openMutex()) {
  active.store(false);
  was_active.store(false);
  // The tool assumed until the host's tool load is read: 1.0 kg at
  // (0, 0, 0.05) m, no inertia.
  const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  tool_load.inertia.set(1.0, hx4rc_api::Vector(0.0, 0.0, 0.05), tensor);
  system_filter = std::make_shared<HighPassRateLimiter>(50.0, 50.0, -50.0, kFilterStepRate);
  // Every object is looked up here, once: a lookup takes the segment
  // manager's own lock, which no cycle may wait for.
  objects = ss::findObjects(segment);
  heartbeat = objects.force_control_heartbeat;
  black_box_request = objects.black_box_request;
}

AdaptiveThread::~AdaptiveThread() {
  // No cycle may run while the members below are destroyed.
  stopAndJoin();
  segment_mutex.reset();
}

void AdaptiveThread::afterStop() {
  lines.flush();
}

void AdaptiveThread::initMethod() {
  // Before the first cycle, straight to standard output: a start that a
  // stalled output delays is reported by the owner's start() as a failure.
  std::printf("Start the adaptive thread instance.\n");
  std::fflush(stdout);
  command_count.store(0);
  // Alive from here on, before the first cycle.
  beat(heartbeat::monotonicNow());
}

std::int64_t AdaptiveThread::staleLimitCycles(double sampling_rate) {
  const double limit_s = std::max(10.0 / sampling_rate, kMinStaleTime);
  return static_cast<std::int64_t>(std::ceil(limit_s / control_law::kCycleTime - 1e-9));
}

void AdaptiveThread::setRecorder(std::shared_ptr<recorder::RecorderWriter> writer) {
  recorder_writer = std::move(writer);
}

void AdaptiveThread::cycleMethod() {
  synced_this_cycle = false;
  // This cycle's record starts empty: wrenches NaN until this cycle
  // processes a sample, no event, nothing sent.
  record = ForceControlRecord();
  record.cycle = cycles_run.load();
  // A fall-back sent the zero offset: the return it replaced is dropped.
  if (abandoned.load() && was_active.load())
    resetToIdle();
  try {
    runCycle();
    if (faulted) {
      faulted = false;
      lines.post(kConsole, "[INFO] Force control cycle recovered; integration resumes");
    }
  } catch (const std::exception& e) {
    holdAfterFailure(e.what());
  } catch (...) {
    holdAfterFailure("unknown exception");
  }
  cycles_run.fetch_add(1);
  const std::int64_t now = heartbeat::monotonicNow();
  beat(now);
  appendRecord(now);
}

void AdaptiveThread::appendRecord(std::int64_t now_ns) {
  ForceControlRecord& r = record;
  r.controller_time = static_cast<double>(r.cycle) * control_law::kCycleTime;
  r.monotonic_ns = now_ns;
  if (r.flags & ForceControlRecord::kProcessed)
    r.setpoint = track_reference;
  for (int i = 0; i < 3; ++i) {
    r.offset[i] = shaper.translation()[i];
    r.offset[3 + i] = shaper.rotation()[i];
  }
  r.sample_age =
      has_usable ? static_cast<double>(usable_age_cycles) * control_law::kCycleTime : -1.0;
  r.usable_samples_per_second = usable_rate;
  r.force_control_state = static_cast<std::uint8_t>(state.load());
  r.supervisor_state = static_cast<std::uint8_t>(supervisorState());
  if (recorder_writer)
    recorder_writer->append(r);
}

void AdaptiveThread::beat(std::int64_t now_ns) {
  if (!heartbeat)
    return;
  HeartbeatBeat b;
  b.cycles = cycles_run.load();
  b.monotonic_ns = now_ns;
  b.state = state.load();
  for (int i = 0; i < 3; ++i) {
    b.translation[i] = sent[i];
    b.rotation[i] = sent[3 + i];
  }
  heartbeat::publish(*heartbeat, b);
}

void AdaptiveThread::holdAfterFailure(const char* what) {
  if (!faulted) {
    faulted = true;
    record.events |= ForceControlRecord::kCycleFailure;
    lines.post(kConsole, "[ERROR] Force control cycle failed (%s); reference offset held", what);
  }
  // The thread goes on: it keeps the controller's pace and, while force
  // control is on, keeps sending the offset it holds; a return (which needs
  // neither the segment nor the sensor) goes on, so that every end of force
  // control still reaches zero.
  try {
    // As in a normal cycle, the synchronisation and the command are made
    // holding the host's control resources.
    hx4_program_api_internals::ControlResources resources(false);
    if (!synced_this_cycle)
      spin();
    if (was_active.load()) {
      if (forceControlOn()) {
        shaper.hold();
        sendOffset();
      } else {
        stepReturn();
      }
    }
  } catch (...) {
    // The controller itself fails: do not spin on it.
    if (!synced_this_cycle) {
      timespec pause{0, static_cast<long>(control_law::kCycleTime * 1e9)};
      nanosleep(&pause, nullptr);
    }
  }
}

bool AdaptiveThread::takeSnapshot() {
  bool reset_history = false;
  std::int32_t request = 0;
  // In a failure episode the cycle only tries the mutex: a holder that died
  // holding it must not slow the thread below the controller's pace (the
  // held offset, a return and the heartbeat go on every 2 ms).
  ss::Lock lock(*segment_mutex, faulted ? 0 : ss::kLockWaitMs);
  copyIn(objects.frame, frame);
  if (double* runtime = objects.runtime)
    *runtime = getRuntimeSeconds();
  if (const bool* flag = objects.activate_adaptive_translation) {
    activate_translation.store(*flag);
  }
  if (const bool* flag = objects.activate_adaptive_rotation) {
    activate_rotation.store(*flag);
  }
  const bool switched_on = activate_translation.load() || activate_rotation.load();
  // Black-box requests since the last snapshot; a program's termination
  // counts while force control is on (this cycle, or in the last one: the
  // termination switches it off right after asking).
  if (black_box_request) {
    const BlackBoxRequest asked = *black_box_request;
    if (asked.requests != black_box_seen.requests)
      record.events |= ForceControlRecord::kRequest;
    if (asked.terminations != black_box_seen.terminations &&
        (switched_on || state.load() == static_cast<std::int32_t>(ForceControlState::kActive)))
      record.events |= ForceControlRecord::kProgramTerminated;
    black_box_seen = asked;
  }
  // An end the owner requested, or a fall-back, lasts until the flags are off.
  if (!switched_on) {
    end_requested.store(false);
    abandoned.store(false);
  }
  active.store(switched_on);
  copyIn(objects.gains, gains);
  copyIn(objects.wrench_offset, wrench_offset);
  copyIn(objects.track_wrench, track_wrench);
  copyIn(objects.enabled_axes, enabled_axes);
  copyIn(objects.sensor_to_tfc_transform, sensor_to_tfc_transform);
  if (const auto* shared = objects.enabled_system_filters) {
    enabled_system_filters = (*shared)[0];
  }
  copyIn(objects.system_filter_params, system_filter_params);
  copyIn(objects.reset_filter_history, reset_history);
  copyIn(objects.force_control_limits, limits);
  copyIn(objects.force_control_speed_limits, speed_limits);
  // A new tool load in the host (identification): taken again at spin().
  if (bool* reload = objects.reload_tool_load) {
    if (*reload) {
      tool_load_read.store(false);
      *reload = false;
    }
  }
  if (SensorHealth* health = objects.sensor_health) {
    published_frames = health->frames_published;
    record.frames_published = health->frames_published;
    record.crc_errors = health->crc_errors;
    record.lost_sync_events = health->lost_sync_events;
    record.last_status = health->last_status;
    // The supervisor's figures as the previous cycle left them.
    health->supervisor_state = supervisorState();
    health->last_usable_age =
        has_usable ? static_cast<double>(usable_age_cycles) * control_law::kCycleTime : -1.0;
    health->usable_samples_per_second = usable_rate;
  }
  // The filter request: taken once, the slot emptied in the same section.
  if (std::int32_t* flag = objects.new_filter_flag) {
    request = *flag;
    *flag = 0;
  }
  if (request != 0) {
    FilterOptions* options = objects.temp_filter_options;
    if (options) {
      pending_filter_options = *options;
      *options = FilterOptions();
    } else {
      request = 0;  // no request record: nothing to act on
    }
  }
  new_filter_flag = request;
  return reset_history;
}

void AdaptiveThread::runCycle() {
  // Phase 1: snapshot.
  const bool reset_history = takeSnapshot();

  // Phase 2: filter maintenance, without the named mutex.
  if (new_filter_flag == -1) {
    removeFilter(pending_filter_options);
  } else if (new_filter_flag == 1) {
    addFilter(pending_filter_options);
  }
  if (reset_history) {
    system_filter->clearHistory();
    ss::Lock lock(*segment_mutex);
    if (bool* flag = objects.reset_filter_history)
      *flag = false;
  }
  system_filter->updateParams(system_filter_params.cutoff_frequency,
                              system_filter_params.rising_rate, system_filter_params.falling_rate);

  // Phase 3: processing, holding the control resources until the end.
  hx4_program_api_internals::ControlResources resources(false);
  if (const auto status = resources.status()) {
    resource_flag_4 = status->flag(4);
    resource_flag_3 = status->flag(3);
  }
  spin();
  superviseSample();

  // Until the first usable sample there is no measurement to compensate,
  // publish or control on. Publishing the all-zero initial frame would show
  // the tool's weight as a force, which a tare would then bake into the bias.
  if (!has_usable)
    return;

  Wrench raw;
  for (int i = 0; i < 6; ++i)
    raw[i] = static_cast<double>(usable_frame.ft_data[i]);
  // The two frame queries of gravity compensation and the TCP transform; the
  // TCP's place in the world follows from them for the recorder.
  const hx4rc_api::Frame flange =
      program->getFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD);
  const Wrench compensated = compensateGravity(raw, flange.rotation, tool_load.inertia.mass,
                                               tool_load.inertia.cog, sensor_to_tfc_transform);
  record.raw = raw;
  record.compensated = compensated;
  {
    ss::Lock lock(*segment_mutex);
    if (Wrench* shared = objects.gravity_compensated_wrench)
      *shared = compensated;
  }
  const hx4rc_api::Frame tcp_in_flange =
      program->getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE);
  const Wrench tcp = transformToTcp(compensated, tcp_in_flange, sensor_to_tfc_transform);
  const hx4rc_api::Vector tcp_position = flange * tcp_in_flange.position;
  for (int i = 0; i < 3; ++i)
    record.tcp_position[i] = tcp_position[i];
  {
    ss::Lock lock(*segment_mutex);
    if (Wrench* shared = objects.tcp_transformed_wrench)
      *shared = tcp;
  }
  // The bias is removed in the TCP frame, after publication.
  Wrench unbiased = tcp;
  for (int i = 0; i < 6; ++i)
    unbiased[i] -= wrench_offset[i];
  record.tool = unbiased;
  record.flags |= ForceControlRecord::kProcessed;
  setArto(unbiased);
}

void AdaptiveThread::superviseSample() {
  // A sample is new when the reader's publication count moved; a constant
  // reading is legitimate, so values are not compared.
  bool usable = false;
  if (published_frames != last_published) {
    last_published = published_frames;
    usable = isUsable(frame);
  }
  if (usable) {
    record.flags |= ForceControlRecord::kNewSample;
    usable_frame = frame;
    has_usable = true;
    usable_age_cycles = 0;
    ++window_usable;
  } else {
    ++usable_age_cycles;
  }
  if (++window_cycles == kRateWindowCycles) {
    usable_rate = static_cast<double>(window_usable) /
                  (static_cast<double>(kRateWindowCycles) * control_law::kCycleTime);
    window_cycles = 0;
    window_usable = 0;
  }

  stale = usable_age_cycles >= stale_limit_cycles;
  if (stale && active.load() && !stale_reported) {
    stale_reported = true;
    record.events |= ForceControlRecord::kStaleTrip;
    lines.post(kConsole,
               "[ERROR] Sensor stale: no usable sample for %ld ms; force control holds its "
               "reference offset",
               ageMs(usable_age_cycles));
  } else if (!stale && stale_reported) {
    stale_reported = false;
    lines.post(kConsole, "[INFO] Sensor usable again after %ld ms; force control resumes",
               ageMs(stale_age_cycles));
  }
  if (stale)
    stale_age_cycles = usable_age_cycles;
}

long AdaptiveThread::ageMs(std::int64_t cycles) {
  return std::lround(static_cast<double>(cycles) * control_law::kCycleTime * 1000.0);
}

bool AdaptiveThread::isUsable(const RxFrame& candidate) {
  if (candidate.header != RxFrame::kHeader || candidate.status != 0)
    return false;
  for (int i = 0; i < 6; ++i) {
    const float value = candidate.ft_data[i];  // copied out of the packed record
    if (!std::isfinite(value))
      return false;
  }
  return true;
}

std::int32_t AdaptiveThread::supervisorState() const {
  if (faulted)
    return SensorHealth::kFaulted;
  if (stale)
    return SensorHealth::kStale;
  return SensorHealth::kOk;
}

void AdaptiveThread::spin() {
  program->sync(false);
  synced_this_cycle = true;
  const std::uint32_t state = program->rcState().unsignedValue(0, 0);
  if ((state & kLoadModelReady) == 0)
    return;
  if (tool_load_read.load())
    return;
  tool_load = program->getLoad(hx4rc_api::Load::SysId::LOAD_TOOL);
  tool_load_read.store(true);
}

double AdaptiveThread::getRuntimeSeconds() const {
  return static_cast<double>(command_count.load()) * control_law::kCycleTime;
}

void AdaptiveThread::activate() {
  active.store(true);
}

void AdaptiveThread::deactivate() {
  active.store(false);
}

Wrench AdaptiveThread::gravityCompensation(const Wrench& raw) const {
  const hx4rc_api::Frame flange =
      program->getFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD);
  return compensateGravity(raw, flange.rotation, tool_load.inertia.mass, tool_load.inertia.cog,
                           sensor_to_tfc_transform);
}

Wrench AdaptiveThread::transformWrenchToTCPFrame(const Wrench& compensated) const {
  const hx4rc_api::Frame tcp =
      program->getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE);
  return transformToTcp(compensated, tcp, sensor_to_tfc_transform);
}

void AdaptiveThread::setArto(const Wrench& wrench) {
  // Filtering: the chain, then the system filter, with the set-point left by
  // the previous cycle as the reference.
  for (int i = 0; i < 6; ++i) {
    double x = filters.apply(wrench[i], track_reference[i], i);
    if (enabled_system_filters != 0)
      x = system_filter->filter(x, track_reference[i], i);
    filtered_wrench[i] = x;
  }
  record.filtered = filtered_wrench;
  {
    ss::Lock lock(*segment_mutex);
    if (Wrench* shared = objects.tcp_filtered_wrench) {
      *shared = filtered_wrench;
    }
  }

  // Suspended by the controller: everything keeps its value.
  if (resource_flag_4 || resource_flag_3) {
    state.store(static_cast<std::int32_t>(ForceControlState::kSuspended));
    return;
  }
  if (!forceControlOn()) {
    if (was_active.load()) {
      stepReturn();
    } else {
      command_count.store(0);
      state.store(static_cast<std::int32_t>(ForceControlState::kIdle));
    }
    return;
  }

  // Active.
  control_law::smoothSetPoint(track_reference, track_wrench, gains.track_smoothing);
  const hx4rc_api::Vector vt =
      control_law::translationalRate(filtered_wrench, track_reference, gains, enabled_axes);
  const hx4rc_api::Vector vr =
      control_law::rotationalRate(filtered_wrench, track_reference, gains, enabled_axes);
  // The offsets the law wants; a stale sensor holds them (nothing is
  // integrated), and so does a half that is switched off.
  hx4rc_api::Vector wanted_translation = shaper.translation();
  hx4rc_api::Vector wanted_rotation = shaper.rotation();
  bool held = false;
  if (!stale) {
    if (activate_translation.load() && !control_law::integrate(wanted_translation, vt))
      held = true;
    if (activate_rotation.load() && !control_law::integrate(wanted_rotation, vr))
      held = true;
  }
  if (held && !nonfinite_reported) {
    lines.post(LineQueue::Channel::kStdout, "%s", kNonFiniteMessage);
    nonfinite_reported = true;
  }
  reportLimits(shaper.follow(wanted_translation, wanted_rotation, shapingLimits()));
  was_active.store(true);
  state.store(static_cast<std::int32_t>(ForceControlState::kActive));
  sendOffset();
}

bool AdaptiveThread::forceControlOn() const {
  return active.load() && !end_requested.load() && !abandoned.load();
}

offset_shaping::Limits AdaptiveThread::shapingLimits() const {
  offset_shaping::Limits l;
  // The function that writes them checks their range; a peer that wrote
  // anything else gets the defaults, never an unlimited offset.
  const double t = speed_limits.translation;
  const double r = speed_limits.rotation;
  if (t > 0.0 && t <= offset_shaping::kMaxTranslationSpeed)
    l.translation.speed = t;
  if (r > 0.0 && r <= offset_shaping::kMaxRotationSpeed)
    l.rotation.speed = r;
  if (limits.max_translation > 0.0 && std::isfinite(limits.max_translation))
    l.translation.envelope = limits.max_translation;
  if (limits.max_rotation > 0.0 && std::isfinite(limits.max_rotation))
    l.rotation.envelope = limits.max_rotation;
  return l;
}

void AdaptiveThread::stepReturn() {
  const offset_shaping::Step step = shaper.returnToZero(shapingLimits());
  record.limits_bound = limitsBound(step);
  state.store(static_cast<std::int32_t>(ForceControlState::kReturning));
  if (!sendOffset())
    return;  // a fall-back took over; the next cycle drops the return
  if (step.returned) {
    // Back at zero: the tool load is read again at the next opportunity.
    resetToIdle();
  }
}

std::uint8_t AdaptiveThread::limitsBound(const offset_shaping::Step& step) {
  return static_cast<std::uint8_t>(
      (step.translation.speed_limited ? ForceControlRecord::kTranslationalSpeed : 0) |
      (step.rotation.speed_limited ? ForceControlRecord::kRotationalSpeed : 0) |
      (step.translation.envelope_limited ? ForceControlRecord::kTranslationalEnvelope : 0) |
      (step.rotation.envelope_limited ? ForceControlRecord::kRotationalEnvelope : 0));
}

void AdaptiveThread::reportLimits(const offset_shaping::Step& step) {
  const offset_shaping::Limits l = shapingLimits();
  // A limit that starts to bind (the cycles of the INFO lines below) is a
  // black-box event.
  const std::uint8_t bound = limitsBound(step);
  const std::uint8_t binding_before = static_cast<std::uint8_t>(
      (translation_speed_limited ? ForceControlRecord::kTranslationalSpeed : 0) |
      (rotation_speed_limited ? ForceControlRecord::kRotationalSpeed : 0) |
      (translation_clamped ? ForceControlRecord::kTranslationalEnvelope : 0) |
      (rotation_clamped ? ForceControlRecord::kRotationalEnvelope : 0));
  record.limits_bound = bound;
  if ((bound & ~binding_before) != 0)
    record.events |= ForceControlRecord::kLimitBinds;
  if (step.translation.speed_limited && !translation_speed_limited) {
    lines.post(kConsole,
               "[INFO] Force-control speed limit: translational offset limited to %g mm/s",
               l.translation.speed * 1000.0);
  }
  translation_speed_limited = step.translation.speed_limited;
  if (step.rotation.speed_limited && !rotation_speed_limited) {
    lines.post(kConsole, "[INFO] Force-control speed limit: rotational offset limited to %g deg/s",
               l.rotation.speed * 180.0 / offset_shaping::kPi);
  }
  rotation_speed_limited = step.rotation.speed_limited;
  if (step.translation.envelope_limited && !translation_clamped) {
    lines.post(kConsole, "[INFO] Force-control envelope: translational offset clamped at %g mm",
               l.translation.envelope * 1000.0);
  }
  translation_clamped = step.translation.envelope_limited;
  if (step.rotation.envelope_limited && !rotation_clamped) {
    lines.post(kConsole, "[INFO] Force-control envelope: rotational offset clamped at %g deg",
               l.rotation.envelope * 180.0 / offset_shaping::kPi);
  }
  rotation_clamped = step.rotation.envelope_limited;
}

void AdaptiveThread::resetToIdle() {
  shaper.reset();
  track_reference = Wrench();
  was_active.store(false);
  tool_load_read.store(false);
  nonfinite_reported = false;
  translation_clamped = false;
  rotation_clamped = false;
  translation_speed_limited = false;
  rotation_speed_limited = false;
  state.store(static_cast<std::int32_t>(ForceControlState::kIdle));
  std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
  for (double& value : sent)
    value = 0.0;  // what the drive holds now
}

bool AdaptiveThread::sendOffset() {
  hx4rc_api::Drive::CmdDriveCtl command;
  hx4rc_api::Pose pose;
  pose.setPRPY(shaper.translation().data(), shaper.rotation().data(), 0);
  pose.valid = 1;
  {
    // The owner holds it only for a check or the fall-back's one command.
    std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
    if (abandoned.load())
      return false;
    program->driveChannel().submit(command.asReferenceControl().withReferenceOffset(pose));
    for (int i = 0; i < 3; ++i) {
      sent[i] = shaper.translation()[i];
      sent[3 + i] = shaper.rotation()[i];
    }
  }
  record.flags |= ForceControlRecord::kOffsetSent;
  command_count.fetch_add(1);
  return true;
}

void AdaptiveThread::endForceControl() {
  end_requested.store(true);
}

AdaptiveThread::Finish AdaptiveThread::finishForceControl(double (&left)[6]) {
  {
    std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
    if (!was_active.load() || abandoned.load()) {
      // Nothing to return. No send can be under way (the drive mutex), and
      // none follows until a cycle finds the shared flags off.
      abandoned.store(true);
      return Finish::kIdle;
    }
  }
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last_cycle = start;
  std::uint64_t cycles = cycles_run.load();
  for (;;) {
    if (!was_active.load())
      return Finish::kReturned;
    const auto now = Clock::now();
    if (cycles_run.load() != cycles) {
      cycles = cycles_run.load();
      last_cycle = now;
    }
    const bool stalled = now - last_cycle >= std::chrono::milliseconds(kReturnStallMs);
    if (stalled || now - start >= std::chrono::milliseconds(kReturnWaitMs))
      break;
    timespec pause{0, 1000000L};  // 1 ms
    nanosleep(&pause, nullptr);
  }
  // The fall-back: the zero offset at once from here, and the worker never
  // sends its old offset again (it waits for the drive mutex, or finds
  // `abandoned` before its next send). The mutex is held only for the
  // hand-over, not for the command: every send of the worker is made
  // holding it, so none follows the release and the zero is the last.
  {
    std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
    if (!was_active.load())
      return Finish::kReturned;
    abandoned.store(true);
    for (int i = 0; i < 6; ++i)
      left[i] = sent[i];
  }
  hx4rc_api::Drive::CmdDriveCtl command;
  hx4rc_api::Pose pose;
  const double zero[3] = {0.0, 0.0, 0.0};
  pose.setPRPY(zero, zero, 0);
  pose.valid = 1;
  program->driveChannel().submit(command.asReferenceControl().withReferenceOffset(pose));
  const bool stalled = Clock::now() - last_cycle >= std::chrono::milliseconds(kReturnStallMs);
  return stalled ? Finish::kStalled : Finish::kTimedOut;
}

void AdaptiveThread::addFilter(FilterOptions options) {
  filters.add(options, kFilterStepRate);
}

void AdaptiveThread::removeFilter(FilterOptions options) {
  filters.remove(options);
}

}  // namespace vorel_device
