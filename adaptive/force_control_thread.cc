#include "adaptive/force_control_thread.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <utility>

#include "host/control_resources.h"

namespace vorel_device {

namespace ss = shared_segment;
using hx4rc_api::Model;
using Record = ForceControlRecord;

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

// The step's part of a cycle's record into the thread's.
void mergeRecord(Record& r, const Record& step) {
  r.raw = step.raw;
  r.compensated = step.compensated;
  r.tcp_unbiased = step.tcp_unbiased;
  r.filtered = step.filtered;
  for (int i = 0; i < 3; ++i)
    r.tcp_position[i] = step.tcp_position[i];
  r.limits_bound = step.limits_bound;
  r.flags |= step.flags;
  r.events |= step.events;
}

}  // namespace

AdaptiveThread::AdaptiveThread(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                               int period_ms, double sampling_rate)
    : PeriodicThread(period_ms),
      sampling_rate(sampling_rate),
      step_(sampling_rate),
      program(std::move(program)),
      segment(ss::openSegment()),
      segment_mutex(ss::openMutex()) {
  // The tool assumed until the host's tool load is read: 1.0 kg at
  // (0, 0, 0.05) m, no inertia.
  const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  tool_load.inertia.set(1.0, hx4rc_api::Vector(0.0, 0.0, 0.05), tensor);
  // Every object is looked up here, once: a lookup takes the segment
  // manager's own lock, which no cycle may wait for.
  objects = ss::findObjects(segment);
}

AdaptiveThread::~AdaptiveThread() {
  // No cycle may run while the members below are destroyed.
  stopAndJoin();
  segment_mutex.reset();
}

void AdaptiveThread::setRecorder(std::shared_ptr<recorder::RecorderWriter> writer) {
  recorder_writer = std::move(writer);
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

void AdaptiveThread::cycleMethod() {
  synced_this_cycle = false;
  // This cycle's record starts empty: wrenches NaN until this cycle
  // processes a sample, no event, nothing sent.
  record = Record();
  record.cycle = cycles_run.load();
  // A fall-back sent the zero offset: the return it replaced is dropped.
  if (abandoned.load() && step_.wasActive()) {
    step_.abandon();
    backToIdle();
  }
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

void AdaptiveThread::runCycle() {
  // The synchronisation, the snapshot, the step and the command hold the
  // host's control resources.
  hx4_program_api_internals::ControlResources resources(false);
  const StepInput input = synchronise(resources);
  StepOutput output;
  if (step_.willProcess(input)) {
    // The step runs holding the named mutex for the copies out, so that a
    // cycle that cannot publish fails before its step: the offset it holds
    // is the last one sent.
    ss::Lock lock(*segment_mutex);
    output = step_.run(input);
    publish(output);
  } else {
    output = step_.run(input);
  }
  report(output);
  submit(output);
}

void AdaptiveThread::takeSnapshot() {
  ForceControlCommands& c = commands;
  {
    // In a failure episode the cycle only tries the mutex: a holder that
    // died holding it must not slow the thread below the controller's pace.
    ss::Lock lock(*segment_mutex, faulted ? 0 : ss::kLockWaitMs);
    copyIn(objects.frame, frame);
    if (objects.runtime)
      *objects.runtime = getRuntimeSeconds();
    copyIn(objects.activate_adaptive_translation, c.translation);
    copyIn(objects.activate_adaptive_rotation, c.rotation);
    noteRequests(c.translation || c.rotation);
    copyIn(objects.gains, c.gains);
    copyIn(objects.wrench_offset, c.wrench_offset);
    copyIn(objects.track_wrench, c.track_wrench);
    copyIn(objects.enabled_axes, c.enabled_axes);
    copyIn(objects.sensor_to_tfc_transform, c.sensor_to_tfc_transform);
    if (objects.enabled_system_filters)
      c.enabled_system_filters = (*objects.enabled_system_filters)[0];
    copyIn(objects.system_filter_params, c.system_filter_params);
    copyIn(objects.force_control_limits, c.limits);
    copyIn(objects.force_control_speed_limits, c.speed_limits);
    copyIn(objects.force_limits, c.force_limits);
    copyIn(objects.force_control_law, c.law);
    takeRequestSlots(c);
    exchangeHealth();
  }
  // Filter changes without the named mutex.
  reportFilterChange(step_.takeCommands(c), c.filter_options);
}

void AdaptiveThread::noteRequests(bool switched_on) {
  // Black-box requests since the last snapshot; a program's termination
  // counts while force control is on (this cycle, or in the last one: the
  // termination switches it off right after asking).
  if (objects.black_box_request) {
    const BlackBoxRequest asked = *objects.black_box_request;
    if (asked.requests != black_box_seen.requests)
      record.events |= Record::kRequest;
    if (asked.terminations != black_box_seen.terminations &&
        (switched_on || step_.state() == ForceControlState::kActive))
      record.events |= Record::kProgramTerminated;
    black_box_seen = asked;
  }
  // An end the owner requested, or a fall-back, lasts until the flags are off.
  if (!switched_on) {
    end_requested.store(false);
    abandoned.store(false);
  }
  active.store(switched_on);
}

void AdaptiveThread::takeRequestSlots(ForceControlCommands& c) {
  // Each request is taken once: its slot is emptied in the same section.
  c.reset_filter_history = false;
  if (objects.reset_filter_history) {
    c.reset_filter_history = *objects.reset_filter_history;
    *objects.reset_filter_history = false;
  }
  // A new tool load in the host (identification): taken again at spin().
  if (objects.reload_tool_load && *objects.reload_tool_load) {
    tool_load_read.store(false);
    *objects.reload_tool_load = false;
  }
  c.filter_request = 0;
  if (objects.new_filter_flag) {
    c.filter_request = *objects.new_filter_flag;
    *objects.new_filter_flag = 0;
  }
  if (c.filter_request != 0) {
    if (objects.temp_filter_options) {
      c.filter_options = *objects.temp_filter_options;
      *objects.temp_filter_options = FilterOptions();
    } else {
      c.filter_request = 0;  // no request record: nothing to act on
    }
  }
}

void AdaptiveThread::exchangeHealth() {
  SensorHealth* health = objects.sensor_health;
  if (!health)
    return;
  published_frames = health->frames_published;
  record.frames_published = health->frames_published;
  record.crc_errors = health->crc_errors;
  record.lost_sync_events = health->lost_sync_events;
  record.last_status = health->last_status;
  // The supervisor's figures as the previous cycle left them.
  health->supervisor_state = supervisorState();
  health->last_usable_age = step_.sampleAge();
  health->usable_samples_per_second = step_.usableRate();
  health->force_limit_flags = step_.forceLimitEpisode();
}

StepInput AdaptiveThread::synchronise(hx4_program_api_internals::ControlResources& resources) {
  if (const auto status = resources.status()) {
    using Status = hx4_program_api_internals::ControlStatus;
    resource_flag_4 = status->flag(Status::kSecondHoldFlag);
    resource_flag_3 = status->flag(Status::kFirstHoldFlag);
  }
  spin();
  // After the synchronisation: the frame is the newest one published before
  // this cycle began.
  takeSnapshot();
  StepInput in;
  // A sample is new when the reader's publication count moved; a constant
  // reading is legitimate, so values are not compared.
  in.new_sample = published_frames != last_published;
  last_published = published_frames;
  in.frame = frame;
  in.ended = end_requested.load() || abandoned.load();
  in.robot.suspended = resource_flag_3 || resource_flag_4;
  in.robot.tool_load = tool_load;
  // The frame queries only once there is a sample to process.
  if (step_.willProcess(in)) {
    in.robot.flange =
        program->getFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD);
    in.robot.tcp_in_flange =
        program->getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE);
    // The base-frame law re-expresses the wrench and the offset with the
    // TCP's orientation in the robot base, every cycle.
    if (commands.law.frame == ForceControlLaw::kBaseFrame) {
      in.robot.tcp_in_base =
          program->getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_BASE);
    }
  }
  return in;
}

void AdaptiveThread::publish(const StepOutput& out) {
  if (!out.processed)
    return;
  if (objects.gravity_compensated_wrench)
    *objects.gravity_compensated_wrench = out.record.compensated;
  if (objects.tcp_transformed_wrench)
    *objects.tcp_transformed_wrench = out.tcp_with_bias;
  if (objects.tcp_filtered_wrench)
    *objects.tcp_filtered_wrench = out.record.filtered;
}

void AdaptiveThread::submit(const StepOutput& out) {
  // Set before the send: the owner's fall-back sees an activation that may
  // be sending.
  if (step_.wasActive())
    was_active.store(true);
  if (out.send && sendOffset(out.offset))
    record.flags |= Record::kOffsetSent;
  else if (out.processed && step_.state() == ForceControlState::kIdle)
    command_count.store(0);
  if (out.returned)
    backToIdle();
}

void AdaptiveThread::backToIdle() {
  // Back at zero: the tool load is read again at the next opportunity.
  was_active.store(false);
  tool_load_read.store(false);
  std::lock_guard<tmvz_periodic_thread::PiMutex> drive(drive_mutex);
  for (double& value : sent)
    value = 0.0;  // what the drive holds now
}

void AdaptiveThread::report(const StepOutput& out) {
  mergeRecord(record, out.record);
  if (out.stale_trip) {
    lines.post(kConsole,
               "[ERROR] Sensor stale: no usable sample for %ld ms; force control holds its "
               "reference offset",
               out.stale_ms);
  } else if (out.recovered) {
    lines.post(kConsole, "[INFO] Sensor usable again after %ld ms; force control resumes",
               out.stale_ms);
  }
  if (out.non_finite)
    lines.post(LineQueue::Channel::kStdout, "%s", kNonFiniteMessage);
  reportForceLimit(out.force_limit);
  const offset_shaping::Limits& l = out.limits;
  const double deg = offset_shaping::kDegreesPerRadian;
  if (out.limits_started & Record::kTranslationalSpeed)
    lines.post(kConsole,
               "[INFO] Force-control speed limit: translational offset limited to %g mm/s",
               l.translation.speed * 1000.0);
  if (out.limits_started & Record::kRotationalSpeed)
    lines.post(kConsole, "[INFO] Force-control speed limit: rotational offset limited to %g deg/s",
               l.rotation.speed * deg);
  if (out.limits_started & Record::kTranslationalEnvelope)
    lines.post(kConsole, "[INFO] Force-control envelope: translational offset clamped at %g mm",
               l.translation.envelope * 1000.0);
  if (out.limits_started & Record::kRotationalEnvelope)
    lines.post(kConsole, "[INFO] Force-control envelope: rotational offset clamped at %g deg",
               l.rotation.envelope * deg);
}

void AdaptiveThread::reportForceLimit(const force_limit::Check& check) {
  if (check.started & ForceLimits::kForceOver)
    lines.post(kConsole,
               "[ERROR] Force limit: force %.1f N above the limit of %g N; force control presses "
               "no further and backs out to the limit",
               check.force, check.limits.force);
  if (check.started & ForceLimits::kTorqueOver)
    lines.post(kConsole,
               "[ERROR] Force limit: torque %.2f N m above the limit of %g N m; force control "
               "presses no further and backs out to the limit",
               check.torque, check.limits.torque);
  if (check.started & ForceLimits::kOverrange)
    lines.post(kConsole,
               "[ERROR] Force limit: the sensor flags its frames overrange; force control holds "
               "its reference offset");
}

void AdaptiveThread::reportFilterChange(FilterChain::Outcome outcome,
                                        const FilterOptions& request) {
  char text[LineQueue::kTextBytes];
  if (!FilterChain::line(outcome, request, ForceControlStep::kFilterStepRate, text, sizeof text))
    return;
  // A full chain loses a robot program's filter: that is an error the
  // program's operator must see.
  if (outcome == FilterChain::Outcome::kFull)
    lines.post(kConsole, "[ERROR] %s", text);
  else
    lines.post(LineQueue::Channel::kStdout, "%s", text);
}

void AdaptiveThread::holdAfterFailure(const char* what) {
  if (!faulted) {
    faulted = true;
    record.events |= Record::kCycleFailure;
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
    const StepOutput output = step_.hold(end_requested.load() || abandoned.load());
    mergeRecord(record, output.record);
    submit(output);
  } catch (...) {
    // The controller itself fails: do not spin on it.
    if (!synced_this_cycle) {
      timespec pause{0, static_cast<long>(control_law::kCycleTime * 1e9)};
      nanosleep(&pause, nullptr);
    }
  }
}

void AdaptiveThread::noteControllerCycle(std::uint32_t cycles) {
  // 32 bits of 2 ms cycles wrap after 99 days: the wraps are counted.
  if (cycles < controller_cycles_low_)
    controller_cycles_high_ += std::uint64_t{1} << 32;
  controller_cycles_low_ = cycles;
  controller_cycles_ = controller_cycles_high_ | cycles;
}

void AdaptiveThread::appendRecord(std::int64_t now_ns) {
  Record& r = record;
  // The controller's own time, the one robot programs and the host see; a
  // controller that does not count its cycles (item 1 stays 0) gives the
  // thread's cycle count instead.
  const std::uint64_t cycles = controller_cycles_ != 0 ? controller_cycles_ : r.cycle;
  r.controller_time = static_cast<double>(cycles) * control_law::kCycleTime;
  r.monotonic_ns = now_ns;
  if (r.flags & Record::kProcessed)
    r.setpoint = step_.trackReference();
  step_.commandedOffset(r.offset);  // the drive's TCP axes
  r.task_frame = step_.lawInBase() ? Record::kBaseFrame : Record::kTcpFrame;
  r.sample_age = step_.sampleAge();
  r.usable_samples_per_second = step_.usableRate();
  r.force_control_state = static_cast<std::uint8_t>(step_.state());
  r.supervisor_state = static_cast<std::uint8_t>(supervisorState());
  if (recorder_writer)
    recorder_writer->append(r);
}

void AdaptiveThread::beat(std::int64_t now_ns) {
  if (!objects.force_control_heartbeat)
    return;
  HeartbeatBeat b;
  b.cycles = cycles_run.load();
  b.monotonic_ns = now_ns;
  b.state = static_cast<std::int32_t>(step_.state());
  for (int i = 0; i < 3; ++i) {
    b.translation[i] = sent[i];
    b.rotation[i] = sent[3 + i];
  }
  heartbeat::publish(*objects.force_control_heartbeat, b);
}

std::int32_t AdaptiveThread::supervisorState() const {
  if (faulted)
    return SensorHealth::kFaulted;
  if (step_.stale())
    return SensorHealth::kStale;
  return SensorHealth::kOk;
}

void AdaptiveThread::spin() {
  refreshToolLoad(synchroniseController());
}

std::uint32_t AdaptiveThread::synchroniseController() {
  program->sync(false);
  synced_this_cycle = true;
  const hx4rc_api::State::SysStat_RCState rc = program->rcState();
  noteControllerCycle(rc.unsignedValue(1, 0));
  return rc.unsignedValue(0, 0);
}

void AdaptiveThread::refreshToolLoad(std::uint32_t rc_state) {
  if ((rc_state & kLoadModelReady) == 0)
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

void AdaptiveThread::addFilter(FilterOptions options) {
  reportFilterChange(step_.addFilter(options), options);
}

void AdaptiveThread::removeFilter(FilterOptions options) {
  reportFilterChange(step_.removeFilter(options), options);
}

}  // namespace vorel_device
