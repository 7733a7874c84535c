// moveToContact: a guarded approach along one axis until the tool-frame force
// exceeds a threshold, then a retract.
//
// Every pass synchronises with the controller (2 ms cycle), reads the current
// tool-centre-point frame and commands a target 0.12 s of travel ahead
// (speed x 0.12 mm) along the axis, so the robot moves at the motion
// command's pace while the force is checked once per pass.
#include <cmath>
#include <thread>

#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "device/vorel_ft_sensor.h"

namespace vorel_device {

namespace {

using hx4_program_api::Number;
using hx4_program_api::Position;
using hx4_program_api::RobotPose;
using hx4rc_api::Model;
using hx4rc_api::Motion;

constexpr double kLookAheadSeconds = 0.12;  // target distance per pass = speed x 0.12 s
constexpr double kMillimetresPerMetre = 1000.0;

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

}  // namespace

VorelFTSensor::Result VorelFTSensor::moveToContact(int referenceFrame, int axis, Number& speed,
                                                   Number& forceThreshold, Number& maxDistance,
                                                   Number& retractDistance) {
  auto facade = facadeFor("moveToContact");
  if (!facade)
    return Result::Success();
  auto terminated = [](const char* when) {
    logError(std::string("moveToContact: stopped ") + when +
             " because the robot program terminated; the robot is not moved by this call "
             "any more");
    return Result::Success();
  };

  hx4_program_api::ProgramInterface& controller = *program();
  controller.sync(false);
  const hx4rc_api::Vector p0 =
      controller.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD).position;
  double force_norm = 0.0;
  hx4_program_api_internals::ControlResources resources(false);
  if (!program_running.load())
    return terminated("at the start");

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
    if (!facade->getForceNorm(force_norm)) {
      // No force reading (the shared lock was not acquired): a step now
      // would be blind.
      logError("moveToContact: no force reading; stopped without commanding a step");
      return Result::Success();
    }
    const double threshold = forceThreshold.d(true);
    if (!std::isfinite(threshold)) {
      // No usable contact test: the approach would only end at the travel
      // limit, pressing into whatever it meets on the way.
      logError("moveToContact: the force threshold " + str(threshold) +
               " N is not a finite number; stopped without commanding a step");
      return Result::Success();
    }

    if (force_norm > threshold) {
      contact = true;  // a NaN norm is no contact
    } else if (travelled > max_distance / kMillimetresPerMetre) {
      limit_passed = true;  // a NaN on either side goes on
      break;                // the robot is at the limit: no step beyond it
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
