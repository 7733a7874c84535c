#include "adaptive/adaptive_thread.h"

#include <boost/interprocess/exceptions.hpp>
#include <cstdio>
#include <exception>
#include <utility>

#include "adaptive/control_law.h"
#include "adaptive/wrench_processing.h"
#include "host/control_resources.h"

namespace vorel_device {

namespace ss = shared_segment;
using hx4rc_api::Model;

namespace {

// Bit of the controller state (item 0, index 0) that marks when the load
// model may be read.
constexpr std::uint32_t kLoadModelReady = 2;

// Copies the shared object `name` into `field` when it exists.
template <class T>
void copyIn(ss::Segment& segment, const char* name, T& field) {
  if (const T* shared = ss::find<T>(segment, name))
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
      position_offset(0.0, 0.0, 0.0),
      rotation_offset(0.0, 0.0, 0.0),
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
      program(std::move(program)),
      segment(ss::openSegment()),
      segment_mutex(ss::openMutex()) {
  active.store(false);
  was_active.store(false);
  // The tool assumed until the host's tool load is read: 1.0 kg at
  // (0, 0, 0.05) m, no inertia.
  const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  tool_load.inertia.set(1.0, hx4rc_api::Vector(0.0, 0.0, 0.05), tensor);
  system_filter = std::make_shared<HighPassRateLimiter>(50.0, 50.0, -50.0, this->sampling_rate);
}

AdaptiveThread::~AdaptiveThread() {
  // No cycle may run while the members below are destroyed.
  stopAndJoin();
  segment_mutex.reset();
}

void AdaptiveThread::initMethod() {
  std::printf("Start the adaptive thread instance.\n");
  std::fflush(stdout);
  command_count.store(0);
}

void AdaptiveThread::cycleMethod() {
  try {
    runCycle();
  } catch (const boost::interprocess::interprocess_exception& e) {
    stopAfterFailure("shared memory error", e.what());
  } catch (const std::exception& e) {
    stopAfterFailure("error", e.what());
  } catch (...) {
    stopAfterFailure("error", "unknown exception");
  }
}

void AdaptiveThread::stopAfterFailure(const char* kind, const char* what) {
  std::printf("Adaptive thread %s (%s): force control stopped\n", kind, what);
  std::fflush(stdout);
  // Back to idle, as after an end of force control, but without a command:
  // the drive is not reached any more.
  active.store(false);
  was_active.store(false);
  tool_load_read.store(false);
  command_count.store(0);
  position_offset = hx4rc_api::Vector();
  rotation_offset = hx4rc_api::Vector();
  track_reference = Wrench();
  nonfinite_reported = false;
  stop_requested.store(true);
}

bool AdaptiveThread::takeSnapshot() {
  bool reset_history = false;
  std::int32_t request = 0;
  ss::Lock lock(*segment_mutex);
  copyIn(segment, ss::kFrame, frame);
  if (double* runtime = ss::find<double>(segment, ss::kRuntime))
    *runtime = getRuntimeSeconds();
  if (const bool* flag = ss::find<bool>(segment, ss::kActivateTranslation)) {
    activate_translation.store(*flag);
  }
  if (const bool* flag = ss::find<bool>(segment, ss::kActivateRotation)) {
    activate_rotation.store(*flag);
  }
  active.store(activate_translation.load() || activate_rotation.load());
  copyIn(segment, ss::kGains, gains);
  copyIn(segment, ss::kWrenchOffset, wrench_offset);
  copyIn(segment, ss::kTrackWrench, track_wrench);
  copyIn(segment, ss::kEnabledAxes, enabled_axes);
  copyIn(segment, ss::kSensorToTfcTransform, sensor_to_tfc_transform);
  if (const auto* shared = ss::find<ss::EnabledSystemFilters>(segment, ss::kEnabledSystemFilters)) {
    enabled_system_filters = (*shared)[0];
  }
  copyIn(segment, ss::kSystemFilterParams, system_filter_params);
  copyIn(segment, ss::kResetFilterHistory, reset_history);
  // The filter request: taken once, the slot emptied in the same section.
  if (std::int32_t* flag = ss::find<std::int32_t>(segment, ss::kNewFilterFlag)) {
    request = *flag;
    *flag = 0;
  }
  if (request != 0) {
    FilterOptions* options = ss::find<FilterOptions>(segment, ss::kTempFilterOptions);
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
    if (bool* flag = ss::find<bool>(segment, ss::kResetFilterHistory))
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

  // Until the reader has published a first frame, "frame" holds the all-zero
  // initial record (no header): no measurement to compensate, publish or
  // control on. Publishing it would show the tool's weight as a force, which
  // a tare would then bake into the bias, and force control would act on it.
  if (frame.header != RxFrame::kHeader) return;

  Wrench raw;
  for (int i = 0; i < 6; ++i)
    raw[i] = static_cast<double>(frame.ft_data[i]);
  const Wrench compensated = gravityCompensation(raw);
  {
    ss::Lock lock(*segment_mutex);
    if (Wrench* shared = ss::find<Wrench>(segment, ss::kGravityCompensatedWrench)) {
      std::lock_guard<std::mutex> guard(wrench_mutex);
      *shared = compensated;
    }
  }
  const Wrench tcp = transformWrenchToTCPFrame(compensated);
  {
    ss::Lock lock(*segment_mutex);
    if (Wrench* shared = ss::find<Wrench>(segment, ss::kTcpTransformedWrench))
      *shared = tcp;
  }
  // The bias is removed in the TCP frame, after publication.
  Wrench unbiased = tcp;
  for (int i = 0; i < 6; ++i)
    unbiased[i] -= wrench_offset[i];
  setArto(unbiased);
}

void AdaptiveThread::spin() {
  program->sync(false);
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
  return compensateGravity(raw, flange.rotation, tool_load.inertia.mass, tool_load.inertia.cog);
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
  {
    ss::Lock lock(*segment_mutex);
    if (Wrench* shared = ss::find<Wrench>(segment, ss::kTcpFilteredWrench)) {
      *shared = filtered_wrench;
    }
  }

  // Suspended by the controller: everything keeps its value.
  if (resource_flag_4 || resource_flag_3)
    return;
  // Idle.
  if (!active.load() && !was_active.load()) {
    command_count.store(0);
    was_active.store(false);
    return;
  }

  // Active, or ending in this cycle.
  control_law::smoothSetPoint(track_reference, track_wrench, gains.track_smoothing);
  hx4rc_api::Drive::CmdDriveCtl command;
  hx4rc_api::Pose pose;
  const hx4rc_api::Vector vt =
      control_law::translationalRate(filtered_wrench, track_reference, gains, enabled_axes);
  const hx4rc_api::Vector vr =
      control_law::rotationalRate(filtered_wrench, track_reference, gains, enabled_axes);
  bool held = false;
  if (activate_translation.load() && !control_law::integrate(position_offset, vt))
    held = true;
  if (activate_rotation.load() && !control_law::integrate(rotation_offset, vr))
    held = true;
  if (held && !nonfinite_reported) {
    std::printf("%s\n", kNonFiniteMessage);
    std::fflush(stdout);
    nonfinite_reported = true;
  }

  if (active.load()) {
    was_active.store(true);
  } else {
    // Force control has just been switched off: back to zero, and the tool
    // load is read again at the next opportunity.
    const double zero[3] = {0.0, 0.0, 0.0};
    position_offset.setData(zero);
    rotation_offset.setData(zero);
    track_reference = Wrench();
    was_active.store(false);
    tool_load_read.store(false);
    nonfinite_reported = false;
  }

  pose.setPRPY(position_offset.data(), rotation_offset.data(), 0);
  pose.valid = 1;
  program->driveChannel().submit(command.asReferenceControl().withReferenceOffset(pose));
  command_count.fetch_add(1);
}

void AdaptiveThread::addFilter(FilterOptions options) {
  filters.add(options, sampling_rate);
}

void AdaptiveThread::removeFilter(FilterOptions options) {
  filters.remove(options);
}

}  // namespace vorel_device
