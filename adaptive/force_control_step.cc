#include "adaptive/force_control_step.h"

#include <algorithm>
#include <cmath>

#include "adaptive/wrench_processing.h"

namespace vorel_device {

namespace {

using Record = ForceControlRecord;

// An age in 2 ms cycles as whole milliseconds.
long ageMs(std::int64_t cycles) {
  return std::lround(static_cast<double>(cycles) * control_law::kCycleTime * 1000.0);
}

}  // namespace

std::int64_t ForceControlStep::staleLimitCycles(double sampling_rate) {
  const double limit_s = std::max(10.0 / sampling_rate, kMinStaleTime);
  return static_cast<std::int64_t>(std::ceil(limit_s / control_law::kCycleTime - 1e-9));
}

bool ForceControlStep::isUsable(const RxFrame& frame) {
  if (frame.header != RxFrame::kHeader || frame.status != 0)
    return false;
  for (int i = 0; i < 6; ++i) {
    const float value = frame.ft_data[i];  // copied out of the packed record
    if (!std::isfinite(value))
      return false;
  }
  return true;
}

std::uint8_t ForceControlStep::limitsBound(const offset_shaping::Step& step) {
  return static_cast<std::uint8_t>(
      (step.translation.speed_limited ? Record::kTranslationalSpeed : 0) |
      (step.rotation.speed_limited ? Record::kRotationalSpeed : 0) |
      (step.translation.envelope_limited ? Record::kTranslationalEnvelope : 0) |
      (step.rotation.envelope_limited ? Record::kRotationalEnvelope : 0));
}

ForceControlStep::ForceControlStep(double sampling_rate)
    : system_filter_(SystemFilterParams::kDefaultCutoff, SystemFilterParams::kDefaultRisingRate,
                     SystemFilterParams::kDefaultFallingRate, kFilterStepRate),
      stale_limit_cycles_(staleLimitCycles(sampling_rate)) {}

double ForceControlStep::sampleAge() const {
  return has_usable_ ? static_cast<double>(usable_age_cycles_) * control_law::kCycleTime : -1.0;
}

FilterChain::Outcome ForceControlStep::takeCommands(const ForceControlCommands& commands) {
  commands_ = commands;
  FilterChain::Outcome outcome = FilterChain::Outcome::kNone;
  if (commands.filter_request == -1) {
    outcome = removeFilter(commands.filter_options);
  } else if (commands.filter_request == 1) {
    outcome = addFilter(commands.filter_options);
  }
  if (commands.reset_filter_history)
    system_filter_.clearHistory();
  const SystemFilterParams& p = commands.system_filter_params;
  system_filter_.updateParams(p.cutoff_frequency, p.rising_rate, p.falling_rate);
  return outcome;
}

StepOutput ForceControlStep::run(const StepInput& in) {
  StepOutput out;
  out.limits = shapingLimits();
  supervise(in, out);
  // Until the first usable sample there is no measurement to compensate,
  // publish or control on (the all-zero initial frame would show the tool's
  // weight as a force).
  if (!has_usable_) {
    checkForceLimits(nullptr, out);
    return out;
  }
  updateLawFrame(in);
  Wrench unbiased;
  processWrench(in, out, unbiased);
  checkForceLimits(&unbiased, out);
  control(in, out, unbiased);
  return out;
}

void ForceControlStep::checkForceLimits(const Wrench* unbiased, StepOutput& out) {
  out.force_limit = force_guard_.update(unbiased, overrange_, commands_.force_limits);
  const std::uint32_t flags = out.force_limit.flags;
  out.record.limits_bound |=
      static_cast<std::uint8_t>(((flags & ForceLimits::kForceOver) ? Record::kForceLimit : 0) |
                                ((flags & ForceLimits::kTorqueOver) ? Record::kTorqueLimit : 0) |
                                ((flags & ForceLimits::kOverrange) ? Record::kOverrange : 0));
  if (out.force_limit.started != 0)
    out.record.events |= Record::kForceLimitEvent;
}

StepOutput ForceControlStep::hold(bool ended) {
  StepOutput out;
  out.limits = shapingLimits();
  if (!was_active_)
    return out;
  if (on(ended)) {
    shaper_.hold();
    command(out);
  } else {
    stepReturn(out);
  }
  return out;
}

void ForceControlStep::supervise(const StepInput& in, StepOutput& out) {
  // A new frame says whether the sensor is overranged; until the next one
  // the state stays.
  if (in.new_sample)
    overrange_ =
        in.frame.header == RxFrame::kHeader && (in.frame.status & RxFrameStatus::overrange);
  if (in.new_sample && isUsable(in.frame)) {
    out.record.flags |= Record::kNewSample;
    usable_frame_ = in.frame;
    has_usable_ = true;
    usable_age_cycles_ = 0;
    ++window_usable_;
  } else {
    ++usable_age_cycles_;
  }
  if (++window_cycles_ == kRateWindowCycles) {
    usable_rate_ = static_cast<double>(window_usable_) /
                   (static_cast<double>(kRateWindowCycles) * control_law::kCycleTime);
    window_cycles_ = 0;
    window_usable_ = 0;
  }
  stale_ = usable_age_cycles_ >= stale_limit_cycles_;
  const bool switched_on = commands_.translation || commands_.rotation;
  if (stale_ && switched_on && !stale_reported_) {
    stale_reported_ = true;
    out.stale_trip = true;
    out.stale_ms = ageMs(usable_age_cycles_);
    out.record.events |= Record::kStaleTrip;
  } else if (!stale_ && stale_reported_) {
    stale_reported_ = false;
    out.recovered = true;
    out.stale_ms = ageMs(stale_age_cycles_);
  }
  if (stale_)
    stale_age_cycles_ = usable_age_cycles_;
}

void ForceControlStep::processWrench(const StepInput& in, StepOutput& out, Wrench& unbiased) {
  Wrench raw;
  for (int i = 0; i < 6; ++i)
    raw[i] = static_cast<double>(usable_frame_.ft_data[i]);
  const hx4rc_api::Frame& sensor = commands_.sensor_to_tfc_transform;
  const hx4rc_api::Load& tool = in.robot.tool_load;
  Record& r = out.record;
  r.compensated =
      compensateGravity(raw, in.robot.flange.rotation, tool.inertia.mass, tool.inertia.cog, sensor);
  out.tcp_with_bias = transformToTcp(r.compensated, in.robot.tcp_in_flange, sensor);
  // The bias is removed in the TCP frame, after publication.
  unbiased = out.tcp_with_bias;
  for (int i = 0; i < 6; ++i)
    unbiased[i] -= commands_.wrench_offset[i];
  // The chain, then the system filter, with the set-point left by the
  // previous cycle as the reference (in the TCP's axes, as the wrench).
  const Wrench reference = in_base_ ? toTcp(track_reference_) : track_reference_;
  for (int i = 0; i < 6; ++i) {
    double x = filters_.apply(unbiased[i], reference[i], i);
    if (commands_.enabled_system_filters != 0)
      x = system_filter_.filter(x, reference[i], i);
    filtered_[i] = x;
  }
  out.processed = true;
  r.raw = raw;
  r.tcp_unbiased = unbiased;
  r.filtered = filtered_;
  const hx4rc_api::Vector tcp_position = in.robot.flange * in.robot.tcp_in_flange.position;
  for (int i = 0; i < 3; ++i)
    r.tcp_position[i] = tcp_position[i];
  r.flags |= Record::kProcessed;
}

void ForceControlStep::control(const StepInput& in, StepOutput& out, const Wrench& unbiased) {
  // Suspended by the controller: everything keeps its value.
  if (in.robot.suspended) {
    state_ = ForceControlState::kSuspended;
    return;
  }
  if (!on(in.ended)) {
    if (was_active_)
      stepReturn(out);
    else
      state_ = ForceControlState::kIdle;
    return;
  }
  integrate(out, unbiased);
}

void ForceControlStep::integrate(StepOutput& out, const Wrench& tcp_unbiased) {
  const ForceControlCommands& c = commands_;
  const ForceControlLaw law = lawSettings();
  // Everything below in the law's axes (the TCP's, or the base's).
  const Wrench filtered = in_base_ ? toLaw(filtered_) : filtered_;
  const Wrench unbiased = in_base_ ? toLaw(tcp_unbiased) : tcp_unbiased;
  control_law::smoothSetPoint(track_reference_, c.track_wrench, c.gains.track_smoothing);
  // The law runs as if its target along the force were at most the force
  // limit (the smoothed set-point itself is kept).
  const force_limit::Check& limit = out.force_limit;
  const Wrench reference =
      force_limit::limitedReference(track_reference_, filtered, unbiased, limit);
  const hx4rc_api::Vector vt = control_law::translationalRate(filtered, reference, c.gains,
                                                              c.enabled_axes, law.deadband_force);
  const hx4rc_api::Vector vr = control_law::rotationalRate(filtered, reference, c.gains,
                                                           c.enabled_axes, law.deadband_torque);
  const control_law::Compliance translation{law.stiffness, law.mass};
  const control_law::Compliance rotation{law.rotational_stiffness, law.inertia};
  // The offsets the law wants; a stale or overranged sensor holds them
  // (nothing is integrated), and so does a half that is switched off.
  hx4rc_api::Vector wanted_translation = shaper_.translation();
  hx4rc_api::Vector wanted_rotation = shaper_.rotation();
  bool held = false;
  if (!stale_ && !overrange_) {
    if (c.translation &&
        !control_law::complianceStep(wanted_translation, shaper_.translationState().velocity, vt,
                                     control_law::translationalFactors(c.gains, c.enabled_axes),
                                     translation))
      held = true;
    if (c.rotation && !control_law::complianceStep(
                          wanted_rotation, shaper_.rotationState().velocity, vr,
                          control_law::rotationalFactors(c.gains, c.enabled_axes), rotation))
      held = true;
  }
  // Never a step into a force (torque) above its limit.
  if (limit.flags & ForceLimits::kForceOver) {
    wanted_translation = force_limit::notAgainst(shaper_.translation(), wanted_translation,
                                                 force_limit::forceDirection(unbiased));
  }
  if (limit.flags & ForceLimits::kTorqueOver) {
    wanted_rotation = force_limit::notAgainst(shaper_.rotation(), wanted_rotation,
                                              force_limit::torqueDirection(unbiased));
  }
  if (held && !non_finite_reported_) {
    out.non_finite = true;
    non_finite_reported_ = true;
  }
  noteLimits(shaper_.follow(wanted_translation, wanted_rotation, out.limits), out);
  was_active_ = true;
  state_ = ForceControlState::kActive;
  command(out);
}

void ForceControlStep::stepReturn(StepOutput& out) {
  const offset_shaping::Step step = shaper_.returnToZero(out.limits);
  out.record.limits_bound |= limitsBound(step);
  state_ = ForceControlState::kReturning;
  command(out);
  if (step.returned) {
    out.returned = true;
    resetToIdle();
  }
}

void ForceControlStep::noteLimits(const offset_shaping::Step& step, StepOutput& out) {
  const std::uint8_t bound = limitsBound(step);
  out.record.limits_bound |= bound;
  out.limits_started = static_cast<std::uint8_t>(bound & ~binding_);
  if (out.limits_started != 0)
    out.record.events |= Record::kLimitBinds;
  binding_ = bound;
}

void ForceControlStep::command(StepOutput& out) const {
  out.send = true;
  commandedOffset(out.offset);
}

void ForceControlStep::commandedOffset(double (&offset)[6]) const {
  hx4rc_api::Vector t = shaper_.translation();
  hx4rc_api::Vector r = shaper_.rotation();
  if (in_base_) {
    // The drive takes the offset in the TCP's axes: the base-frame offset
    // expressed with the TCP's orientation of this cycle.
    const hx4rc_api::Rotation to_tcp = base_rotation_.Inverse();
    t = to_tcp * t;
    r = to_tcp * r;
  }
  for (int i = 0; i < 3; ++i) {
    offset[i] = t[i];
    offset[3 + i] = r[i];
  }
}

void ForceControlStep::updateLawFrame(const StepInput& in) {
  const bool base = lawSettings().frame == ForceControlLaw::kBaseFrame;
  hx4rc_api::Rotation rotation = base_rotation_;
  if (base && in.robot.tcp_in_base.isFinite())
    rotation = in.robot.tcp_in_base.rotation;
  // A change of frame re-expresses the law's state (the offset, its velocity
  // and the set-point) in the new axes: the offset sent does not jump.
  if (base != in_base_) {
    const hx4rc_api::Rotation change = base ? rotation : base_rotation_.Inverse();
    shaper_.rotate(change);
    for (int half = 0; half < 2; ++half) {
      const hx4rc_api::Vector v(track_reference_[3 * half], track_reference_[3 * half + 1],
                                track_reference_[3 * half + 2]);
      const hx4rc_api::Vector turned = change * v;
      for (int i = 0; i < 3; ++i)
        track_reference_[3 * half + i] = turned[i];
    }
    in_base_ = base;
  }
  base_rotation_ = rotation;
}

namespace {

Wrench rotated(const Wrench& w, const hx4rc_api::Rotation& r) {
  const hx4rc_api::Vector f = r * hx4rc_api::Vector(w[0], w[1], w[2]);
  const hx4rc_api::Vector t = r * hx4rc_api::Vector(w[3], w[4], w[5]);
  Wrench out;
  for (int i = 0; i < 3; ++i) {
    out[i] = f[i];
    out[3 + i] = t[i];
  }
  return out;
}

}  // namespace

Wrench ForceControlStep::toLaw(const Wrench& w) const {
  return rotated(w, base_rotation_);
}

Wrench ForceControlStep::toTcp(const Wrench& w) const {
  return rotated(w, base_rotation_.Inverse());
}

ForceControlLaw ForceControlStep::lawSettings() const {
  // The functions that write them check their ranges; a peer that wrote
  // anything else gets the plain law in the TCP's axes.
  const ForceControlLaw& in = commands_.law;
  ForceControlLaw l;
  auto within = [](double v, double max) { return v >= 0.0 && v <= max; };
  if (within(in.deadband_force, ForceControlLaw::kMaxDeadbandForce))
    l.deadband_force = in.deadband_force;
  if (within(in.deadband_torque, ForceControlLaw::kMaxDeadbandTorque))
    l.deadband_torque = in.deadband_torque;
  if (within(in.stiffness, ForceControlLaw::kMaxStiffness) &&
      within(in.mass, ForceControlLaw::kMaxMass)) {
    l.stiffness = in.stiffness;
    l.mass = in.mass;
  }
  if (within(in.rotational_stiffness, ForceControlLaw::kMaxRotationalStiffness) &&
      within(in.inertia, ForceControlLaw::kMaxInertia)) {
    l.rotational_stiffness = in.rotational_stiffness;
    l.inertia = in.inertia;
  }
  if (in.frame == ForceControlLaw::kBaseFrame)
    l.frame = in.frame;
  return l;
}

void ForceControlStep::resetToIdle() {
  shaper_.reset();
  track_reference_ = Wrench();
  was_active_ = false;
  non_finite_reported_ = false;
  binding_ = 0;
  state_ = ForceControlState::kIdle;
}

offset_shaping::Limits ForceControlStep::shapingLimits() const {
  offset_shaping::Limits l;
  // The function that writes them checks their range; a peer that wrote
  // anything else gets the defaults, never an unlimited offset.
  const double t = commands_.speed_limits.translation;
  const double r = commands_.speed_limits.rotation;
  if (t > 0.0 && t <= offset_shaping::kMaxTranslationSpeed)
    l.translation.speed = t;
  if (r > 0.0 && r <= offset_shaping::kMaxRotationSpeed)
    l.rotation.speed = r;
  const ForceControlLimits& e = commands_.limits;
  if (e.max_translation > 0.0 && std::isfinite(e.max_translation))
    l.translation.envelope = e.max_translation;
  if (e.max_rotation > 0.0 && std::isfinite(e.max_rotation))
    l.rotation.envelope = e.max_rotation;
  return l;
}

}  // namespace vorel_device
