// moveToContact: a guarded approach along one axis until the tool-frame force
// exceeds a threshold, then a retract.
//
// Every pass synchronises with the controller (2 ms cycle), reads the current
// tool-centre-point frame and commands a target 0.12 s of travel ahead
// (speed x 0.12 mm) along the axis, so the robot moves at the motion
// command's pace while the force is checked once per pass.
//
// Never blind: each pass takes the device's current facade (under the
// device lock, released before the synchronisation and the motion command)
// and reads the force norm, the sensor health and force control's heartbeat
// from it. A re-activation during the call (another facade), a non-finite
// norm, a sensor without usable samples, a force-control thread that no
// longer runs (its heartbeat unchanged for 25 of this call's cycles and
// 50 ms) and a tool that makes no progress for 1 s while not held each end
// the call without a further step or retract.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>

#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "comm/force_control_heartbeat.h"
#include "device/vorel_ft_sensor.h"
#include "host/console.h"

namespace vorel_device {

namespace {

using hx4_program_api::Number;
using hx4_program_api::Position;
using hx4_program_api::RobotPose;
using hx4rc_api::Model;
using hx4rc_api::Motion;

constexpr double kLookAheadSeconds = 0.12;  // target distance per pass = speed x 0.12 s
constexpr double kMillimetresPerMetre = 1000.0;
// Progress: a new furthest point along the approach direction, at least
// min(kProgressMm, half of what the speed covers in 1 s) beyond the last.
constexpr double kProgressMm = 0.1;

Motion::Params approachParams() {
  Motion::Params params;
  params.pairs[0] = {2, 0, 0.5};
  params.pairs[1] = {2, 0, 0.1};
  params.pairs[2] = {1, 0, 0.0};
  return params;
}

Motion::Params retractParams() {
  Motion::Params params;
  params.pairs[0] = {1, 0, 0.5};
  params.pairs[1] = {1, 0, 0.1};
  params.pairs[2] = {2, 0, 0.0};
  return params;
}

// The target `offset` metres from the current pose P: along the world axes
// (reference frame 0), along P's own axes (1), or none (any other value).
RobotPose targetPose(int reference_frame, const RobotPose& current, const Position& offset) {
  if (reference_frame == 1) {
    return RobotPose(offset, hx4_program_api::Rotation::RPY(0.0, 0.0, 0.0), current);
  }
  if (reference_frame == 0) {
    RobotPose target = current;
    target.setPos(current.pos() + offset);
    return target;
  }
  return RobotPose();
}

Motion::Target targetRecord(const RobotPose& target) {
  Motion::Target record;  // NaN frame, id 0: no valid target
  if (target.valid()) {
    record.frame = target.evaluate(true);
    record.frame_id = static_cast<std::int32_t>(Model::SysId::FRAME_WORLD);
  }
  return record;
}

void setAxis(Position& offset, int axis, double metres) {
  if (axis == 0)
    offset.x = metres;
  if (axis == 1)
    offset.y = metres;
  if (axis == 2)
    offset.z = metres;
}

void logRefusal(const std::string& what, double value, const char* unit) {
  std::ostringstream line;
  line << "[ERROR] moveToContact: the " << what << " " << value << " " << unit
       << " is not a finite number; stopped without commanding a step\n";
  hx4_program_api_internals::Console::write(line.str());
}

// The four numbers are checked before anything moves: a non-finite one would
// give a non-finite target, no contact test, no travel limit or no retract
// (found only after contact, with the tool pressed into the surface).
bool argumentsUsable(Number& speed, Number& force_threshold, Number& max_distance,
                     Number& retract_distance) {
  const Number step = kLookAheadSeconds * speed / kMillimetresPerMetre;
  if (!std::isfinite(step.d(true))) {
    logRefusal("speed", speed.d(true), "mm/s");
    return false;
  }
  if (!std::isfinite(force_threshold.d(true))) {
    logRefusal("force threshold", force_threshold.d(true), "N");
    return false;
  }
  if (!std::isfinite(max_distance.d(true))) {
    logRefusal("travel limit", max_distance.d(true), "mm");
    return false;
  }
  if (!std::isfinite(retract_distance.d(true))) {
    logRefusal("retract distance", retract_distance.d(true), "mm");
    return false;
  }
  return true;
}

// The call's own count of controller cycles against the heartbeat: force
// control runs while the beat moved within kLivenessCycles of this call's
// cycles, or its last cycle is less than 50 ms old (so that a live thread a
// stepping controller has not stepped yet, or a slow machine, is not taken
// for a dead one).
class Liveness {
 public:
  explicit Liveness(const HeartbeatBeat& beat) : cycles_(beat.cycles) {}
  // Called once per own cycle.
  bool running(const HeartbeatBeat& beat) {
    if (beat.cycles != cycles_) {
      cycles_ = beat.cycles;
      unchanged_ = 0;
    } else {
      ++unchanged_;
    }
    return unchanged_ < VorelFTSensor::kLivenessCycles ||
           heartbeat::running(beat, heartbeat::monotonicNow());
  }

 private:
  std::uint64_t cycles_;
  int unchanged_ = 0;
};

// Progress along the approach direction, m, since the start.
class Progress {
 public:
  Progress(const hx4rc_api::Vector& direction, double speed_mm_s)
      : direction_(direction),
        step_(std::min(kProgressMm, 0.5 * std::fabs(speed_mm_s)) / kMillimetresPerMetre) {}
  // One pass at `travelled` (position - p0, world, m); false after
  // kNoProgressCycles passes without progress while not held.
  bool update(const hx4rc_api::Vector& travelled, bool held) {
    const double along =
        travelled[0] * direction_[0] + travelled[1] * direction_[1] + travelled[2] * direction_[2];
    if (held || along >= best_ + step_) {
      best_ = std::max(best_, along);
      stalled_ = 0;
      return true;
    }
    return ++stalled_ < VorelFTSensor::kNoProgressCycles;
  }

 private:
  hx4rc_api::Vector direction_;
  double step_;
  double best_ = 0.0;
  int stalled_ = 0;
};

// The approach direction in the world: the world axis (reference frame 0)
// or the tool's axis at the start (1), signed as the speed.
hx4rc_api::Vector approachDirection(int reference_frame, int axis, const hx4rc_api::Frame& start,
                                    double speed) {
  hx4rc_api::Vector d;
  if (reference_frame == 1) {
    for (int i = 0; i < 3; ++i)
      d[i] = start.rotation(i, axis);
  } else {
    d[axis] = 1.0;
  }
  return (speed < 0.0 ? -1.0 : 1.0) * d;
}

bool held(const hx4_program_api_internals::ControlResources& resources) {
  const auto status = resources.status();
  return status && (status->flag(3) || status->flag(4));
}

}  // namespace

VorelFTSensor::Result VorelFTSensor::moveToContact(int referenceFrame, int axis, Number& speed,
                                                   Number& forceThreshold, Number& maxDistance,
                                                   Number& retractDistance) {
  boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> bound;
  if (FacadeAccess facade = facadeFor("moveToContact"))
    bound = facade.get();
  else
    return Result::Success();
  auto terminated = [](const char* when) {
    logError(std::string("moveToContact: stopped ") + when +
             " because the robot program terminated; the robot is not moved by this call "
             "any more");
    return Result::Success();
  };
  auto blind = [](const std::string& why) {
    logError("moveToContact: " + why + "; stopped without a further step or retract");
    return Result::Success();
  };
  // Arguments that would command the current pose for ever.
  if (referenceFrame != 0 && referenceFrame != 1) {
    logError("moveToContact: the reference frame " + str(referenceFrame) +
             " is neither 0 (world axes) nor 1 (tool axes); nothing moved");
    return Result::Success();
  }
  if (axis < 0 || axis > 2) {
    logError("moveToContact: the axis " + str(axis) +
             " is not 0 (x), 1 (y) or 2 (z); nothing moved");
    return Result::Success();
  }
  if (!argumentsUsable(speed, forceThreshold, maxDistance, retractDistance))
    return Result::Success();
  if (speed.d(true) == 0.0) {
    logError("moveToContact: a speed of 0 mm/s never reaches a contact; nothing moved");
    return Result::Success();
  }

  hx4_program_api::ProgramInterface& controller = *program();
  controller.sync(false);
  const hx4rc_api::Frame start =
      controller.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD);
  const hx4rc_api::Vector p0 = start.position;
  double force_norm = 0.0;
  hx4_program_api_internals::ControlResources resources(false);
  if (!program_running.load())
    return terminated("at the start");

  // The force comes from the force-control thread: it must run. A heartbeat
  // that is old at the start gets kLivenessCycles of this call's cycles to
  // move.
  const HeartbeatBeat first = bound->heartbeat();
  if (!heartbeat::running(first, heartbeat::monotonicNow())) {
    bool moved = false;
    for (int k = 0; k < kLivenessCycles && !moved; ++k) {
      controller.sync(false);
      moved = bound->heartbeat().cycles != first.cycles;
    }
    if (!moved) {
      logError("moveToContact: " + notRunning(*bound) + "; nothing moved");
      return Result::Success();
    }
  }
  Liveness liveness(bound->heartbeat());
  Progress progress(approachDirection(referenceFrame, axis, start, speed.d(true)), speed.d(true));

  // Hold wait: while the controller holds the robot (flags 3 and 4), no step
  // is commanded. A program termination ends the wait.
  for (auto status = resources.status(); status && (status->flag(3) || status->flag(4));
       status = resources.status()) {
    if (!program_running.load())
      return terminated("while the robot was held");
    std::this_thread::yield();
  }

  bool contact = false;
  bool limit_passed = false;
  while (!contact && !limit_passed) {
    controller.sync(false);
    const hx4rc_api::Frame current_frame =
        controller.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD);
    const RobotPose current(current_frame);
    Position offset;
    const Number step = kLookAheadSeconds * speed / kMillimetresPerMetre;
    if (!std::isfinite(step.d(true))) {
      // A NaN or infinite step would reach the motion command as a valid
      // target with a non-finite position.
      logError("moveToContact: the speed " + str(speed.d(true)) +
               " mm/s is not a finite number; stopped without commanding a step");
      return Result::Success();
    }
    setAxis(offset, axis, step.d(true));
    const RobotPose target = targetPose(referenceFrame, current, offset);

    const double travelled = (current_frame.position - p0).Norm();
    const double max_distance = maxDistance.d(true);
    SensorHealth health;
    {
      // The device's current facade, held only for the two readings.
      FacadeAccess facade = facadeFor("moveToContact");
      if (!facade)
        return blind("no facade to read the force from");
      if (facade.get() != bound) {
        return blind(
            "the device was re-activated during the call, so the force it was reading comes "
            "from a segment that is no longer fed");
      }
      // No force reading or health (the shared lock was not acquired): a
      // step now would be blind.
      if (!facade->getForceNorm(force_norm) || !facade->getSensorHealth(health))
        return blind("no force reading");
      // The force is the force-control thread's: it must still run.
      if (!liveness.running(facade->heartbeat()))
        return blind(notRunning(*facade));
    }
    if (!std::isfinite(force_norm)) {
      return blind("the force norm " + str(force_norm) +
                   " N is not a finite number (are the sensor pose and tool load set?)");
    }
    if (health.supervisor_state != SensorHealth::kOk || health.last_usable_age < 0.0) {
      return blind("the sensor gives no usable samples (last usable sample " +
                   (health.last_usable_age < 0.0 ? std::string("none yet")
                                                 : str(health.last_usable_age) + " s ago") +
                   ", supervisor state " + str(health.supervisor_state) + ")");
    }
    const double threshold = forceThreshold.d(true);
    if (!std::isfinite(threshold) || !std::isfinite(max_distance)) {
      // The arguments were finite at the start; the program changed them.
      return blind("the force threshold " + str(threshold) + " N or the travel limit " +
                   str(max_distance) + " mm is no longer a finite number");
    }

    if (force_norm > threshold) {
      contact = true;
    } else if (travelled > max_distance / kMillimetresPerMetre) {
      limit_passed = true;
      break;  // the robot is at the limit: no step beyond it
    } else if (!progress.update(current_frame.position - p0, held(resources))) {
      return blind("the tool made no progress along the axis for 1 s while the robot was not held");
    }
    controller.move(targetRecord(target), approachParams());
    if (!contact && !program_running.load())
      return terminated("during the approach");
  }

  if (limit_passed) {
    logInfo("moveToContact: no contact within the travel limit of " + str(maxDistance.d(true)) +
            " mm (force norm " + str(force_norm) + " N, threshold " + str(forceThreshold.d(true)) +
            " N); stopped without retract");
    return Result::Success();
  }
  if (!program_running.load())
    return terminated("before the retract");

  const double approach_speed = speed.d(true);
  if (approach_speed == 0.0 || std::isnan(approach_speed)) {
    // The program changed the speed during the approach.
    logInfo("moveToContact: contact found, but a speed of " + str(approach_speed) +
            " mm/s gives no direction to retract in; no retract commanded");
    return Result::Success();
  }
  const double retract_distance = retractDistance.d(true);
  const double retract_step =
      -(approach_speed / std::fabs(approach_speed)) * retract_distance / kMillimetresPerMetre;
  if (!std::isfinite(retract_step)) {
    logError("moveToContact: contact found, but the retract distance " + str(retract_distance) +
             " mm is not a finite number; no retract commanded");
    return Result::Success();
  }
  controller.sync(false);
  const RobotPose current(
      controller.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD));
  Position offset;
  setAxis(offset, axis, retract_step);
  controller.move(targetRecord(targetPose(referenceFrame, current, offset)), retractParams());
  return Result::Success();
}

}  // namespace vorel_device
