#include "comm/command_facade.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "host/console.h"

namespace vorel_device {

namespace ss = shared_segment;

VorelForceTorqueSensorSecondaryInstance::VorelForceTorqueSensorSecondaryInstance(int period_ms)
    : PeriodicThread(period_ms),
      wrench_offset(),
      identity(ss::currentIdentity()),
      segment_mutex(ss::openMutex()),
      frame(),
      segment(ss::openSegment()) {
  // A new activation between the two looks: which segment was mapped is not
  // known, so the facade counts as replaced and the device opens it afresh.
  if (ss::currentIdentity() != identity)
    identity = ss::Identity();
  // Every object is looked up here, once: a lookup takes the segment
  // manager's own lock, which a real-time peer could then wait for.
  objects = ss::findObjects(segment);
  heartbeat_record = objects.force_control_heartbeat;
}

HeartbeatBeat VorelForceTorqueSensorSecondaryInstance::heartbeat() const {
  return heartbeat_record ? heartbeat::read(*heartbeat_record) : HeartbeatBeat();
}

VorelForceTorqueSensorSecondaryInstance::SegmentState
VorelForceTorqueSensorSecondaryInstance::segmentState() const {
  const ss::Identity now = ss::currentIdentity();
  if (!now.exists())
    return SegmentState::kGone;
  return now == identity ? SegmentState::kCurrent : SegmentState::kReplaced;
}

VorelForceTorqueSensorSecondaryInstance::~VorelForceTorqueSensorSecondaryInstance() {
  stopAndJoin();
}

void VorelForceTorqueSensorSecondaryInstance::initMethod() {
  std::printf("Start the second instance.\n");
  std::fflush(stdout);
}

void VorelForceTorqueSensorSecondaryInstance::cycleMethod() {
  try {
    ss::Lock lock(*segment_mutex);
    if (const RxFrame* shared = objects.frame)
      frame = *shared;
    lock_failed = false;
  } catch (const std::exception& e) {
    // The copy is skipped; the readouts keep the last frame. One line per
    // episode, so that a stuck mutex does not flood the console.
    if (!lock_failed) {
      hx4_program_api_internals::Console::write(std::string("[ERROR] Command facade: ") + e.what() +
                                                "; frame copy skipped\n");
    }
    lock_failed = true;
  }
}

template <class Fn>
bool VorelForceTorqueSensorSecondaryInstance::underLock(const char* operation, Fn fn) {
  try {
    ss::Lock lock(*segment_mutex);
    fn();
    return true;
  } catch (const ss::LockTimeout& e) {
    hx4_program_api_internals::Console::write(std::string("[ERROR] ") + operation + ": " +
                                              e.what() + "; nothing was done\n");
    return false;
  }
}

void VorelForceTorqueSensorSecondaryInstance::updateWrenchOffsets() {
  if (const ftBias* shared = objects.wrench_offset) {
    wrench_offset = *shared;
  }
}

bool VorelForceTorqueSensorSecondaryInstance::setForceBias(double* bias) {
  return underLock("setForceBias", [&] {
    ftBias* shared = objects.wrench_offset;
    for (int i = 0; i < 3; ++i)
      wrench_offset[i] += bias[i];
    if (shared) {
      for (int i = 0; i < 3; ++i)
        (*shared)[i] = wrench_offset[i];
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setTorqueBias(double* bias) {
  return underLock("setTorqueBias", [&] {
    ftBias* shared = objects.wrench_offset;
    for (int i = 0; i < 3; ++i)
      wrench_offset[3 + i] += bias[i];
    if (shared) {
      for (int i = 3; i < 6; ++i)
        (*shared)[i] = wrench_offset[i];
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::activate(bool translation, bool rotation) {
  return underLock("activate", [&] {
    if (bool* flag = objects.activate_adaptive_translation)
      *flag = translation;
    if (bool* flag = objects.activate_adaptive_rotation)
      *flag = rotation;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::resetFilters() {
  return underLock("resetFilters", [&] {
    if (bool* flag = objects.reset_filter_history)
      *flag = true;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setEnabledAxes(bool fx, bool fy, bool fz, bool tx,
                                                             bool ty, bool tz) {
  const ss::EnabledAxes axes{fx ? 1 : 0, fy ? 1 : 0, fz ? 1 : 0,
                             tx ? 1 : 0, ty ? 1 : 0, tz ? 1 : 0};
  return underLock("setEnabledAxes", [&] {
    if (auto* shared = objects.enabled_axes)
      *shared = axes;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceControlGains(double translation_gain,
                                                                   double rotation_gain,
                                                                   double track_smoothing) {
  const Gains gains{translation_gain, rotation_gain, track_smoothing};
  return underLock("setForceControlGains", [&] {
    if (Gains* shared = objects.gains)
      *shared = gains;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setEnabledSystemFilters(bool enabled) {
  return underLock("setEnabledSystemFilters", [&] {
    if (auto* shared = objects.enabled_system_filters) {
      (*shared)[0] = enabled ? 1 : 0;
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setSystemFilterParams(double cutoff_frequency,
                                                                    double rising_rate,
                                                                    double falling_rate) {
  const SystemFilterParams params{cutoff_frequency, rising_rate, falling_rate};
  return underLock("setSystemFilterParams", [&] {
    if (auto* shared = objects.system_filter_params) {
      *shared = params;
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setSensorFrame(hx4_program_api::RobotPose pose) {
  // The host converts the pose before the lock is taken: the lock is held only
  // for the copy.
  const hx4rc_api::Frame transform = pose.toFrame(true);
  return underLock("setSensorFrame", [&] {
    if (auto* shared = objects.sensor_to_tfc_transform) {
      *shared = transform;
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceTrackValue(double* value) {
  return underLock("setForceTrackValue", [&] {
    if (Wrench* shared = objects.track_wrench) {
      for (int i = 0; i < 3; ++i)
        (*shared)[i] = value[i];
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setTorqueTrackValue(double* value) {
  return underLock("setTorqueTrackValue", [&] {
    if (Wrench* shared = objects.track_wrench) {
      for (int i = 0; i < 3; ++i)
        (*shared)[3 + i] = value[i];
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::addOrRemoveFilter(FilterOptions options,
                                                                int request) {
  // The name is copied bounded to its 40 bytes and NUL-padded after its end;
  // every other field as given.
  FilterOptions request_record = options;
  std::strncpy(request_record.name, options.name, FilterOptions::kNameSize);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFilterHandOffWaitMs);
  for (;;) {
    bool handed = false;
    const bool locked = underLock("addOrRemoveFilter", [&] {
      auto* flag = objects.new_filter_flag;
      if (flag && *flag != 0)
        return;  // the previous request is still in the slot
      if (auto* shared = objects.temp_filter_options)
        *shared = request_record;
      if (flag)
        *flag = request;
      handed = true;
    });
    if (!locked)
      return false;
    if (handed)
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    timespec pause{0, 1000000L};  // 1 ms, half a force-control cycle
    nanosleep(&pause, nullptr);
  }
  const std::string name(request_record.name,
                         strnlen(request_record.name, FilterOptions::kNameSize));
  hx4_program_api_internals::Console::write(
      "[ERROR] addOrRemoveFilter: the force-control thread did not take the previous filter "
      "request within " +
      std::to_string(kFilterHandOffWaitMs) + " ms; the request to " +
      (request == kRemoveFilter ? "remove" : "add") + " filter \"" + name + "\" was not sent\n");
  return false;
}

void VorelForceTorqueSensorSecondaryInstance::subtractOffsets(const Wrench& stage,
                                                              double (&out)[6]) {
  updateWrenchOffsets();
  for (int i = 0; i < 6; ++i)
    out[i] = stage[i] - wrench_offset[i];
}

bool VorelForceTorqueSensorSecondaryInstance::getRawFTData(double (&out)[6]) {
  // raw_mutex, then the named mutex: the frame copy and the offsets cannot
  // change under the readout (the cycle and the bias operations write them
  // under the named mutex).
  std::lock_guard<std::mutex> raw_lock(raw_mutex);
  return underLock("getRawFTData", [&] {
    updateWrenchOffsets();
    for (int i = 0; i < 6; ++i) {
      const float value = frame.ft_data[i];  // copied out of the packed record
      out[i] = static_cast<double>(value) - wrench_offset[i];
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getGravityCompensatedFTData(double (&out)[6]) {
  return underLock("getGravityCompensatedFTData", [&] {
    if (const Wrench* shared = objects.gravity_compensated_wrench)
      subtractOffsets(*shared, out);
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getTCPFrameFTData(double (&out)[6]) {
  return underLock("getTCPFrameFTData", [&] {
    if (const Wrench* shared = objects.tcp_transformed_wrench)
      subtractOffsets(*shared, out);
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getTCPFrameFilteredFTData(double (&out)[6]) {
  return underLock("getTCPFrameFilteredFTData", [&] {
    if (const Wrench* shared = objects.tcp_filtered_wrench) {
      for (int i = 0; i < 6; ++i)
        out[i] = (*shared)[i];
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getSensorHealth(SensorHealth& health) {
  return underLock("getSensorHealth", [&] {
    if (const SensorHealth* shared = objects.sensor_health)
      health = *shared;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceControlLimits(double max_translation,
                                                                    double max_rotation) {
  const ForceControlLimits limits{max_translation, max_rotation};
  return underLock("setForceControlLimits", [&] {
    if (auto* shared = objects.force_control_limits)
      *shared = limits;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceControlSpeedLimits(double translation,
                                                                         double rotation) {
  const ForceControlSpeedLimits limits{translation, rotation};
  return underLock("setForceControlSpeedLimits", [&] {
    if (auto* shared = objects.force_control_speed_limits)
      *shared = limits;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getForceControlSpeedLimits(
    ForceControlSpeedLimits& limits) {
  return underLock("getForceControlSpeedLimits", [&] {
    if (const auto* shared = objects.force_control_speed_limits)
      limits = *shared;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceLimits(double force, double torque) {
  ForceLimits limits;
  limits.force = force;
  limits.torque = torque;
  return underLock("setForceLimits", [&] {
    if (auto* shared = objects.force_limits)
      *shared = limits;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getForceLimits(ForceLimits& limits) {
  return underLock("getForceLimits", [&] {
    if (const auto* shared = objects.force_limits)
      limits = *shared;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceControlDeadband(double force, double torque) {
  return underLock("setForceControlDeadband", [&] {
    if (auto* shared = objects.force_control_law) {
      shared->deadband_force = force;
      shared->deadband_torque = torque;
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceControlCompliance(double stiffness,
                                                                        double mass,
                                                                        double rotational_stiffness,
                                                                        double inertia) {
  return underLock("setForceControlCompliance", [&] {
    if (auto* shared = objects.force_control_law) {
      shared->stiffness = stiffness;
      shared->mass = mass;
      shared->rotational_stiffness = rotational_stiffness;
      shared->inertia = inertia;
    }
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setForceControlFrame(std::int32_t frame) {
  return underLock("setForceControlFrame", [&] {
    if (auto* shared = objects.force_control_law)
      shared->frame = frame;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getForceControlLaw(ForceControlLaw& law) {
  return underLock("getForceControlLaw", [&] {
    if (const auto* shared = objects.force_control_law)
      law = *shared;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getWrenchOffset(double (&offset)[6]) {
  return underLock("getWrenchOffset", [&] {
    updateWrenchOffsets();
    for (int i = 0; i < 6; ++i)
      offset[i] = wrench_offset[i];
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getPublishedFrame(RxFrame& out,
                                                                std::uint64_t& published) {
  return underLock("getPublishedFrame", [&] {
    if (const RxFrame* shared = objects.frame)
      out = *shared;
    if (const SensorHealth* health = objects.sensor_health)
      published = health->frames_published;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::getForceControlActive(bool& active) {
  return underLock("getForceControlActive", [&] {
    const bool* translation = objects.activate_adaptive_translation;
    const bool* rotation = objects.activate_adaptive_rotation;
    active = (translation && *translation) || (rotation && *rotation);
  });
}

bool VorelForceTorqueSensorSecondaryInstance::setWrenchOffset(const double (&offset)[6]) {
  return underLock("setWrenchOffset", [&] {
    for (int i = 0; i < 6; ++i)
      wrench_offset[i] = offset[i];
    if (ftBias* shared = objects.wrench_offset)
      *shared = wrench_offset;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::requestToolLoadReload() {
  return underLock("requestToolLoadReload", [&] {
    if (bool* flag = objects.reload_tool_load)
      *flag = true;
  });
}

bool VorelForceTorqueSensorSecondaryInstance::requestBlackBox(BlackBoxEvent event) {
  return underLock("requestBlackBox", [&] {
    if (auto* shared = objects.black_box_request)
      ++(event == BlackBoxEvent::kRequest ? shared->requests : shared->terminations);
  });
}

double VorelForceTorqueSensorSecondaryInstance::offsetNorm(int first) {
  const Wrench* shared = objects.tcp_transformed_wrench;
  if (!shared)
    return 0.0;
  updateWrenchOffsets();
  double d[3];
  for (int i = 0; i < 3; ++i)
    d[i] = (*shared)[first + i] - wrench_offset[first + i];
  return std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
}

bool VorelForceTorqueSensorSecondaryInstance::getForceNorm(double& norm) {
  return underLock("getForceNorm", [&] { norm = offsetNorm(0); });
}

bool VorelForceTorqueSensorSecondaryInstance::getTorqueNorm(double& norm) {
  return underLock("getTorqueNorm", [&] { norm = offsetNorm(3); });
}

}  // namespace vorel_device
