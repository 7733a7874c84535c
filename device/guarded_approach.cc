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
#include "device/guarded_approach.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <thread>

#include "adaptive/force_limit.h"
#include "adaptive/offset_shaping.h"
#include "comm/force_control_heartbeat.h"
#include "device/device_log.h"
#include "device/segment_binding.h"

namespace vorel_device {

namespace {

using hx4_program_api::Position;
using hx4_program_api::RobotPose;
using hx4rc_api::Model;
using hx4rc_api::Motion;
using Number = hx4_program_api::Number;

constexpr double kLookAheadSeconds = 0.12;  // target distance per pass = speed x 0.12 s
constexpr double kMillimetresPerMetre = 1000.0;
// Progress: a new furthest point along the approach direction, at least
// min(kProgressMm, half of what the speed covers in 1 s) beyond the last.
constexpr double kProgressMm = 0.1;
// Rest: the tool moves less than kRestMetres per controller cycle in
// kRestCycles cycles in a row (0.5 mm/s for 6 ms).
constexpr double kRestMetres = 1e-6;
constexpr int kRestCycles = 3;
// Longest wait for the tool to come to rest after a stop (1 s) and for a
// retract to end (5 s); a retract that has not ended by then is stopped.
constexpr int kStopCycles = 500;
constexpr int kRetractCycles = 2500;

// The motion command's parameters: values 0.5, 0.1 and 0 of the kinds
// (2, 2, 1) for an approach step and (1, 1, 2) for the retract.
Motion::Params motionParams(bool approach) {
  const int kind = approach ? 2 : 1;
  const int last_kind = approach ? 1 : 2;
  Motion::Params params;
  params.pairs[0] = {kind, 0, 0.5};
  params.pairs[1] = {kind, 0, 0.1};
  params.pairs[2] = {last_kind, 0, 0.0};
  return params;
}

// The target `metres` along `axis` from the current pose P: along the world
// axes (reference frame 0), along P's own axes (1), or none (any other
// value).
RobotPose targetPose(int reference_frame, int axis, const RobotPose& current, double metres) {
  Position offset;
  if (axis == 0)
    offset.x = metres;
  if (axis == 1)
    offset.y = metres;
  if (axis == 2)
    offset.z = metres;
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

bool refused(const std::string& what, double value, const char* unit) {
  std::ostringstream line;
  line << "[ERROR] moveToContact: the " << what << " " << value << " " << unit
       << " is not a finite number; stopped without commanding a step\n";
  hx4_program_api_internals::Console::write(line.str());
  return true;
}

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

std::string usableAgeText(double last_usable_age) {
  return last_usable_age < 0.0 ? std::string("none yet") : str(last_usable_age) + " s ago";
}

}  // namespace

bool ApproachLiveness::running(const HeartbeatBeat& beat) {
  if (beat.cycles != cycles_) {
    cycles_ = beat.cycles;
    unchanged_ = 0;
  } else {
    ++unchanged_;
  }
  return unchanged_ < limit_ || heartbeat::running(beat, heartbeat::monotonicNow());
}

ApproachProgress::ApproachProgress(const hx4rc_api::Vector& direction, double speed_mm_s,
                                   int stall_cycles)
    : direction_(direction),
      step_(std::min(kProgressMm, 0.5 * std::fabs(speed_mm_s)) / kMillimetresPerMetre),
      stall_limit_(stall_cycles) {}

bool ApproachProgress::update(const hx4rc_api::Vector& travelled, bool held) {
  const double along =
      travelled[0] * direction_[0] + travelled[1] * direction_[1] + travelled[2] * direction_[2];
  if (held || along >= best_ + step_) {
    best_ = std::max(best_, along);
    stalled_ = 0;
    return true;
  }
  return ++stalled_ < stall_limit_;
}

GuardedApproach::GuardedApproach(SegmentBinding& binding,
                                 hx4_program_api::ProgramInterface& controller,
                                 const std::atomic<bool>& program_running, const Request& request)
    : binding_(binding),
      controller_(controller),
      program_running_(program_running),
      request_(request) {}

GuardedApproach::~GuardedApproach() = default;

void GuardedApproach::run() {
  if (FacadeAccess facade = binding_.facadeFor("moveToContact"))
    bound_ = facade.get();
  else
    return;
  if (!argumentsAccepted())
    return;
  controller_.sync(false);
  start_ = tcp();
  resources_.emplace(false);
  if (!program_running_.load())
    return terminated("at the start");
  if (!awaitLiveness())
    return;
  liveness_.emplace(bound_->heartbeat(), GuardedApproach::kLivenessCycles);
  const double speed = request_.speed.d(true);
  progress_.emplace(approachDirection(request_.reference_frame, request_.axis, start_, speed),
                    speed, GuardedApproach::kNoProgressCycles);
  if (!holdWait())
    return;
  const Pass end = approach();
  // Whatever ended the approach, its last step is not left running: the
  // tool comes to rest before the call goes on or returns.
  if (moved_)
    stopMotion(last_frame_);
  if (end == Pass::kLimit)
    return reportLimit();
  if (end != Pass::kContact)
    return;
  if (!program_running_.load())
    return terminated("before the retract");
  retract();
}

// Refuse bad arguments: each would command the current pose for ever, or a
// non-finite target, no contact test, no travel limit or no retract (found
// only after contact, with the tool pressed into the surface).
bool GuardedApproach::argumentsAccepted() const {
  const Request& r = request_;
  if (r.reference_frame != 0 && r.reference_frame != 1) {
    logError("moveToContact: the reference frame " + str(r.reference_frame) +
             " is neither 0 (world axes) nor 1 (tool axes); nothing moved");
    return false;
  }
  if (r.axis < 0 || r.axis > 2) {
    logError("moveToContact: the axis " + str(r.axis) +
             " is not 0 (x), 1 (y) or 2 (z); nothing moved");
    return false;
  }
  const Number step = kLookAheadSeconds * r.speed / kMillimetresPerMetre;
  if ((!std::isfinite(step.d(true)) && refused("speed", r.speed.d(true), "mm/s")) ||
      (!std::isfinite(r.force_threshold.d(true)) &&
       refused("force threshold", r.force_threshold.d(true), "N")) ||
      (!std::isfinite(r.max_distance.d(true)) &&
       refused("travel limit", r.max_distance.d(true), "mm")) ||
      (!std::isfinite(r.retract_distance.d(true)) &&
       refused("retract distance", r.retract_distance.d(true), "mm"))) {
    return false;
  }
  if (r.speed.d(true) == 0.0) {
    logError("moveToContact: a speed of 0 mm/s never reaches a contact; nothing moved");
    return false;
  }
  return withinLimits();
}

// The ranges that keep the call from travelling further, faster or pressing
// harder than asked: |speed| up to the translational speed limit of force
// control's offset, a threshold above 0 and below the force limit, a travel
// limit above 0, a retract of 0 or more.
bool GuardedApproach::withinLimits() const {
  const Request& r = request_;
  ForceControlSpeedLimits speed_limits;
  ForceLimits force_limits;
  if (!bound_->getForceControlSpeedLimits(speed_limits) || !bound_->getForceLimits(force_limits))
    return false;  // the facade wrote why
  const double max_speed = speed_limits.translation > 0.0 &&
                                   speed_limits.translation <= offset_shaping::kMaxTranslationSpeed
                               ? speed_limits.translation * kMillimetresPerMetre
                               : ForceControlSpeedLimits().translation * kMillimetresPerMetre;
  const double max_force = force_limit::effective(force_limits).force;
  const double speed = r.speed.d(true);
  const double threshold = r.force_threshold.d(true);
  const double travel = r.max_distance.d(true);
  const double retract = r.retract_distance.d(true);
  std::string refusal;
  if (std::fabs(speed) > max_speed) {
    refusal = "the speed " + exact(speed) + " mm/s is faster than the speed limit of " +
              str(max_speed) + " mm/s (accepted: 0 < |speed| <= the limit, see " +
              "setForceControlSpeedLimits)";
  } else if (!(threshold > 0.0 && threshold < max_force)) {
    refusal = "the force threshold " + exact(threshold) + " N is outside the accepted range (0, " +
              str(max_force) + ") N (above 0, below the force limit, see setForceLimits)";
  } else if (!(travel > 0.0)) {
    refusal = "the travel limit " + exact(travel) + " mm is outside the accepted range (0, inf) mm";
  } else if (!(retract >= 0.0)) {
    refusal = "the retract distance " + exact(retract) +
              " mm is outside the accepted range [0, inf) mm (a negative one presses on)";
  }
  if (refusal.empty())
    return true;
  logError("moveToContact: " + refusal + "; nothing moved");
  return false;
}

// Wait for liveness: the force comes from the force-control thread, so it
// must run. A heartbeat that is old at the start gets kLivenessCycles of this
// call's cycles to move.
bool GuardedApproach::awaitLiveness() {
  const HeartbeatBeat first = bound_->heartbeat();
  if (heartbeat::running(first, heartbeat::monotonicNow()))
    return true;
  for (int k = 0; k < GuardedApproach::kLivenessCycles; ++k) {
    controller_.sync(false);
    if (bound_->heartbeat().cycles != first.cycles)
      return true;
  }
  logError("moveToContact: " + notRunning(*bound_) + "; nothing moved");
  return false;
}

// Hold wait: while the controller holds the robot (flags 3 and 4), no step
// is commanded. A program termination ends the wait.
bool GuardedApproach::holdWait() {
  while (robotHeld()) {
    if (!program_running_.load()) {
      terminated("while the robot was held");
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

// Approach passes until contact (after that pass's step), the travel limit
// (no step beyond it) or a stop.
GuardedApproach::Pass GuardedApproach::approach() {
  Pass result = Pass::kContinue;
  while (result == Pass::kContinue)
    result = pass();
  return result;
}

GuardedApproach::Pass GuardedApproach::pass() {
  controller_.sync(false);
  const hx4rc_api::Frame current_frame = tcp();
  last_frame_ = current_frame;
  const Number step = kLookAheadSeconds * request_.speed / kMillimetresPerMetre;
  if (!std::isfinite(step.d(true))) {
    // A NaN or infinite step would reach the motion command as a valid
    // target with a non-finite position.
    logError("moveToContact: the speed " + str(request_.speed.d(true)) +
             " mm/s is not a finite number; stopped without commanding a step");
    return Pass::kStopped;
  }
  const RobotPose target =
      targetPose(request_.reference_frame, request_.axis, RobotPose(current_frame), step.d(true));
  const double travelled = (current_frame.position - start_.position).Norm();
  // The travel of the last cycle: at that pace the next one would pass the
  // limit, so the approach ends here, where the tool is.
  const double last_step = std::max(0.0, travelled - travelled_);
  travelled_ = travelled;
  const double max_distance = request_.max_distance.d(true);
  SensorHealth health;
  if (!readGuarded(health))
    return Pass::kStopped;
  const double threshold = request_.force_threshold.d(true);
  if (!readingsUsable(health, threshold, max_distance))
    return Pass::kStopped;

  const bool contact = force_norm_ > threshold;
  if (!contact) {
    if (travelled + last_step > max_distance / kMillimetresPerMetre)
      return Pass::kLimit;  // at the limit: no step beyond it
    if (!progress_->update(current_frame.position - start_.position, robotHeld())) {
      blind("the tool made no progress along the axis for 1 s while the robot was not held");
      return Pass::kStopped;
    }
  }
  controller_.move(targetRecord(target), motionParams(true));
  moved_ = true;
  if (!contact && !program_running_.load()) {
    terminated("during the approach");
    return Pass::kStopped;
  }
  return contact ? Pass::kContact : Pass::kContinue;
}

// The device's current facade, held only for the force norm, the health and
// the heartbeat; false, with the ERROR line, when any of them is missing or
// force control no longer runs.
bool GuardedApproach::readGuarded(SensorHealth& health) {
  FacadeAccess facade = binding_.facadeFor("moveToContact");
  if (!facade) {
    blind("no facade to read the force from");
    return false;
  }
  if (facade.get() != bound_) {
    blind(
        "the device was re-activated during the call, so the force it was reading comes from a "
        "segment that is no longer fed");
    return false;
  }
  // No force reading or health (the shared lock was not acquired): a step
  // now would be blind.
  if (!facade->getForceNorm(force_norm_) || !facade->getSensorHealth(health)) {
    blind("no force reading");
    return false;
  }
  // The force is the force-control thread's: it must still run.
  if (!liveness_->running(facade->heartbeat())) {
    blind(notRunning(*facade));
    return false;
  }
  return true;
}

bool GuardedApproach::readingsUsable(const SensorHealth& health, double threshold,
                                     double max_distance) {
  if (!std::isfinite(force_norm_)) {
    blind("the force norm " + str(force_norm_) +
          " N is not a finite number (are the sensor pose and tool load set?)");
    return false;
  }
  if (health.force_limit_flags != 0) {
    blind(std::string("force control reports ") +
          (health.force_limit_flags & ForceLimits::kOverrange
               ? "frames the sensor flags overrange"
               : "a force or torque above its limit (see setForceLimits)"));
    return false;
  }
  if (health.supervisor_state != SensorHealth::kOk || health.last_usable_age < 0.0) {
    blind("the sensor gives no usable samples (last usable sample " +
          usableAgeText(health.last_usable_age) + ", supervisor state " +
          str(health.supervisor_state) + ")");
    return false;
  }
  if (!std::isfinite(threshold) || !std::isfinite(max_distance)) {
    // The arguments were finite at the start; the program changed them.
    blind("the force threshold " + str(threshold) + " N or the travel limit " + str(max_distance) +
          " mm is no longer a finite number");
    return false;
  }
  return true;
}

void GuardedApproach::reportLimit() const {
  logInfo("moveToContact: no contact within the travel limit of " +
          str(request_.max_distance.d(true)) + " mm (force norm " + str(force_norm_) +
          " N, threshold " + str(request_.force_threshold.d(true)) +
          " N); stopped without retract");
}

// Retract: one motion command `retract_distance` mm against the approach
// direction, from the pose after the contact.
void GuardedApproach::retract() {
  const double approach_speed = request_.speed.d(true);
  if (approach_speed == 0.0 || std::isnan(approach_speed)) {
    // The program changed the speed during the approach.
    logInfo("moveToContact: contact found, but a speed of " + str(approach_speed) +
            " mm/s gives no direction to retract in; no retract commanded");
    return;
  }
  const double retract_distance = request_.retract_distance.d(true);
  const double retract_step =
      -(approach_speed / std::fabs(approach_speed)) * retract_distance / kMillimetresPerMetre;
  if (!std::isfinite(retract_step)) {
    logError("moveToContact: contact found, but the retract distance " + str(retract_distance) +
             " mm is not a finite number; no retract commanded");
    return;
  }
  controller_.sync(false);
  const RobotPose current(tcp());
  controller_.move(
      targetRecord(targetPose(request_.reference_frame, request_.axis, current, retract_step)),
      motionParams(false));
  // The call returns with the retract done: the tool at rest.
  if (!awaitRest(kRetractCycles)) {
    logError("moveToContact: the retract did not end within " + str(kRetractCycles * 2 / 1000.0) +
             " s; the robot is stopped where it is");
    controller_.sync(false);
    stopMotion(tcp());
  }
}

// Commands the pose `at` (read in this controller cycle) as the target, so
// that no earlier step goes on running, and waits for the tool to come to
// rest.
void GuardedApproach::stopMotion(const hx4rc_api::Frame& at) {
  controller_.move(targetRecord(RobotPose(at)), motionParams(true));
  if (!awaitRest(kStopCycles)) {
    logError("moveToContact: the robot did not come to rest within " +
             str(kStopCycles * 2 / 1000.0) + " s of the stop command");
  }
}

// True once the tool has moved less than kRestMetres per cycle for
// kRestCycles cycles in a row, within `cycles` controller cycles.
bool GuardedApproach::awaitRest(int cycles) {
  hx4rc_api::Vector last = tcp().position;
  int still = 0;
  for (int k = 0; k < cycles; ++k) {
    controller_.sync(false);
    const hx4rc_api::Vector now = tcp().position;
    still = (now - last).Norm() < kRestMetres ? still + 1 : 0;
    if (still >= kRestCycles)
      return true;
    last = now;
  }
  return false;
}

hx4rc_api::Frame GuardedApproach::tcp() const {
  return controller_.getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_WORLD);
}

bool GuardedApproach::robotHeld() const {
  const auto status = resources_->status();
  return status && status->held();
}

void GuardedApproach::terminated(const char* when) {
  logError(std::string("moveToContact: stopped ") + when +
           " because the robot program terminated; the robot is not moved by this call any more");
}

void GuardedApproach::blind(const std::string& why) {
  logError("moveToContact: " + why + "; stopped without a further step or retract");
}

}  // namespace vorel_device
